// CDllInterface: one system library bound at run time. Load loads it and resolves its routines; when a
// required routine is missing the library is freed again and the binding stays unloaded, so the program
// also starts on a system that lacks it. The bindings of the process manager derive from it.
#pragma once

#include "enumlib/WideString.h"

#include <windows.h>

namespace Kavelor
{
class CDllInterface
{
public:
    explicit CDllInterface(const WCHAR* pszDllName);
    virtual ~CDllInterface();
    CDllInterface(const CDllInterface&) = delete;
    CDllInterface& operator=(const CDllInterface&) = delete;

    bool Load();
    bool IsLoaded() const { return m_hModule != nullptr; }

protected:
    // True when every required routine was found.
    virtual bool ResolveRoutines() { return true; }
    virtual void ClearRoutines() {}
    // Called just before the module is freed.
    virtual void OnUnload() {}

    // The routine's address as the given pointer type, or null.
    template <class T> T Routine(const char* pszName) const
    {
        FARPROC proc = GetProcAddress(m_hModule, pszName);
        return reinterpret_cast<T>(reinterpret_cast<void*>(proc));
    }

private:
    HMODULE m_hModule;
    WString m_strDllName;
};
} // namespace Kavelor
