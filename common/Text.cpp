// Locale-independent number readers over wide text.
#include "common/Text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace text {

bool IsSpace(wchar_t c) {
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

namespace {

int DigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return static_cast<int>(c - L'0');
    if (c >= L'a' && c <= L'z') return static_cast<int>(c - L'a') + 10;
    if (c >= L'A' && c <= L'Z') return static_cast<int>(c - L'A') + 10;
    return 99;
}

}  // namespace

namespace {

// What wcstol and wcstoul share: spaces, sign, base prefix and digits. The magnitude stops
// growing once it passes `cap`, which is all either reader needs to saturate.
struct ScannedInteger {
    bool negative = false;
    bool any = false;
    std::uint64_t magnitude = 0;
    std::size_t consumed = 0;
};

ScannedInteger ScanInteger(std::wstring_view s, int base, std::uint64_t cap) {
    ScannedInteger result;
    std::size_t i = 0;
    while (i < s.size() && IsSpace(s[i])) ++i;
    if (i < s.size() && (s[i] == L'+' || s[i] == L'-')) {
        result.negative = s[i] == L'-';
        ++i;
    }
    if (base == 16 && i + 2 < s.size() && s[i] == L'0' && (s[i + 1] == L'x' || s[i + 1] == L'X') &&
        DigitValue(s[i + 2]) < 16) {
        i += 2;
    }
    while (i < s.size()) {
        const int d = DigitValue(s[i]);
        if (d >= base) break;
        result.any = true;
        if (result.magnitude <= cap) result.magnitude = result.magnitude * base + static_cast<unsigned>(d);
        ++i;
    }
    result.consumed = result.any ? i : 0;
    return result;
}

}  // namespace

std::int32_t ReadLong(std::wstring_view s, int base, std::size_t* consumed) {
    constexpr std::uint64_t kMaxMagnitude = std::uint64_t{1} << 31;
    const ScannedInteger n = ScanInteger(s, base, kMaxMagnitude);
    if (consumed) *consumed = n.consumed;
    if (!n.any) return 0;
    if (n.negative) {
        return n.magnitude >= kMaxMagnitude ? std::numeric_limits<std::int32_t>::min()
                                            : -static_cast<std::int32_t>(n.magnitude);
    }
    return n.magnitude >= kMaxMagnitude - 1 ? std::numeric_limits<std::int32_t>::max()
                                            : static_cast<std::int32_t>(n.magnitude);
}

std::uint32_t ReadUnsignedLong(std::wstring_view s, int base, std::size_t* consumed) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    const ScannedInteger n = ScanInteger(s, base, kMax);
    if (consumed) *consumed = n.consumed;
    if (!n.any) return 0;
    if (n.magnitude > kMax) return std::numeric_limits<std::uint32_t>::max();
    const auto value = static_cast<std::uint32_t>(n.magnitude);
    return n.negative ? static_cast<std::uint32_t>(0u - value) : value;
}

double ReadDouble(std::wstring_view s) {
    std::size_t i = 0;
    while (i < s.size() && IsSpace(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == L'+' || s[i] == L'-')) {
        negative = s[i] == L'-';
        ++i;
    }

    // Collect the longest prefix of the form digits [ '.' digits ] [ e [sign] digits ] as ASCII.
    std::string number;
    std::size_t mantissaDigits = 0;
    while (i < s.size() && IsDigit(s[i])) {
        number.push_back(static_cast<char>(s[i++]));
        ++mantissaDigits;
    }
    if (i < s.size() && s[i] == L'.') {
        std::string fraction = ".";
        std::size_t j = i + 1;
        while (j < s.size() && IsDigit(s[j])) {
            fraction.push_back(static_cast<char>(s[j++]));
            ++mantissaDigits;
        }
        number += fraction;
        i = j;
    }
    if (mantissaDigits == 0) return 0.0;

    bool negativeExponent = false;
    if (i < s.size() && (s[i] == L'e' || s[i] == L'E')) {
        std::size_t j = i + 1;
        std::string exponent = "e";
        if (j < s.size() && (s[j] == L'+' || s[j] == L'-')) {
            negativeExponent = s[j] == L'-';
            exponent.push_back(static_cast<char>(s[j++]));
        }
        if (j < s.size() && IsDigit(s[j])) {
            while (j < s.size() && IsDigit(s[j])) exponent.push_back(static_cast<char>(s[j++]));
            number += exponent;
        } else {
            negativeExponent = false;  // a bare 'e' is not part of the number
        }
    }

    double value = 0.0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value,
                                        std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        value = negativeExponent ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (result.ec != std::errc()) {
        value = 0.0;
    }
    return negative ? -value : value;
}

std::wstring WidenBytes(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (unsigned char b : bytes) out.push_back(static_cast<wchar_t>(b));
    return out;
}

}  // namespace text
