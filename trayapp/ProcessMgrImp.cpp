// The operations both process-manager implementations share, built on their process IDs and paths.
#include "trayapp/ProcessMgrImp.h"

namespace Kavelor
{
WString FileNameOfPath(const WString& strPath)
{
    size_t separator = strPath.find_last_of(TEXT("\\/:"));
    return separator == WString::npos ? strPath : strPath.substr(separator + 1);
}

bool CProcessMgrImp::FindProcessesByPath(const WString& strPath, CProcessIdList& ids)
{
    ids.clear();
    CProcessIdList all;
    if (!GetProcessIds(all))
    {
        return false;
    }
    for (DWORD dwProcessId : all)
    {
        WString strImagePath = GetProcessImagePath(dwProcessId);
        if (!strImagePath.empty() && EqualsNoCase(strImagePath, strPath))
        {
            ids.push_back(dwProcessId);
        }
    }
    return !ids.empty();
}

bool CProcessMgrImp::FindProcessesByFileName(const WString& strFileName, CProcessIdList& ids)
{
    ids.clear();
    CProcessIdList all;
    if (!GetProcessIds(all))
    {
        return false;
    }
    for (DWORD dwProcessId : all)
    {
        WString strImagePath = GetProcessImagePath(dwProcessId);
        if (!strImagePath.empty() && EqualsNoCase(FileNameOfPath(strImagePath), strFileName))
        {
            ids.push_back(dwProcessId);
        }
    }
    return !ids.empty();
}

bool CProcessMgrImp::GetProcessWindows(DWORD dwProcessId, CWindowList& windows)
{
    windows.clear();
    for (HWND hWnd = GetWindow(GetDesktopWindow(), GW_CHILD); hWnd != nullptr;
         hWnd = GetWindow(hWnd, GW_HWNDNEXT))
    {
        DWORD dwOwner = 0;
        GetWindowThreadProcessId(hWnd, &dwOwner);
        if (dwOwner == dwProcessId)
        {
            windows.push_back(hWnd);
        }
    }
    return !windows.empty();
}
} // namespace Kavelor
