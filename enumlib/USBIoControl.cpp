// USB host-controller and hub I/O controls (see USBIoControl.h).
#include "enumlib/USBIoControl.h"

#include <cstring>
#include <vector>

namespace Kavelor
{
namespace
{
// A name longer than this is not a device name but a broken answer; refusing it keeps a bogus
// ActualLength from turning into a huge allocation.
const ULONG MAX_NAME_BYTES = 64 * 1024;
} // namespace

CUSBIoControl::CUSBIoControl() : m_hDevice(INVALID_HANDLE_VALUE) {}

CUSBIoControl::~CUSBIoControl()
{
    Close();
}

bool CUSBIoControl::Open(const WString& strPath)
{
    Close();
    m_strPath = strPath;
    m_hDevice =
        CreateFileW(strPath.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    return IsOpen();
}

void CUSBIoControl::Close()
{
    if (m_hDevice != INVALID_HANDLE_VALUE && CloseHandle(m_hDevice))
    {
        m_hDevice = INVALID_HANDLE_VALUE;
    }
}

bool CUSBIoControl::Control(DWORD dwCode, void* pIn, DWORD dwInSize, void* pOut, DWORD dwOutSize)
{
    if (!IsOpen())
    {
        return false;
    }
    DWORD returned = 0;
    return DeviceIoControl(m_hDevice, dwCode, pIn, dwInSize, pOut, dwOutSize, &returned, nullptr) != FALSE;
}

// The header is ActualLength followed by the name, or ConnectionIndex, ActualLength and the name.
bool CUSBIoControl::ReadName(DWORD dwCode, DWORD dwHeaderSize, bool bWithPort, bool bSendInput, ULONG ulPort,
                             WString& strName)
{
    strName.clear();
    const size_t lengthOffset = bWithPort ? sizeof(ULONG) : 0;
    const size_t nameOffset = lengthOffset + sizeof(ULONG);

    std::vector<BYTE> header(dwHeaderSize, 0);
    if (bWithPort)
    {
        std::memcpy(header.data(), &ulPort, sizeof ulPort);
    }
    if (!Control(dwCode, bSendInput ? header.data() : nullptr, bSendInput ? dwHeaderSize : 0, header.data(),
                 dwHeaderSize))
    {
        return false;
    }
    ULONG actualLength = 0;
    std::memcpy(&actualLength, header.data() + lengthOffset, sizeof actualLength);
    if (actualLength <= dwHeaderSize || actualLength > MAX_NAME_BYTES)
    {
        return false;
    }

    std::vector<BYTE> full(actualLength, 0);
    if (bWithPort)
    {
        std::memcpy(full.data(), &ulPort, sizeof ulPort);
    }
    if (!Control(dwCode, bSendInput ? full.data() : nullptr, bSendInput ? actualLength : 0, full.data(),
                 actualLength))
    {
        return false;
    }
    // The name ends at its terminator or at the end of the buffer, whichever comes first.
    std::vector<WCHAR> text((actualLength - nameOffset) / sizeof(WCHAR), 0);
    std::memcpy(text.data(), full.data() + nameOffset, text.size() * sizeof(WCHAR));
    strName = TextInBuffer(text.data(), text.size());
    return true;
}

bool CUSBIoControl::GetHcdDriverKeyName(WString& strKey)
{
    return ReadName(IOCTL_GET_HCD_DRIVERKEY_NAME, sizeof(USB_HCD_DRIVERKEY_NAME), false, true, 0, strKey);
}

bool CUSBIoControl::GetRootHubName(WString& strName)
{
    return ReadName(IOCTL_USB_GET_ROOT_HUB_NAME, sizeof(USB_ROOT_HUB_NAME), false, false, 0, strName);
}

bool CUSBIoControl::GetNodeConnectionDriverKeyName(ULONG ulPort, WString& strKey)
{
    return ReadName(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME),
                    true, true, ulPort, strKey);
}

bool CUSBIoControl::GetNodeConnectionName(ULONG ulPort, WString& strName)
{
    return ReadName(IOCTL_USB_GET_NODE_CONNECTION_NAME, sizeof(USB_NODE_CONNECTION_NAME), true, true, ulPort,
                    strName);
}

namespace
{
// The hub driver writes the connection status as four bytes of its own choosing. A value outside the
// enumeration must never be read as one (the compiler may assume every enumeration value is in range),
// so it is read as a number and an unknown one becomes a general failure: no device to list.
void KeepConnectionStatusInRange(USB_CONNECTION_INFO_BUFFER& buffer)
{
    const size_t at = offsetof(USB_NODE_CONNECTION_INFORMATION_EX, ConnectionStatus);
    ULONG status = 0;
    std::memcpy(&status, buffer.bytes + at, sizeof status);
    if (status > static_cast<ULONG>(DeviceNotEnoughPower))
    {
        status = static_cast<ULONG>(DeviceGeneralFailure);
        std::memcpy(buffer.bytes + at, &status, sizeof status);
    }
}
} // namespace

bool CUSBIoControl::GetNodeConnectionInfo(ULONG ulPort, USB_CONNECTION_INFO_BUFFER& buffer)
{
    std::memset(&buffer, 0, sizeof buffer);
    buffer.info.ConnectionIndex = ulPort;
    if (Control(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, &buffer, sizeof buffer, &buffer, sizeof buffer))
    {
        KeepConnectionStatusInRange(buffer);
        return true;
    }

    // The legacy answer has the same layout except that LowSpeed stands where Speed stands.
    union {
        USB_NODE_CONNECTION_INFORMATION info;
        BYTE bytes[USB_CONNECTION_INFO_BYTES];
    } legacy;
    static_assert(sizeof legacy == sizeof buffer, "both answers fill the same buffer");
    std::memset(&legacy, 0, sizeof legacy);
    legacy.info.ConnectionIndex = ulPort;
    if (!Control(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, &legacy, sizeof legacy, &legacy, sizeof legacy))
    {
        std::memset(&buffer, 0, sizeof buffer);
        return false;
    }
    std::memcpy(buffer.bytes, legacy.bytes, sizeof buffer.bytes);
    buffer.info.Speed = legacy.info.LowSpeed ? 0 : 1;
    KeepConnectionStatusInRange(buffer);
    return true;
}
} // namespace Kavelor
