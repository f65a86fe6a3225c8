// The wide-text number readers: wcstol/wcstod behaviour in the "C" locale, whatever the width of
// wchar_t and long.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "common/Text.h"

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

struct LongCase {
    const wchar_t* text;
    int base;
    std::int32_t value;
    std::size_t consumed;
};

TEST(ReadLong, ReadsLikeWcstol) {
    const LongCase cases[] = {
        {L"123", 10, 123, 3},
        {L"  -42x", 10, -42, 5},
        {L"+7", 10, 7, 2},
        {L"\t\n\v\f\r 9", 10, 9, 7},
        {L"0000000000000000000042", 10, 42, 22},
        {L"12 34", 10, 12, 2},
        // No digit: nothing is consumed, not even the spaces or the sign.
        {L"", 10, 0, 0},
        {L"   ", 10, 0, 0},
        {L"-", 10, 0, 0},
        {L"+-1", 10, 0, 0},
        {L"- 1", 10, 0, 0},
        {L"abc", 10, 0, 0},
        // Hexadecimal, with and without the prefix; the prefix only counts before a hex digit.
        {L"ff", 16, 255, 2},
        {L"FF", 16, 255, 2},
        {L"0x1A", 16, 26, 4},
        {L"0X1a", 16, 26, 4},
        {L" -0x10", 16, -16, 6},
        {L"1g", 16, 1, 1},
        {L"0x", 16, 0, 1},
        {L"0xg", 16, 0, 1},
        {L"0x10", 10, 0, 1},
        {L"a", 10, 0, 0},
    };
    for (const LongCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\" base " << c.base);
        std::size_t consumed = 99;
        EXPECT_EQ(text::ReadLong(c.text, c.base, &consumed), c.value);
        EXPECT_EQ(consumed, c.consumed);
        EXPECT_EQ(text::ReadLong(c.text, c.base), c.value);
    }
}

TEST(ReadLong, SaturatesAtThirtyTwoBitLimitsAndConsumesAllDigits) {
    const LongCase cases[] = {
        {L"2147483647", 10, kMax, 10},
        {L"2147483648", 10, kMax, 10},
        {L"-2147483648", 10, kMin, 11},
        {L"-2147483649", 10, kMin, 11},
        {L"99999999999999999999999x", 10, kMax, 23},
        {L"-99999999999999999999999", 10, kMin, 24},
        {L"7fffffff", 16, kMax, 8},
        {L"80000000", 16, kMax, 8},
        {L"ffffffffffffffff", 16, kMax, 16},
        {L"-80000000", 16, kMin, 9},
        {L"-80000001", 16, kMin, 9},
    };
    for (const LongCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\" base " << c.base);
        std::size_t consumed = 0;
        EXPECT_EQ(text::ReadLong(c.text, c.base, &consumed), c.value);
        EXPECT_EQ(consumed, c.consumed);
    }
}

TEST(ReadUnsignedLong, ReadsLikeWcstoulWithThirtyTwoBits) {
    constexpr std::uint32_t kAllOnes = 0xFFFFFFFFu;
    const struct {
        const wchar_t* text;
        std::uint32_t value;
        std::size_t consumed;
    } cases[] = {
        {L"80000000", 0x80000000u, 8},
        {L"7FFFFFFF", 0x7FFFFFFFu, 8},
        {L"ffffffff", kAllOnes, 8},
        {L"100000000", kAllOnes, 9},
        {L"800000FF00000000000", kAllOnes, 19},
        {L"  0x80000001g", 0x80000001u, 12},
        {L"-1", kAllOnes, 2},
        {L"-80000000", 0x80000000u, 9},
        {L"-100000000", kAllOnes, 10},
        {L"zz", 0, 0},
        {L"", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
        std::size_t consumed = 99;
        EXPECT_EQ(text::ReadUnsignedLong(c.text, 16, &consumed), c.value);
        EXPECT_EQ(consumed, c.consumed);
    }
}

// Only ASCII digits and letters are digits. The characters below have an ASCII digit or letter in
// their low byte, which a reader that narrows wchar_t would take for one.
TEST(ReadLong, CharactersOutsideAsciiAreNotDigits) {
    const LongCase cases[] = {
        {L"\u0135", 10, 0, 0},        // low byte '5'
        {L"\u0141", 16, 0, 0},        // low byte 'A'
        {L"\u0161", 16, 0, 0},        // low byte 'a'
        {L"\u0661", 10, 0, 0},        // ARABIC-INDIC DIGIT ONE
        {L"\uFF11", 10, 0, 0},        // FULLWIDTH DIGIT ONE
        {L"\u00A07", 10, 0, 0},       // no-break space is not a "C" locale space
        {L"5\u00e9", 10, 5, 1},
        {L"42\U0001F600", 10, 42, 2},
        {L"\U0001D7CF", 10, 0, 0},    // MATHEMATICAL BOLD DIGIT ONE (a surrogate pair on Windows)
        {L"1\u0130", 16, 1, 1},       // low byte '0'
    };
    for (const LongCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "case value " << c.value << " consumed " << c.consumed);
        std::size_t consumed = 99;
        EXPECT_EQ(text::ReadLong(c.text, c.base, &consumed), c.value);
        EXPECT_EQ(consumed, c.consumed);
    }
}

