// CProcessMgr: the process manager's facade. Kavelor uses it to find the other running copies of itself
// and their windows. The implementation behind it (process-status library or Tool Help) is chosen once at
// start-up by whether PSAPI.DLL can be bound; every system routine is bound at run time by name.
#pragma once

#include "trayapp/ClassInterface.h"
#include "trayapp/ProcessMgrImp.h"

namespace Kavelor
{
class CProcessMgrFactory : public CImpFactory<CImpCreator<CProcessMgrImp>>,
                           public CSingleton<CProcessMgrFactory>
{
public:
    typedef CProcessMgrImp ImpType;
};

class CProcessMgr : public CClassInterfaceFactoryTemplate<CProcessMgrFactory>
{
public:
    // Each finds nothing when no implementation was chosen.
    virtual bool GetProcessIds(CProcessIdList& ids);
    virtual WString GetProcessImagePath(DWORD dwProcessId);
    virtual bool FindProcessesByFileName(const WString& strFileName, CProcessIdList& ids);
    virtual bool FindProcessesByPath(const WString& strPath, CProcessIdList& ids);
    virtual bool GetProcessWindows(DWORD dwProcessId, CWindowList& windows);
};

// The PSAPI implementation when PSAPI.DLL binds, else the Tool Help one. Call before any CProcessMgr.
void SelectProcessManagerImplementation();
void UsePSAPIImplementation();
void UseToolHelpImplementation();
// At exit: the factory with its creator and both bindings, unloading their libraries.
void ReleaseProcessManagerSingletons();
} // namespace Kavelor
