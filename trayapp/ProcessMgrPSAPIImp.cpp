// CProcessMgrPSAPIImp: process IDs from EnumProcesses, with a buffer that grows until the list fits, and
// the path of a process's first module.
#include "trayapp/ProcessMgrPSAPIImp.h"

#include "trayapp/ProcessDllBindings.h"

#include <vector>

namespace Kavelor
{
namespace
{
// Far more processes than a system runs; a list that still fills the buffer here is taken as it is.
const size_t kMaxProcessIds = 1u << 16;
const DWORD kPathChars = 512;

// Closes the process handle on every path.
class CProcessHandle
{
public:
    explicit CProcessHandle(HANDLE hProcess) : m_hProcess(hProcess) {}
    ~CProcessHandle()
    {
        if (m_hProcess != nullptr)
        {
            CloseHandle(m_hProcess);
        }
    }
    CProcessHandle(const CProcessHandle&) = delete;
    CProcessHandle& operator=(const CProcessHandle&) = delete;
    HANDLE Get() const { return m_hProcess; }

private:
    HANDLE m_hProcess;
};
} // namespace

WString StripDosDevicesPrefix(const WString& strPath)
{
    if (strPath.size() >= 7 && EqualsNoCase(strPath.substr(0, 4), TEXT("\\??\\")) &&
        strPath[5] == TEXT(':') && strPath[6] == TEXT('\\'))
    {
        return strPath.substr(4);
    }
    return strPath;
}

CProcessMgrPSAPIImp::CProcessMgrPSAPIImp()
{
    CPSAPIDllInterface::GetInstance()->Load();
}

bool CProcessMgrPSAPIImp::GetProcessIds(CProcessIdList& ids)
{
    ids.clear();
    CPSAPIDllInterface* pPsapi = CPSAPIDllInterface::GetInstance();
    if (!pPsapi->IsLoaded())
    {
        return false;
    }
    std::vector<DWORD> buffer(1);
    DWORD cbNeeded = 0;
    for (;;)
    {
        DWORD cbBuffer = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
        if (!pPsapi->m_pEnumProcesses(buffer.data(), cbBuffer, &cbNeeded))
        {
            return false;
        }
        if (cbNeeded != cbBuffer || buffer.size() >= kMaxProcessIds)
        {
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    size_t count = std::min(static_cast<size_t>(cbNeeded / sizeof(DWORD)), buffer.size());
    ids.assign(buffer.begin(), buffer.begin() + count);
    return !ids.empty();
}

WString CProcessMgrPSAPIImp::GetProcessImagePath(DWORD dwProcessId)
{
    CPSAPIDllInterface* pPsapi = CPSAPIDllInterface::GetInstance();
    if (dwProcessId == 0 || !pPsapi->IsLoaded())
    {
        return WString();
    }
    // The limited query right is granted also by a process that runs elevated (a Kavelor started from an
    // administrator's prompt), whose modules stay closed to this one.
    if (pPsapi->m_pQueryFullProcessImageName != nullptr)
    {
        CProcessHandle limited(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, dwProcessId));
        WCHAR szPath[kPathChars] = {};
        DWORD nChars = kPathChars;
        if (limited.Get() != nullptr &&
            pPsapi->m_pQueryFullProcessImageName(limited.Get(), 0, szPath, &nChars))
        {
            return TextInBuffer(szPath, std::min(nChars, kPathChars));
        }
    }
    CProcessHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, dwProcessId));
    if (process.Get() == nullptr)
    {
        return WString();
    }
    HMODULE hFirstModule = nullptr;
    DWORD cbNeeded = 0;
    if (!pPsapi->m_pEnumProcessModules(process.Get(), &hFirstModule, sizeof(hFirstModule), &cbNeeded))
    {
        return WString();
    }
    WCHAR szPath[kPathChars] = {};
    DWORD nChars = pPsapi->m_pGetModuleFileNameExW(process.Get(), hFirstModule, szPath, kPathChars);
    return StripDosDevicesPrefix(TextInBuffer(szPath, std::min(nChars, kPathChars)));
}
} // namespace Kavelor
