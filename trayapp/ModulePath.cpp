// GetModulePath and the paths beside the program.
#include "trayapp/ModulePath.h"

#include <windows.h>

#include <vector>

namespace Kavelor
{
namespace
{
const DWORD kFirstChars = 512;
// The longest path Windows knows is 32767 characters; a buffer this size always holds it.
const DWORD kLastChars = 65536;
} // namespace

WString GetModulePath()
{
    for (DWORD nChars = kFirstChars; nChars <= kLastChars; nChars *= 2)
    {
        std::vector<WCHAR> buffer(nChars);
        DWORD nLength = GetModuleFileNameW(nullptr, buffer.data(), nChars);
        if (nLength == 0)
        {
            return WString();
        }
        // A path that filled the buffer may have been cut (older systems do not even terminate it).
        if (nLength < nChars)
        {
            return TextInBuffer(buffer.data(), nLength);
        }
    }
    return WString();
}

WString PathInDirectoryOf(const WString& strModulePath, const WCHAR* pszFileName)
{
    if (strModulePath.empty())
    {
        return WString();
    }
    size_t nSlash = strModulePath.rfind(TEXT('\\'));
    WString strPath = nSlash == WString::npos ? strModulePath : strModulePath.substr(0, nSlash + 1);
    if (strPath.back() != TEXT('\\'))
    {
        strPath += TEXT('\\');
    }
    return strPath + pszFileName;
}

WString GetPathBesideModule(const WCHAR* pszFileName)
{
    return PathInDirectoryOf(GetModulePath(), pszFileName);
}
} // namespace Kavelor
