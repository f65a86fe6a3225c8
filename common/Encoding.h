// Text and byte encodings the installer's own files use: UTF-8, Base64 and hexadecimal.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace text {

// Wide text as UTF-8. Wide text is UTF-16 where wchar_t has 16 bits (a surrogate pair is one
// character; a lone surrogate becomes U+FFFD) and UTF-32 elsewhere.
std::string ToUtf8(std::wstring_view text);

// UTF-8 as wide text of the same kind; malformed sequences become U+FFFD.
std::wstring FromUtf8(std::string_view bytes);

// Base64 (RFC 4648, with padding, no line breaks).
std::string ToBase64(std::span<const std::uint8_t> bytes);

// The bytes of Base64 text; none when the text is not exactly that (wrong length, a character
// outside the alphabet, padding anywhere but at the end, bits left over).
std::optional<std::vector<std::uint8_t>> FromBase64(std::string_view text);

// Lower-case hexadecimal, two digits per byte.
std::string ToHex(std::span<const std::uint8_t> bytes);

// The bytes of hexadecimal text (either case); none when it is not an even number of hex digits.
std::optional<std::vector<std::uint8_t>> FromHex(std::string_view text);

}  // namespace text
