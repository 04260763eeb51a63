// The texts Kavelor shows: strings of its string table, and the few number formats its windows use. The
// formats are built here rather than with the C runtime's wide printf, whose WCHAR differs between the
// Windows build and the host build.
#pragma once

#include "enumlib/WideString.h"

#include <windows.h>

namespace Kavelor
{
// The string of the table, empty when it is missing.
WString LoadText(HINSTANCE hInstance, UINT nId);
// The pattern with its first "%s" replaced by the value; the pattern itself when it has none.
WString FormatWithText(const WString& strPattern, const WString& strValue);
// "0x%04X": four upper-case hexadecimal digits.
WString FormatHex4(WORD wValue);
// Plain ASCII text (digits and units) as WCHAR text.
WString WidenAscii(const char* pszText);
} // namespace Kavelor
