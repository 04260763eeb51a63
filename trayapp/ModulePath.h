// The program's own path and the files the installation puts beside it (Kavset.exe, the help document).
#pragma once

#include "enumlib/WideString.h"

namespace Kavelor
{
// The full path of the running program; empty when it cannot be read. The buffer starts at 512 characters
// and doubles until the path fits.
WString GetModulePath();
// The file of that name in the program's directory; empty when the program's path is unknown.
WString GetPathBesideModule(const WCHAR* pszFileName);
WString PathInDirectoryOf(const WString& strModulePath, const WCHAR* pszFileName);
} // namespace Kavelor
