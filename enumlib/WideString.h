// Text helpers of the enumeration library. All text is UTF-16 (WCHAR is wchar_t on Windows and char16_t in
// the host build), so the library carries its own comparisons instead of the C runtime's wide functions.
// Device instance IDs, driver keys, enumerator and filter names compare ignoring the case of A to Z only.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace Kavelor
{
using WString = std::basic_string<WCHAR>;

bool EqualsNoCase(const WString& a, const WString& b);
WString ToUpper(const WString& text);
bool Contains(const WString& text, const WCHAR* part);
// The text of a buffer up to its terminator, never past maxChars: a value without terminator stays inside
// its buffer.
WString TextInBuffer(const WCHAR* buffer, size_t maxChars);
} // namespace Kavelor
