// CDllInterface: loading, resolving and freeing one bound system library.
#include "trayapp/DllInterface.h"

namespace Kavelor
{
CDllInterface::CDllInterface(const WCHAR* pszDllName) : m_hModule(nullptr), m_strDllName(pszDllName) {}

CDllInterface::~CDllInterface()
{
    if (m_hModule != nullptr)
    {
        OnUnload();
        FreeLibrary(m_hModule);
    }
}

bool CDllInterface::Load()
{
    if (m_hModule != nullptr)
    {
        return true;
    }
    m_hModule = LoadLibraryW(m_strDllName.c_str());
    if (m_hModule != nullptr && !ResolveRoutines())
    {
        ClearRoutines();
        OnUnload();
        FreeLibrary(m_hModule);
        m_hModule = nullptr;
    }
    return m_hModule != nullptr;
}
} // namespace Kavelor
