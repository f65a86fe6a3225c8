// Readers of numbers in wide text that behave like the C library's wcstol and wcstod in the
// "C" locale, written out so that the result does not depend on the width of wchar_t (16 bits
// on Windows, 32 on Linux), on the process locale, or on the width of long.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace text {

// Space, tab, line feed, vertical tab, form feed and carriage return: the "C" locale's spaces.
bool IsSpace(wchar_t c);
bool IsDigit(wchar_t c);

// Reads an integer like wcstol: leading spaces, an optional sign, for base 16 an optional "0x"
// or "0X" prefix, then digits of the base; reading stops at the first other character and no
// digit at all gives 0. The result saturates at the limits of a 32-bit long (the width long has
// on Windows). `consumed`, when given, receives the number of characters read (0 without digits).
std::int32_t ReadLong(std::wstring_view s, int base, std::size_t* consumed = nullptr);

// Reads an unsigned integer like wcstoul with a 32-bit unsigned long: the same spaces, sign,
// prefix and digits as ReadLong; a value beyond 32 bits saturates to all ones, and a minus sign
// negates the value in unsigned arithmetic ("-1" gives 0xFFFFFFFF).
std::uint32_t ReadUnsignedLong(std::wstring_view s, int base, std::size_t* consumed = nullptr);

// Reads a decimal floating-point number like wcstod/_wtof: leading spaces, an optional sign,
// digits with an optional point and fraction, an optional exponent. No number at all gives 0.
// Hexadecimal, infinity and NaN spellings are not numbers here. Overflow gives an infinity of
// the number's sign, underflow gives 0.
double ReadDouble(std::wstring_view s);

// Widens single-byte text one byte per character (bytes 0x80-0xFF map to U+0080-U+00FF).
std::wstring WidenBytes(std::string_view bytes);

}  // namespace text
