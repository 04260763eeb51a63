// CProcessMgr: forwarding to the chosen implementation, the choice itself, and the release at exit.
#include "trayapp/ProcessMgr.h"

#include "trayapp/ProcessDllBindings.h"
#include "trayapp/ProcessMgrPSAPIImp.h"
#include "trayapp/ProcessMgrToolHelpImp.h"

namespace Kavelor
{
bool CProcessMgr::GetProcessIds(CProcessIdList& ids)
{
    ids.clear();
    return m_pImp != nullptr && m_pImp->GetProcessIds(ids);
}

WString CProcessMgr::GetProcessImagePath(DWORD dwProcessId)
{
    return m_pImp != nullptr ? m_pImp->GetProcessImagePath(dwProcessId) : WString();
}

bool CProcessMgr::FindProcessesByFileName(const WString& strFileName, CProcessIdList& ids)
{
    ids.clear();
    return m_pImp != nullptr && m_pImp->FindProcessesByFileName(strFileName, ids);
}

bool CProcessMgr::FindProcessesByPath(const WString& strPath, CProcessIdList& ids)
{
    ids.clear();
    return m_pImp != nullptr && m_pImp->FindProcessesByPath(strPath, ids);
}

bool CProcessMgr::GetProcessWindows(DWORD dwProcessId, CWindowList& windows)
{
    windows.clear();
    return m_pImp != nullptr && m_pImp->GetProcessWindows(dwProcessId, windows);
}

void SelectProcessManagerImplementation()
{
    if (CPSAPIDllInterface::GetInstance()->Load())
    {
        UsePSAPIImplementation();
    }
    else
    {
        UseToolHelpImplementation();
    }
}

void UsePSAPIImplementation()
{
    CProcessMgrFactory::GetInstance()->SetCreator(new CProcessMgrPSAPIImpCreator());
}

void UseToolHelpImplementation()
{
    CProcessMgrFactory::GetInstance()->SetCreator(new CProcessMgrToolHelpImpCreator());
}

void ReleaseProcessManagerSingletons()
{
    CProcessMgrFactory::ReleaseInstance();
    CPSAPIDllInterface::ReleaseInstance();
    CToolHelpDllInterface::ReleaseInstance();
}
} // namespace Kavelor
