// CUSBIoControl: the open handle of one USB host controller or hub and the USB I/O controls sent to it.
// Every variable-length answer is read with the two-call size pattern: a header-sized request reports the
// full length, a second request of that length brings the name.
#pragma once

#include "enumlib/WideString.h"

#include <windows.h>
#include <usbioctl.h>

#include <cstddef>

namespace Kavelor
{
// The connection information buffer: the fixed part of USB_NODE_CONNECTION_INFORMATION_EX and room for
// 30 pipes.
const DWORD USB_CONNECTION_INFO_PIPES = 30;
const DWORD USB_CONNECTION_INFO_BYTES = offsetof(USB_NODE_CONNECTION_INFORMATION_EX, PipeList) +
                                        USB_CONNECTION_INFO_PIPES * sizeof(USB_PIPE_INFO);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, PipeList) == 35,
              "fixed part of the connection info");
static_assert(USB_CONNECTION_INFO_BYTES == 365, "connection information buffer");
static_assert(sizeof(USB_NODE_INFORMATION) == 76, "hub node information");

union USB_CONNECTION_INFO_BUFFER {
    USB_NODE_CONNECTION_INFORMATION_EX info;
    BYTE bytes[USB_CONNECTION_INFO_BYTES];
};

class CUSBIoControl
{
public:
    CUSBIoControl();
    ~CUSBIoControl();
    CUSBIoControl(const CUSBIoControl&) = delete;
    CUSBIoControl& operator=(const CUSBIoControl&) = delete;

    // Opens a controller or hub path (write access, as the hub requests need).
    bool Open(const WString& strPath);
    // Closes the handle; it is forgotten only when CloseHandle reports it closed.
    void Close();
    bool IsOpen() const { return m_hDevice != INVALID_HANDLE_VALUE; }
    const WString& GetPath() const { return m_strPath; }

    bool GetHcdDriverKeyName(WString& strKey);
    bool GetRootHubName(WString& strName);
    bool GetNodeConnectionDriverKeyName(ULONG ulPort, WString& strKey);
    bool GetNodeConnectionName(ULONG ulPort, WString& strName);
    // Connection information of a port; a hub that knows only the legacy request is answered through it.
    bool GetNodeConnectionInfo(ULONG ulPort, USB_CONNECTION_INFO_BUFFER& buffer);
    // A fixed-size request with one buffer as input and output (or no input).
    bool Control(DWORD dwCode, void* pIn, DWORD dwInSize, void* pOut, DWORD dwOutSize);

private:
    bool ReadName(DWORD dwCode, DWORD dwHeaderSize, bool bWithPort, bool bSendInput, ULONG ulPort,
                  WString& strName);

    HANDLE m_hDevice;
    WString m_strPath;
};
} // namespace Kavelor
