// The string table lookup and the number formats of Kavelor's windows.
#include "trayapp/ResourceText.h"

#include <cstdio>

namespace Kavelor
{
namespace
{
// The longest text of the table (the storage-in-use message) is well below this.
const int kTextChars = 1024;
} // namespace

WString LoadText(HINSTANCE hInstance, UINT nId)
{
    WCHAR szText[kTextChars] = {};
    int nLength = LoadStringW(hInstance, nId, szText, kTextChars);
    return TextInBuffer(szText, nLength > 0 ? static_cast<size_t>(nLength) : 0);
}

WString FormatWithText(const WString& strPattern, const WString& strValue)
{
    const WCHAR placeholder[] = {'%', 's', 0};
    size_t at = strPattern.find(placeholder);
    if (at == WString::npos)
    {
        return strPattern;
    }
    WString strText = strPattern;
    strText.replace(at, 2, strValue);
    return strText;
}

WString FormatHex4(WORD wValue)
{
    char szText[16] = {};
    std::snprintf(szText, sizeof(szText), "0x%04X", static_cast<unsigned>(wValue));
    return WidenAscii(szText);
}

WString WidenAscii(const char* pszText)
{
    WString strText;
    for (const char* p = pszText; *p != 0; ++p)
    {
        strText.push_back(static_cast<WCHAR>(static_cast<unsigned char>(*p)));
    }
    return strText;
}
} // namespace Kavelor