TEST(ReadLong, StopsAtTheEndOfTheViewNotAtATerminator) {
    const std::wstring digits = L"12345";
    EXPECT_EQ(text::ReadLong(std::wstring_view(digits).substr(0, 3), 10), 123);
    EXPECT_EQ(text::ReadLong(std::wstring_view(digits).substr(1, 2), 10), 23);
    // "0x" at the end of the view with a hex digit beyond it is not a prefix.
    const std::wstring hex = L"0x5";
    std::size_t consumed = 0;
    EXPECT_EQ(text::ReadLong(std::wstring_view(hex).substr(0, 2), 16, &consumed), 0);
    EXPECT_EQ(consumed, 1u);
}

struct DoubleCase {
    const wchar_t* text;
    double value;
};

TEST(ReadDouble, ReadsLikeWcstodInTheCLocale) {
    const double inf = std::numeric_limits<double>::infinity();
    const DoubleCase cases[] = {
        {L"3.40", 3.40},
        {L"4.35", 4.35},
        {L"  -1.5", -1.5},
        {L"\t\n\v\f\r+2", 2.0},
        {L".5", 0.5},
        {L"5.", 5.0},
        {L"12abc", 12.0},
        {L"3.4.5", 3.4},
        {L"1,5", 1.0},
        {L"1e2", 100.0},
        {L"1E+2", 100.0},
        {L"2.5e-1", 0.25},
        {L"-.25E1", -2.5},
        {L"123456789012345678901234567890", 123456789012345678901234567890.0},
        {L"0.1000000000000000055511151231257827", 0.1},
        // An exponent without digits is not part of the number.
        {L"1e", 1.0},
        {L"1e+", 1.0},
        {L"1e-x", 1.0},
        {L"7E", 7.0},
        // No number at all.
        {L"", 0.0},
        {L"   ", 0.0},
        {L".", 0.0},
        {L"-", 0.0},
        {L"- 1", 0.0},
        {L"+.e1", 0.0},
        {L"abc", 0.0},
        {L"e5", 0.0},
        // Hexadecimal, infinity and NaN spellings are not numbers here.
        {L"0x10", 0.0},
        {L"inf", 0.0},
        {L"-infinity", 0.0},
        {L"nan", 0.0},
        // Out of range.
        {L"1e400", inf},
        {L"-1e400", -inf},
        {L"1e-400", 0.0},
        // Characters outside ASCII end the number; none of them is a digit.
        {L"3.4\u00e9", 3.4},
        {L"2\U0001F600", 2.0},
        {L"\u0663", 0.0},   // ARABIC-INDIC DIGIT THREE
        {L"\u0133.5", 0.0}, // low byte '3'
        {L"1e\u0135", 1.0}, // low byte '5'
        {L"1\u012E5", 1.0}, // low byte '.'
    };
    for (const DoubleCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
        EXPECT_EQ(text::ReadDouble(c.text), c.value);
    }
}

TEST(ReadDouble, StopsAtTheEndOfTheView) {
    const std::wstring s = L"3.40e2";
    EXPECT_EQ(text::ReadDouble(std::wstring_view(s).substr(0, 4)), 3.40);
    EXPECT_EQ(text::ReadDouble(std::wstring_view(s).substr(0, 5)), 3.40);
    EXPECT_EQ(text::ReadDouble(std::wstring_view(s).substr(0, 1)), 3.0);
}

TEST(CharacterClasses, OnlyTheCLocaleSpacesAndDigits) {
    for (wchar_t c : {L' ', L'\t', L'\n', L'\v', L'\f', L'\r'}) EXPECT_TRUE(text::IsSpace(c)) << int(c);
    for (wchar_t c : {L'\0', L'\b', L'\x0E', L'x', L'\u00A0', L'\u3000', L'\u0120', L'\u2009'}) {
        EXPECT_FALSE(text::IsSpace(c)) << int(c);
    }
    for (wchar_t c = L'0'; c <= L'9'; ++c) EXPECT_TRUE(text::IsDigit(c)) << int(c);
    for (wchar_t c : {L'/', L':', L'a', L'\u0660', L'\u0130', L'\uFF10', L'\u00B2'}) {
        EXPECT_FALSE(text::IsDigit(c)) << int(c);
    }
}

TEST(WidenBytes, MapsEachByteToTheCharacterOfTheSameValue) {
    EXPECT_EQ(text::WidenBytes(""), L"");
    EXPECT_EQ(text::WidenBytes("PUF1 3.40"), L"PUF1 3.40");
    // High bytes must not be sign-extended, and a zero byte is kept as a character.
    const std::string bytes("a\0\x7F\x80\xE9\xFF", 6);
    const std::wstring wide = text::WidenBytes(bytes);
    ASSERT_EQ(wide.size(), 6u);
    EXPECT_EQ(wide, std::wstring(L"a\0\x7F\x80\xE9\xFF", 6));
    EXPECT_EQ(static_cast<std::uint32_t>(wide[5]), 0xFFu);
}

}  // namespace
