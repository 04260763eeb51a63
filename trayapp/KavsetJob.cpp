// CKavsetJob: Kavset's command line as Kavelor builds it and the meaning of its exit codes for the user.
#include "trayapp/KavsetJob.h"

#include "trayapp/ModulePath.h"
#include "trayapp/ResourceText.h"
#include "trayapp/res/resource.h"

namespace Kavelor
{
CKavsetJob::CKavsetJob(HINSTANCE hInstance, int nMode, const CUSBEnumerateExData& device)
    : m_nMode(nMode), m_nMessageType(0), m_device(device), m_bStarted(0), m_hInstance(hInstance)
{
}

WString CKavsetJob::GetParameters() const
{
    WString strParameters = m_nMode == KAVSET_MODE_ENABLE ? TEXT("/Reg") : TEXT("/Unreg");
    strParameters += TEXT(" ");
    strParameters += m_device.treeDevice.data.strDeviceInstanceId;
    return strParameters;
}

UINT KavsetExitMessageId(DWORD dwExitCode)
{
    switch (dwExitCode)
    {
    case 0:
        return 0;
    case 2:
        return IDS_ADMIN_REQUIRED;
    case 3:
        return IDS_STORAGE_IN_USE;
    case 10:
        return IDS_ENABLE_FAILED;
    case 20:
        return IDS_DISABLE_FAILED;
    default:
        // 1 (no command), and whatever Kavset never ends with: an access violation, a process ended by
        // another one, a code from a later version.
        return IDS_SETTING_FAILED;
    }
}

void CKavsetJob::RunKavset(IKavsetLauncher& launcher)
{
    WString strFile = GetPathBesideModule(TEXT("Kavset.exe"));
    if (strFile.empty() || !launcher.Start(strFile, GetParameters()))
    {
        // Not started (missing, elevation refused): the dialog was never shown and nothing is reported.
        return;
    }
    m_bStarted = 1;
    launcher.OnStarted();
    DWORD dwExitCode = 0;
    // An exit code that cannot be read says nothing about what Kavset did: not a success.
    UINT nTextId = launcher.WaitForExit(dwExitCode) ? KavsetExitMessageId(dwExitCode) : IDS_SETTING_FAILED;
    if (nTextId != 0)
    {
        m_strMessage = LoadText(m_hInstance, nTextId);
        m_nMessageType = MB_ICONEXCLAMATION;
    }
}

void CKavsetJob::OnWorkerNotCreated()
{
    m_strMessage = LoadText(m_hInstance, IDS_SETTING_FAILED);
    m_nMessageType = MB_ICONEXCLAMATION;
}
} // namespace Kavelor
