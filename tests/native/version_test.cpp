// Firmware and panel application versions, and the product model code.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

#include "app/resource.h"
#include "common/StringTable.h"
#include "images/Version.h"

[[maybe_unused]] static void PrintTo(const PanelVersion& v, std::ostream* os) {
    *os << v.nMajor << '.' << v.nMinor << '.' << v.nBuild;
}

namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

struct VersionCase {
    const wchar_t* text;
    std::int32_t hundredths;
};

TEST(VersionTextToInt, ConvertsToRoundedHundredths) {
    const VersionCase cases[] = {
        {L"3.40", 340},
        {L"3.4", 340},
        {L" 3.40", 340},
        {L"4.35", 435},    // 4.35 * 100 computes to a little under 435
        {L"0.29", 29},     // and 0.29 * 100 to a little under 29
        {L"3.405", 340},   // the half-hundredth is not a rounding to the nearest
        {L"3.999", 399},
        {L"-1.5", -150},
        {L"-0.29", -29},
        {L"1e2", 10000},
        {L"3.40abc", 340},
        {L"0", 0},
        {L"", 0},
        {L"abc", 0},
        {L".", 0},
    };
    for (const VersionCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
        EXPECT_EQ(VersionTextToInt(c.text), c.hundredths);
    }
}

TEST(VersionTextToInt, TextLongerThanTenCharactersIsUnknown) {
    EXPECT_EQ(VersionTextToInt(L"0000003.40"), 340);    // 10 characters
    EXPECT_EQ(VersionTextToInt(L"00000003.40"), -1);    // 11, though a valid number
    EXPECT_EQ(VersionTextToInt(L"3.40       "), -1);
    EXPECT_EQ(VersionTextToInt(L"-9999999999"), -1);
    // Far from the limit whatever the width of wchar_t: an emoji is one or two characters.
    EXPECT_EQ(VersionTextToInt(L"3.40\U0001F600\U0001F600"), 340);
    EXPECT_EQ(VersionTextToInt(L"3.40\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600"), -1);
    EXPECT_EQ(VersionTextToInt(L"3.40\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"), 340);
    EXPECT_EQ(VersionTextToInt(L"3.40\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"), -1);
}

TEST(VersionTextToInt, BeyondThirtyTwoBitsGivesIntMin) {
    EXPECT_EQ(VersionTextToInt(L"21474836.4"), 2147483640);
    EXPECT_EQ(VersionTextToInt(L"21474837"), kMin);
    EXPECT_EQ(VersionTextToInt(L"9999999999"), kMin);
    EXPECT_EQ(VersionTextToInt(L"-21474837"), kMin);
    EXPECT_EQ(VersionTextToInt(L"-999999999"), kMin);
    EXPECT_EQ(VersionTextToInt(L"1e308"), kMin);
    EXPECT_EQ(VersionTextToInt(L"1e999"), kMin);
    EXPECT_EQ(VersionTextToInt(L"-1e999"), kMin);
}

TEST(FormatVersion, HundredthsWithTwoDigitsOrDashes) {
    const struct {
        std::int32_t version;
        const wchar_t* text;
    } cases[] = {
        {340, L"3.40"},
        {0, L"0.00"},
        {5, L"0.05"},
        {7, L"0.07"},
        {100, L"1.00"},
        {12345, L"123.45"},
        {2147483647, L"21474836.47"},
        {-1, L"---"},
        {kMin, L"---"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "version " << c.version);
        EXPECT_EQ(FormatVersion(c.version), c.text);
    }
}

TEST(FormatVersion, RoundTripsThroughVersionTextToInt) {
    for (std::int32_t v : {0, 1, 29, 99, 100, 340, 435, 999, 12345, 99999}) {
        EXPECT_EQ(VersionTextToInt(FormatVersion(v)), v) << v;
    }
}

struct PanelCase {
    const wchar_t* text;
    PanelVersion version;
};

