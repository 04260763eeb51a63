// CProcessMgrPSAPIImp: the process manager on the process-status library, and its creator.
#pragma once

#include "trayapp/ClassInterface.h"
#include "trayapp/ProcessMgrImp.h"

namespace Kavelor
{
class CProcessMgrPSAPIImp : public CProcessMgrImp
{
public:
    CProcessMgrPSAPIImp();
    bool GetProcessIds(CProcessIdList& ids) override;
    WString GetProcessImagePath(DWORD dwProcessId) override;
};

class CProcessMgrPSAPIImpCreator : public CImpCreator<CProcessMgrImp>
{
public:
    CProcessMgrImp* Create() override { return new CProcessMgrPSAPIImp(); }
};

// "\??\C:\dir\a.exe" becomes "C:\dir\a.exe"; any other path, "\??\UNC\..." among them, is kept.
WString StripDosDevicesPrefix(const WString& strPath);
} // namespace Kavelor
