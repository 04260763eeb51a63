// winsim/machine: host controllers and hubs as files. CreateFileW opens "\\.\HCDn", a host-controller
// interface path or "\\.\" followed by a hub's name; DeviceIoControl answers the USB I/O controls as the
// Windows USB stack does: a name request with a buffer that holds only the fixed header succeeds and
// reports the full length in ActualLength (the caller's size query), a longer buffer receives as much of
// the name as fits, connection information carries as many pipes as fit. Checked as misuse: a handle
// that is not open, overlapped I/O, a missing byte count, a buffer length without a buffer, a device
// opened other than OPEN_EXISTING. Fault knobs on the controller or hub make chosen calls fail or replace
// the answer with any bytes, as a broken driver could return them.
#include "winsim/machine/machine.h"

#include <algorithm>
#include <cstring>
#include <optional>

using namespace winsim::machine;

namespace
{
bool StartsWithNoCase(const WString& text, const WString& prefix)
{
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// "HCD7" -> 7; -1 when the name is not a legacy host-controller name.
int LegacyIndex(const WString& name)
{
    if (!StartsWithNoCase(name, u"HCD") || name.size() == 3 || name.size() > 6)
    {
        return -1;
    }
    int index = 0;
    for (size_t at = 3; at < name.size(); ++at)
    {
        if (name[at] < u'0' || name[at] > u'9')
        {
            return -1;
        }
        index = index * 10 + (name[at] - u'0');
    }
    return index;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// Writes a USB name structure: ActualLength at lengthOffset, the name with its terminator after it, as
// much as fits. The full size is reported whatever fits, as the USB stack does.
BOOL WriteName(BYTE* out, DWORD outSize, size_t lengthOffset, const WString& name, LPDWORD bytesReturned)
{
    size_t nameOffset = lengthOffset + sizeof(ULONG);
    if (outSize < nameOffset + sizeof(WCHAR))
    {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    ULONG actual = static_cast<ULONG>(nameOffset + (name.size() + 1) * sizeof(WCHAR));
    std::memcpy(out + lengthOffset, &actual, sizeof actual);
    size_t copy = std::min<size_t>(outSize - nameOffset, (name.size() + 1) * sizeof(WCHAR));
    std::memcpy(out + nameOffset, name.c_str(), copy);
    *bytesReturned = static_cast<DWORD>(std::min<size_t>(outSize, actual));
    return TRUE;
}

BOOL ControllerControl(HostController& controller, DWORD code, BYTE* out, DWORD outSize,
                       LPDWORD bytesReturned)
{
    if (code == IOCTL_GET_HCD_DRIVERKEY_NAME)
    {
        WString key = controller.reportedDriverKey.value_or(controller.devNode->DriverKey());
        return WriteName(out, outSize, 0, key, bytesReturned);
    }
    if (code == IOCTL_USB_GET_ROOT_HUB_NAME)
    {
        return WriteName(out, outSize, 0, controller.rootHub->name, bytesReturned);
    }
    return Fail(ERROR_INVALID_FUNCTION);
}

BOOL ConnectionInformation(Hub& hub, DWORD code, ULONG port, BYTE* out, DWORD outSize, LPDWORD bytesReturned)
{
    const size_t fixed = offsetof(USB_NODE_CONNECTION_INFORMATION_EX, PipeList);
    if (outSize < fixed)
    {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX && !hub.answersConnectionInfoEx)
    {
        return Fail(ERROR_INVALID_FUNCTION);
    }
    std::memset(out, 0, outSize);
    USB_NODE_CONNECTION_INFORMATION_EX info;
    std::memset(&info, 0, fixed);
    info.ConnectionIndex = port;
    info.ConnectionStatus = NoDeviceConnected;
    UsbDevice* device = hub.ports[port - 1].device;
    size_t pipes = 0;
    if (device != nullptr)
    {
        info.ConnectionStatus = device->connectionStatus;
        if (device->connectionStatus == DeviceConnected)
        {
            info.DeviceDescriptor = device->descriptor;
            info.CurrentConfigurationValue = 1;
            info.Speed = code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX ? device->speed
                                                                              : (device->lowSpeed ? 1 : 0);
            info.DeviceIsHub = device->hub != nullptr;
            info.DeviceAddress = static_cast<USHORT>(port + 1);
            pipes = std::min(device->pipes.size(), (outSize - fixed) / sizeof(USB_PIPE_INFO));
            info.NumberOfOpenPipes = static_cast<ULONG>(device->pipes.size());
        }
    }
    std::memcpy(out, &info, fixed);
    for (size_t at = 0; at < pipes; ++at)
    {
        USB_PIPE_INFO pipe{device->pipes[at], 0};
        std::memcpy(out + fixed + at * sizeof(USB_PIPE_INFO), &pipe, sizeof pipe);
    }
    *bytesReturned = static_cast<DWORD>(fixed + pipes * sizeof(USB_PIPE_INFO));
    return TRUE;
}

BOOL HubControl(Hub& hub, DWORD code, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize,
                LPDWORD bytesReturned)
{
    if (code == IOCTL_USB_GET_NODE_INFORMATION)
    {
        if (outSize < sizeof(USB_NODE_INFORMATION))
        {
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        USB_NODE_INFORMATION info;
        std::memset(&info, 0, sizeof info);
        info.NodeType = ::UsbHub;
        USB_HUB_DESCRIPTOR& descriptor = info.u.HubInformation.HubDescriptor;
        descriptor.bDescriptorLength = 9;
        descriptor.bDescriptorType = 0x29;
        descriptor.bNumberOfPorts = hub.reportedPortCount.value_or(static_cast<UCHAR>(hub.ports.size()));
        std::memcpy(out, &info, sizeof info);
        *bytesReturned = sizeof info;
        return TRUE;
    }
    if (code != IOCTL_USB_GET_NODE_CONNECTION_INFORMATION &&
        code != IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX &&
        code != IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME && code != IOCTL_USB_GET_NODE_CONNECTION_NAME)
    {
        return Fail(ERROR_INVALID_FUNCTION);
    }
    // Every per-port request starts with ConnectionIndex; read it before the output overwrites the
    // shared system buffer, as METHOD_BUFFERED does.
    if (inSize < sizeof(ULONG))
    {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    ULONG port = 0;
    std::memcpy(&port, in, sizeof port);
    if (port == 0 || port > hub.ports.size())
    {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION ||
        code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX)
    {
        return ConnectionInformation(hub, code, port, out, outSize, bytesReturned);
    }
    UsbDevice* device = hub.ports[port - 1].device;
    WString name;
    if (code == IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME)
    {
        if (device == nullptr || device->devNode == nullptr || !device->devNode->present)
        {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        name = device->reportedDriverKey.value_or(device->devNode->DriverKey());
    }
    else if (device != nullptr)
    {
        name = device->reportedHubName.value_or(device->hub != nullptr ? device->hub->name : WString());
    }
    if (outSize >= sizeof(ULONG))
    {
        std::memcpy(out, &port, sizeof port);
    }
    if (name.empty())
    {
        // No name: the header alone, ActualLength covering just the structure.
        if (outSize < sizeof(USB_NODE_CONNECTION_NAME))
        {
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        ULONG actual = sizeof(USB_NODE_CONNECTION_NAME);
        std::memcpy(out + sizeof(ULONG), &actual, sizeof actual);
        std::memset(out + 2 * sizeof(ULONG), 0, sizeof(WCHAR));
        *bytesReturned = actual;
        return TRUE;
    }
    return WriteName(out, outSize, sizeof(ULONG), name, bytesReturned);
}
// A replaced answer: as much of it as fits the caller's buffer, the rest of the buffer untouched, as
// METHOD_BUFFERED copies back only the bytes the driver reported.
BOOL OverriddenAnswer(const IoAnswer& answer, BYTE* out, DWORD outSize, LPDWORD bytesReturned)
{
    if (!answer.succeeds)
    {
        return Fail(answer.error);
    }
    size_t copy = std::min<size_t>(answer.bytes.size(), outSize);
    if (copy != 0)
    {
        std::memcpy(out, answer.bytes.data(), copy);
    }
    *bytesReturned = static_cast<DWORD>(copy);
    return TRUE;
}

std::optional<IoAnswer> AskOverride(IoTarget& target, DWORD code, const std::vector<BYTE>& in, DWORD outSize)
{
    if (!target.answerOverride)
    {
        return std::nullopt;
    }
    return target.answerOverride(code, in, outSize);
}
} // namespace

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    UNREFERENCED_PARAMETER(dwShareMode);
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    UNREFERENCED_PARAMETER(dwFlagsAndAttributes);
    if (lpFileName == nullptr)
    {
        Violation("CreateFileW: null file name");
    }
    if (hTemplateFile != nullptr)
    {
        Violation("CreateFileW: a template file for a device");
    }
    WString path(lpFileName);
    bool devicePath = StartsWithNoCase(path, u"\\\\.\\") || StartsWithNoCase(path, u"\\\\?\\");
    if (devicePath && dwCreationDisposition != OPEN_EXISTING)
    {
        Violation("CreateFileW: devices are opened with OPEN_EXISTING");
    }
    Machine::OpenObject object;
    object.kind = Machine::OpenObject::Kind::Controller;
    object.access = dwDesiredAccess;
    object.path = path;
    if (devicePath)
    {
        WString name = path.substr(4);
        int legacy = LegacyIndex(name);
        if (legacy >= 0)
        {
            object.controller = machine.ControllerByLegacyIndex(legacy);
        }
        else if ((object.controller = machine.ControllerByInterfacePath(path)) == nullptr)
        {
            object.kind = Machine::OpenObject::Kind::Hub;
            object.hub = machine.HubByName(name);
        }
    }
    if (object.controller == nullptr && object.hub == nullptr)
    {
        SetLastError(path.empty() ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return machine.OpenHandle(std::move(object));
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    Machine::OpenObject* object = machine.LookupHandle(hDevice);
    if (object == nullptr || object->kind == Machine::OpenObject::Kind::DeviceInfoSet)
    {
        Violation("DeviceIoControl: handle %p is not an open file", hDevice);
    }
    if (lpOverlapped != nullptr)
    {
        Violation("DeviceIoControl: the simulated devices are opened for synchronous I/O only");
    }
    if (lpBytesReturned == nullptr)
    {
        Violation("DeviceIoControl: lpBytesReturned may be null only with overlapped I/O");
    }
    if ((lpInBuffer == nullptr && nInBufferSize != 0) || (lpOutBuffer == nullptr && nOutBufferSize != 0))
    {
        Violation("DeviceIoControl: a buffer length without a buffer");
    }
    *lpBytesReturned = 0;
    // METHOD_BUFFERED: the driver sees a copy of the input, so input and output may be the same buffer.
    std::vector<BYTE> in(static_cast<const BYTE*>(lpInBuffer),
                         static_cast<const BYTE*>(lpInBuffer) + (lpInBuffer != nullptr ? nInBufferSize : 0));
    BYTE* out = static_cast<BYTE*>(lpOutBuffer);
    if (object->controller != nullptr)
    {
        if (!object->controller->devNode->present)
        {
            return Fail(ERROR_DEVICE_NOT_CONNECTED);
        }
        if (object->controller->CallFails(dwIoControlCode))
        {
            return Fail(ERROR_GEN_FAILURE);
        }
        if (auto answer = AskOverride(*object->controller, dwIoControlCode, in, nOutBufferSize))
        {
            return OverriddenAnswer(*answer, out, nOutBufferSize, lpBytesReturned);
        }
        return ControllerControl(*object->controller, dwIoControlCode, out, nOutBufferSize, lpBytesReturned);
    }
    if (!object->hub->devNode->present)
    {
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    if (object->hub->CallFails(dwIoControlCode))
    {
        return Fail(ERROR_GEN_FAILURE);
    }
    if (auto answer = AskOverride(*object->hub, dwIoControlCode, in, nOutBufferSize))
    {
        return OverriddenAnswer(*answer, out, nOutBufferSize, lpBytesReturned);
    }
    return HubControl(*object->hub, dwIoControlCode, in.data(), static_cast<DWORD>(in.size()), out,
                      nOutBufferSize, lpBytesReturned);
}
