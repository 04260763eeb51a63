// Text helpers of the enumeration library (see WideString.h).
#include "enumlib/WideString.h"

namespace Kavelor
{
namespace
{
WCHAR UpperAscii(WCHAR ch)
{
    return ch >= 'a' && ch <= 'z' ? static_cast<WCHAR>(ch - 'a' + 'A') : ch;
}
} // namespace

bool EqualsNoCase(const WString& a, const WString& b)
{
    if (a.size() != b.size())
    {
        return false;
    }
    for (size_t at = 0; at < a.size(); ++at)
    {
        if (UpperAscii(a[at]) != UpperAscii(b[at]))
        {
            return false;
        }
    }
    return true;
}

WString ToUpper(const WString& text)
{
    WString upper = text;
    for (WCHAR& ch : upper)
    {
        ch = UpperAscii(ch);
    }
    return upper;
}

bool Contains(const WString& text, const WCHAR* part)
{
    return text.find(part) != WString::npos;
}

WString TextInBuffer(const WCHAR* buffer, size_t maxChars)
{
    size_t length = 0;
    while (length < maxChars && buffer[length] != 0)
    {
        ++length;
    }
    return WString(buffer, length);
}
} // namespace Kavelor
