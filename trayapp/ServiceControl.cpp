// CServiceControl and the installation test of the Kavfiltr service.
#include "trayapp/ServiceControl.h"

namespace Kavelor
{
CServiceControl::CServiceControl(const WCHAR* pszServiceName)
    : m_strServiceName(pszServiceName), m_hSCManager(nullptr), m_hService(nullptr)
{
}

CServiceControl::~CServiceControl()
{
    Close();
}

BOOL CServiceControl::Open()
{
    Close();
    m_hSCManager = OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
    if (m_hSCManager == nullptr)
    {
        return FALSE;
    }
    m_hService = OpenServiceW(m_hSCManager, m_strServiceName.c_str(), GENERIC_READ);
    return m_hService != nullptr;
}

void CServiceControl::Close()
{
    if (m_hService != nullptr)
    {
        CloseServiceHandle(m_hService);
        m_hService = nullptr;
    }
    if (m_hSCManager != nullptr)
    {
        CloseServiceHandle(m_hSCManager);
        m_hSCManager = nullptr;
    }
}

BOOL IsServiceInstalled(const WCHAR* pszServiceName)
{
    CServiceControl service(pszServiceName);
    return service.Open();
}
} // namespace Kavelor