TEST(ParsePanelVersion, ReadsThreeDotSeparatedNumbers) {
    const PanelCase cases[] = {
        {L"3.0.1", {3, 0, 1}},
        {L"10.2.15", {10, 2, 15}},
        {L"3..1", {3, 0, 1}},
        {L"3.0.1.7", {3, 0, 1}},
        {L"3.0.", {3, 0, 0}},
        {L" 3. 0.+1", {3, 0, 1}},
        {L"-1.2.3", {-1, 2, 3}},
        {L"3x.0y.1z", {3, 0, 1}},
        {L"100.200.3000000", {100, 200, 3000000}},   // 15 characters
        {L"3.\u00e9.1", {3, 0, 1}},
        {L"\u0133.0.1", {0, 0, 1}},                  // low byte '3' is not a digit
        {L"3\u012E0.1", {0, 0, 0}},                  // low byte '.' is not a point
        {L"3.0.1\U0001F600", {3, 0, 1}},
        {L"\U0001F600.2.1", {0, 2, 1}},
        // Unknown: no second point, or no point at all.
        {L"3.0", {0, 0, 0}},
        {L"301", {0, 0, 0}},
        {L"", {0, 0, 0}},
        {L"a.b.c", {0, 0, 0}},
        {L"..", {0, 0, 0}},
        {L"1000.200.3000000", {0, 0, 0}},            // 16 characters
        {L"3.0.1           ", {0, 0, 0}},            // 16 characters
    };
    for (const PanelCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
        const PanelVersion v = ParsePanelVersion(c.text);
        EXPECT_EQ(v.nMajor, c.version.nMajor);
        EXPECT_EQ(v.nMinor, c.version.nMinor);
        EXPECT_EQ(v.nBuild, c.version.nBuild);
        EXPECT_EQ(ParsePanelVersion(std::wstring_view(c.text)), v);
    }
}

TEST(ParsePanelVersion, NullAndZeroCharacters) {
    EXPECT_EQ(ParsePanelVersion(static_cast<const wchar_t*>(nullptr)), PanelVersion{});
    // A zero character ends the text: the second point after it is not seen.
    EXPECT_EQ(ParsePanelVersion(std::wstring_view(L"3.0\0.1", 6)), PanelVersion{});
    EXPECT_EQ(ParsePanelVersion(std::wstring_view(L"3.0.1\0" L"9", 7)), (PanelVersion{3, 0, 1}));
}

TEST(FormatPanelVersion, ThreeNumbersOrDashes) {
    EXPECT_EQ(FormatPanelVersion({3, 0, 1}), L"3.0.1");
    EXPECT_EQ(FormatPanelVersion({10, 2, 15}), L"10.2.15");
    EXPECT_EQ(FormatPanelVersion({0, 0, 1}), L"0.0.1");
    EXPECT_EQ(FormatPanelVersion({-1, 0, 0}), L"-1.0.0");
    EXPECT_EQ(FormatPanelVersion({kMin, kMin, kMin}), L"-2147483648.-2147483648.-2147483648");
    EXPECT_EQ(FormatPanelVersion({0, 0, 0}), L"---");
    EXPECT_EQ(FormatPanelVersion(ParsePanelVersion(L"a.b.c")), L"---");
    EXPECT_EQ(FormatPanelVersion(ParsePanelVersion(L"3..1")), L"3.0.1");
}

TEST(PanelVersion, ComparesMajorThenMinorThenBuild) {
    EXPECT_LT((PanelVersion{3, 0, 1}), (PanelVersion{3, 0, 2}));
    EXPECT_LT((PanelVersion{3, 0, 9}), (PanelVersion{3, 1, 0}));
    EXPECT_LT((PanelVersion{2, 9, 9}), (PanelVersion{3, 0, 0}));
    EXPECT_LT((PanelVersion{-1, 5, 5}), (PanelVersion{0, 0, 0}));
    EXPECT_EQ((PanelVersion{3, 0, 1}), ParsePanelVersion(L"3.0.1"));
    EXPECT_TRUE(PanelVersion{}.IsUnknown());
    EXPECT_FALSE((PanelVersion{0, 0, 1}).IsUnknown());
    EXPECT_FALSE((PanelVersion{-1, 0, 0}).IsUnknown());
}

TEST(GetProductModelCode, ReadsString204AsDecimal) {
    const struct {
        const wchar_t* text;
        std::int32_t code;
    } cases[] = {
        {L"041852", 41852},
        {L"0000041852", 41852},     // 10 characters
        {L"00000041852", -1},       // 11 characters
        {L" 41852", 41852},
        {L"-5", -5},
        {L"4185x2", 4185},
        {L"abc", 0},
        {L"0x10", 0},
        {L"9999999999", 2147483647},
        {L"-999999999", -999999999},
        {L"1\U0001F600", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
        const MapStringTable strings{{IDS_CFG_MODEL_CODE, c.text}};
        EXPECT_EQ(GetProductModelCode(strings), c.code);
    }
}

TEST(GetProductModelCode, MissingOrEmptyIsUnavailable) {
    EXPECT_EQ(GetProductModelCode(MapStringTable{}), -1);
    EXPECT_EQ(GetProductModelCode(MapStringTable{{IDS_CFG_MODEL_CODE, L""}}), -1);
    // Neighbouring entries are not read in its place.
    EXPECT_EQ(GetProductModelCode(MapStringTable{{IDS_CFG_FIRM_VERSION, L"340"}, {IDS_CFG_PORT_TYPE, L"7"}}), -1);
}

}  // namespace
