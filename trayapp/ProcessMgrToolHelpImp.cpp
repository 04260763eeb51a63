// CProcessMgrToolHelpImp: process IDs from a process snapshot, and a process's path from its module
// snapshot: the first module that is an .EXE.
#include "trayapp/ProcessMgrToolHelpImp.h"

#include "trayapp/ProcessDllBindings.h"

namespace Kavelor
{
namespace
{
// Closes the snapshot on every path.
class CSnapshot
{
public:
    explicit CSnapshot(HANDLE hSnapshot) : m_hSnapshot(hSnapshot) {}
    ~CSnapshot()
    {
        if (IsValid())
        {
            CloseHandle(m_hSnapshot);
        }
    }
    CSnapshot(const CSnapshot&) = delete;
    CSnapshot& operator=(const CSnapshot&) = delete;
    bool IsValid() const { return m_hSnapshot != INVALID_HANDLE_VALUE && m_hSnapshot != nullptr; }
    HANDLE Get() const { return m_hSnapshot; }

private:
    HANDLE m_hSnapshot;
};

bool HasExeExtension(const WString& strPath)
{
    WString strName = FileNameOfPath(strPath);
    size_t dot = strName.rfind(TEXT('.'));
    return dot != WString::npos && EqualsNoCase(strName.substr(dot), TEXT(".EXE"));
}
} // namespace

static_assert(sizeof(void*) != 4 || (sizeof(PROCESSENTRY32W) == 556 && sizeof(MODULEENTRY32W) == 1064),
              "the Tool Help entries are read in their wide layout");

CProcessMgrToolHelpImp::CProcessMgrToolHelpImp()
{
    CToolHelpDllInterface::GetInstance()->Load();
}

bool CProcessMgrToolHelpImp::GetProcessIds(CProcessIdList& ids)
{
    ids.clear();
    CToolHelpDllInterface* pToolHelp = CToolHelpDllInterface::GetInstance();
    if (!pToolHelp->IsLoaded())
    {
        return false;
    }
    CSnapshot snapshot(pToolHelp->m_pCreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.IsValid())
    {
        return false;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL bMore = pToolHelp->m_pProcess32First(snapshot.Get(), &entry); bMore;
         bMore = pToolHelp->m_pProcess32Next(snapshot.Get(), &entry))
    {
        ids.push_back(entry.th32ProcessID);
    }
    return !ids.empty();
}

WString CProcessMgrToolHelpImp::GetProcessImagePath(DWORD dwProcessId)
{
    CToolHelpDllInterface* pToolHelp = CToolHelpDllInterface::GetInstance();
    if (dwProcessId == 0 || !pToolHelp->IsLoaded())
    {
        return WString();
    }
    CSnapshot snapshot(pToolHelp->m_pCreateToolhelp32Snapshot(TH32CS_SNAPMODULE, dwProcessId));
    if (!snapshot.IsValid())
    {
        return WString();
    }
    MODULEENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL bMore = pToolHelp->m_pModule32First(snapshot.Get(), &entry); bMore;
         bMore = pToolHelp->m_pModule32Next(snapshot.Get(), &entry))
    {
        WString strPath = TextInBuffer(entry.szExePath, MAX_PATH);
        if (HasExeExtension(strPath))
        {
            return strPath;
        }
    }
    return WString();
}
} // namespace Kavelor
