// winsim/machine: UTF-16 text helpers of the simulation (conversion for JSON and printing, the
// case-insensitive comparison Windows applies to instance IDs, driver keys and paths, GUID text forms).
#include "winsim/machine/machine.h"

#include <cstdio>
#include <cstring>

namespace winsim::machine
{
WString Widen(const std::string& utf8)
{
    WString out;
    for (size_t at = 0; at < utf8.size();)
    {
        unsigned char lead = static_cast<unsigned char>(utf8[at]);
        uint32_t code = lead;
        size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        if (extra != 0)
        {
            code = lead & (0x3F >> extra);
        }
        if (at + extra >= utf8.size())
        {
            Violation("text is not UTF-8");
        }
        for (size_t i = 1; i <= extra; ++i)
        {
            code = (code << 6) | (static_cast<unsigned char>(utf8[at + i]) & 0x3F);
        }
        at += extra + 1;
        if (code >= 0x10000)
        {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        }
        else
        {
            out += static_cast<char16_t>(code);
        }
    }
    return out;
}

std::string Narrow(const WString& text)
{
    std::string out;
    for (size_t at = 0; at < text.size(); ++at)
    {
        uint32_t code = text[at];
        if (code >= 0xD800 && code < 0xDC00 && at + 1 < text.size())
        {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++at] - 0xDC00);
        }
        if (code < 0x80)
        {
            out += static_cast<char>(code);
        }
        else if (code < 0x800)
        {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
        else if (code < 0x10000)
        {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
        else
        {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

namespace
{

char16_t UpperChar(char16_t ch)
{
    return ch >= u'a' && ch <= u'z' ? static_cast<char16_t>(ch - u'a' + u'A') : ch;
}

} // namespace

WString Upper(const WString& text)
{
    WString out = text;
    for (char16_t& ch : out)
    {
        ch = UpperChar(ch);
    }
    return out;
}

// Without copies: device lookups compare every node's instance ID, and a machine may have thousands.
bool EqualNoCase(const WString& a, const WString& b)
{
    if (a.size() != b.size())
    {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i)
    {
        if (UpperChar(a[i]) != UpperChar(b[i]))
        {
            return false;
        }
    }
    return true;
}

WString GuidText(const GUID& guid)
{
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1,
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return Widen(buffer);
}

bool ParseGuid(const WString& text, GUID* guid)
{
    std::string narrow = Narrow(text);
    unsigned data1 = 0, data2 = 0, data3 = 0, bytes[8] = {};
    int end = 0;
    int fields = std::sscanf(narrow.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%n", &data1, &data2,
                             &data3, &bytes[0], &bytes[1], &bytes[2], &bytes[3], &bytes[4], &bytes[5],
                             &bytes[6], &bytes[7], &end);
    if (fields != 11 || static_cast<size_t>(end) != narrow.size())
    {
        return false;
    }
    guid->Data1 = data1;
    guid->Data2 = static_cast<USHORT>(data2);
    guid->Data3 = static_cast<USHORT>(data3);
    for (int i = 0; i < 8; ++i)
    {
        guid->Data4[i] = static_cast<UCHAR>(bytes[i]);
    }
    return true;
}

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
} // namespace winsim::machine
