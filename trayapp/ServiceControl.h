// CServiceControl: a short-lived query of one service: opens the service control manager and the service,
// and closes whichever handle is still open when it goes (the service first).
#pragma once

#include "enumlib/WideString.h"

#include <windows.h>

namespace Kavelor
{
class CServiceControl
{
public:
    explicit CServiceControl(const WCHAR* pszServiceName);
    ~CServiceControl();
    CServiceControl(const CServiceControl&) = delete;
    CServiceControl& operator=(const CServiceControl&) = delete;

    // True when the service can be opened with GENERIC_READ.
    BOOL Open();
    void Close();

private:
    WString m_strServiceName;
    SC_HANDLE m_hSCManager;
    SC_HANDLE m_hService;
};

// Whether the service is installed: it can be opened for reading. A manager that cannot be opened counts
// as not installed.
BOOL IsServiceInstalled(const WCHAR* pszServiceName);
} // namespace Kavelor
