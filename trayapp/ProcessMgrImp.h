// CProcessMgrImp: one way of listing the running processes and their executable paths. Each system
// interface provides the IDs and the path of one process; finding processes by path or file name and
// listing a process's top-level windows are built on those two for both.
#pragma once

#include "enumlib/WideString.h"

#include <windows.h>

#include <list>

namespace Kavelor
{
typedef std::list<DWORD> CProcessIdList;
typedef std::list<HWND> CWindowList;

// "a.exe" for "C:\dir\a.exe": what follows the last path separator or drive colon.
WString FileNameOfPath(const WString& strPath);

class CProcessMgrImp
{
public:
    CProcessMgrImp() = default;
    CProcessMgrImp(const CProcessMgrImp&) = delete;
    CProcessMgrImp& operator=(const CProcessMgrImp&) = delete;
    virtual ~CProcessMgrImp() = default;

    // True when the list is not empty.
    virtual bool GetProcessIds(CProcessIdList& ids) = 0;
    // Empty when the path cannot be obtained, and for process 0.
    virtual WString GetProcessImagePath(DWORD dwProcessId) = 0;
    // Processes whose executable path equals strPath, ignoring case; the caller's own included.
    virtual bool FindProcessesByPath(const WString& strPath, CProcessIdList& ids);
    // Processes whose executable's file name equals strFileName, ignoring case.
    virtual bool FindProcessesByFileName(const WString& strFileName, CProcessIdList& ids);
    // The top-level windows of the process, in the order of the desktop's window list.
    virtual bool GetProcessWindows(DWORD dwProcessId, CWindowList& windows);
};
} // namespace Kavelor
