// CProcessMgrToolHelpImp: the process manager on Kernel32's Tool Help snapshots, and its creator.
#pragma once

#include "trayapp/ClassInterface.h"
#include "trayapp/ProcessMgrImp.h"

namespace Kavelor
{
class CProcessMgrToolHelpImp : public CProcessMgrImp
{
public:
    CProcessMgrToolHelpImp();
    bool GetProcessIds(CProcessIdList& ids) override;
    WString GetProcessImagePath(DWORD dwProcessId) override;
};

class CProcessMgrToolHelpImpCreator : public CImpCreator<CProcessMgrImp>
{
public:
    CProcessMgrImp* Create() override { return new CProcessMgrToolHelpImp(); }
};
} // namespace Kavelor
