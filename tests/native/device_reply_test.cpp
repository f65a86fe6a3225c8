// The printer's information reply: its key/value pairs, the readings taken from them, and the
// status word.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "update/DeviceReply.h"

[[maybe_unused]] static void PrintTo(const PanelVersion& v, std::ostream* os) {
    *os << v.nMajor << '.' << v.nMinor << '.' << v.nBuild;
}

namespace {

ReplyMap Parse(std::wstring_view text, bool expected = true) {
    ReplyMap map;
    EXPECT_EQ(ParseDeviceReply(map, text), expected);
    return map;
}

TEST(ParseDeviceReply, ReadsKeyValueSegments) {
    const struct {
        const wchar_t* text;
        ReplyMap pairs;
    } cases[] = {
        {L"A:1;B:2;", {{L"A", L"1"}, {L"B", L"2"}}},
        {L"A:1;B:2", {{L"A", L"1"}, {L"B", L"2"}}},
        {L"A:1;A:2", {{L"A", L"2"}}},
        {L"A:1:2;", {{L"A", L"1:2"}}},
        {L"A:;B:", {{L"A", L""}, {L"B", L""}}},
        {L" A : 1 ;", {{L" A ", L" 1 "}}},
        {L"mdl:x;MDL:y", {{L"mdl", L"x"}, {L"MDL", L"y"}}},
        {L"MDL:Zentil-640;VER:3.40;PANEL:3.0.1;MODE:NORMAL;STATUS:0002AB0108800000FF;",
         {{L"MDL", L"Zentil-640"},
          {L"VER", L"3.40"},
          {L"PANEL", L"3.0.1"},
          {L"MODE", L"NORMAL"},
          {L"STATUS", L"0002AB0108800000FF"}}},
        {L"MDL:Caf\u00e9 \U0001F600;VER:3.40", {{L"MDL", L"Caf\u00e9 \U0001F600"}, {L"VER", L"3.40"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
        EXPECT_EQ(Parse(c.text), c.pairs);
    }
}

TEST(ParseDeviceReply, MalformedSegments) {
    const struct {
        const wchar_t* text;
        ReplyMap pairs;
    } cases[] = {
        // Without any ':' the one pair has an empty key and the whole text up to ';' as value.
        {L"NOCOLON", {{L"", L"NOCOLON"}}},
        {L";", {{L"", L""}}},
        {L";;", {{L"", L";"}}},
        {L":", {{L"", L""}}},
        {L":;:", {{L"", L""}}},
        {L":x", {{L"", L"x"}}},
        // A segment without ':' takes the key up to the next segment's ':'; that segment still reads.
        {L"A;B:2", {{L"A;B", L""}, {L"B", L"2"}}},
        {L"A:1;NOCOLON;B:2", {{L"A", L"1"}, {L"NOCOLON;B", L""}, {L"B", L"2"}}},
        {L"A:1;;B:2", {{L"A", L"1"}, {L";B", L""}, {L"B", L"2"}}},
        // With no ':' left, the value runs from the start of the whole text.
        {L"A:1;X", {{L"A", L"1"}, {L"", L"A:1;X"}}},
        {L"A:1;X;", {{L"A", L"1"}, {L"", L"A:1;X"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
        EXPECT_EQ(Parse(c.text), c.pairs);
    }
}

TEST(ParseDeviceReply, EmptyTextGivesNothingAndEmptiesTheMap) {
    ReplyMap map{{L"OLD", L"1"}};
    EXPECT_FALSE(ParseDeviceReply(map, L""));
    EXPECT_TRUE(map.empty());

    map = {{L"OLD", L"1"}};
    ASSERT_TRUE(ParseDeviceReply(map, L"NEW:2"));
    EXPECT_EQ(map, (ReplyMap{{L"NEW", L"2"}}));
}

TEST(ReplyReadings, FirmwareVersion) {
    EXPECT_EQ(GetReplyVersion(Parse(L"MDL:x;VER:3.40;")), 340);
    EXPECT_EQ(GetReplyVersion(Parse(L"VER:4.35")), 435);
    EXPECT_EQ(GetReplyVersion(Parse(L"VER:;")), 0);
    EXPECT_EQ(GetReplyVersion(Parse(L"VER:abc")), 0);
    EXPECT_EQ(GetReplyVersion(Parse(L"VER:00000003.40")), -1);
    EXPECT_EQ(GetReplyVersion(Parse(L"MDL:x;")), -1);
    EXPECT_EQ(GetReplyVersion(Parse(L"ver:3.40")), -1);
    EXPECT_EQ(GetReplyVersion(ReplyMap{}), -1);
}

TEST(ReplyReadings, PanelVersion) {
    EXPECT_EQ(GetReplyPanelVersion(Parse(L"PANEL:3.0.1;VER:3.40")), (PanelVersion{3, 0, 1}));
    EXPECT_EQ(GetReplyPanelVersion(Parse(L"PANEL:10.2.15")), (PanelVersion{10, 2, 15}));
    EXPECT_EQ(GetReplyPanelVersion(Parse(L"PANEL:-1.-1.-1")), (PanelVersion{-1, -1, -1}));
    EXPECT_EQ(GetReplyPanelVersion(Parse(L"PANEL:3.0")), PanelVersion{});
    EXPECT_EQ(GetReplyPanelVersion(Parse(L"PANEL:")), PanelVersion{});
    EXPECT_EQ(GetReplyPanelVersion(Parse(L"VER:3.40")), PanelVersion{});
}

TEST(ReplyReadings, IplModeIsExactlyIPL) {
    EXPECT_TRUE(IsReplyIplMode(Parse(L"MODE:IPL")));
    EXPECT_TRUE(IsReplyIplMode(Parse(L"MDL:x;MODE:IPL;")));
    for (const wchar_t* text : {L"MODE:ipl", L"MODE:Ipl", L"MODE:IPL ", L"MODE: IPL", L"MODE:IPLX", L"MODE:",
                                L"MODE:NORMAL", L"mode:IPL", L"MDL:IPL", L"IPL"}) {
        EXPECT_FALSE(IsReplyIplMode(Parse(text))) << text;
    }
}

TEST(ReplyReadings, FindReplyValue) {
    const ReplyMap map = Parse(L"SECURITY:0.00;MDL:;");
    ASSERT_NE(FindReplyValue(map, L"SECURITY"), nullptr);
    EXPECT_EQ(*FindReplyValue(map, L"SECURITY"), L"0.00");
    ASSERT_NE(FindReplyValue(map, L"MDL"), nullptr);
    EXPECT_EQ(*FindReplyValue(map, L"MDL"), L"");
    EXPECT_EQ(FindReplyValue(map, L"VER"), nullptr);
}

struct StatusCase {
    const wchar_t* value;
    int format;
    const wchar_t* word;  // empty: no status word
};

TEST(ExtractStatusItem, FindsTheStatusWord) {
    const StatusCase cases[] = {
        // The word itself: its first 8 characters.
        {L"80000010AB", kStatusFormatWord, L"80000010"},
        {L"80000010", kStatusFormatWord, L"80000010"},
        {L"8000001", kStatusFormatWord, L""},
        {L"", kStatusFormatWord, L""},
        {L"0002AB0108800000FF", kStatusFormatWord, L"0002AB01"},
        // Tagged items: skip until tag 1, take its L characters.
        {L"0002AB0108800000FF", kStatusFormatTagged, L"800000FF"},
        {L"0108800000FF", kStatusFormatTagged, L"800000FF"},
        {L"0108800000FF0104ABCD", kStatusFormatTagged, L"800000FF"},
        {L"0000020A01234567890104ABCD", kStatusFormatTagged, L"ABCD"},
        {L"0002ab0108800000ff", kStatusFormatTagged, L"800000ff"},
        {L"010A0123456789XYZ", kStatusFormatTagged, L"0123456789"},
        {L"0110ABC", kStatusFormatTagged, L"ABC"},   // shorter than its length: what there is
        {L"0002AB", kStatusFormatTagged, L""},       // no tag-1 item
        {L"0002AB0208800000FF", kStatusFormatTagged, L""},
        {L"0100", kStatusFormatTagged, L""},         // tag 1 of length 0
        {L"0002AB01", kStatusFormatTagged, L""},     // tag 1 without a length
        {L"0002AB0", kStatusFormatTagged, L""},
        {L"", kStatusFormatTagged, L""},
        {L"80000010", kStatusFormatTagged, L""},     // a bare word is read as tag 0x80
        // The fields are read like wcstol with base 16: spaces and signs count, "0x" is no prefix
        // within two characters, and reading stops at the first non-digit.
        {L"+108800000FF", kStatusFormatTagged, L"800000FF"},
        {L" 1 8800000FF", kStatusFormatTagged, L"800000FF"},
        {L"0x02AB0108800000FF", kStatusFormatTagged, L"800000FF"},
        {L"010x12345678", kStatusFormatTagged, L""},
        {L"018G800000FF", kStatusFormatTagged, L"800000FF"},
        {L"GGGG0104ABCD", kStatusFormatTagged, L"ABCD"},
        {L"-104XXXX0104ABCD", kStatusFormatTagged, L"ABCD"},
        // A negative length ends the search with no word.
        {L"01-1800000FF", kStatusFormatTagged, L""},
        {L"00-50108800000FF", kStatusFormatTagged, L""},
        {L"00-1", kStatusFormatTagged, L""},
        // Lengths that run beyond the end.
        {L"00FF0108800000FF", kStatusFormatTagged, L""},
        {L"007F", kStatusFormatTagged, L""},
        // Characters outside ASCII are neither digits nor letters.
        {L"\u00e9\u00e9\u00e9\u00e90104ABCD", kStatusFormatTagged, L"ABCD"},
        {L"01\u0134\u0130ABCD", kStatusFormatTagged, L""},   // low bytes '4' and '0'
        {L"0104\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600", kStatusFormatTagged, nullptr},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "value \"" << c.value << "\" format " << c.format);
        std::wstring out = L"stale";
        const bool found = ExtractStatusItem(out, c.value, c.format);
        if (c.word == nullptr) {
            // Four characters, whether an emoji is one character or two.
            EXPECT_TRUE(found);
            EXPECT_EQ(out.size(), 4u);
            continue;
        }
        EXPECT_EQ(out, c.word);
        EXPECT_EQ(found, !out.empty());
    }
}

TEST(CheckReplyStatus, TakesTheStatusWordOfTheReply) {
    DeviceReply reply;
    EXPECT_TRUE(CheckReplyStatus(reply, L"MDL:Zentil-640;VER:3.40;STATUS:0002AB0108800000FF;", kStatusFormatTagged));
    EXPECT_EQ(reply.status, L"800000FF");
    EXPECT_EQ(reply.map.at(L"MDL"), L"Zentil-640");

    DeviceReply word;
    EXPECT_TRUE(CheckReplyStatus(word, L"STATUS:80000010AB", kStatusFormatWord));
    EXPECT_EQ(word.status, L"80000010");
}

TEST(CheckReplyStatus, IplModeNeedsNoStatus) {
    for (const wchar_t* text : {L"MODE:IPL", L"MODE:IPL;STATUS:0002AB", L"STATUS:0108800000FF;MODE:IPL;"}) {
        DeviceReply reply;
        EXPECT_TRUE(CheckReplyStatus(reply, text, kStatusFormatTagged)) << text;
        EXPECT_EQ(reply.status, L"") << text;
        EXPECT_EQ(reply.map.at(L"MODE"), L"IPL");
    }
}

TEST(CheckReplyStatus, FailsWithoutAStatusWord) {
    const wchar_t* const texts[] = {
        L"",
        L"MDL:Zentil-640;VER:3.40;",
        L"MODE:ipl;",
        L"STATUS:0002AB;",
        L"STATUS:;",
        L"status:0108800000FF",
        L"STATUS:01-1800000FF",
        L"NOCOLON",
    };
    for (const wchar_t* text : texts) {
        SCOPED_TRACE(testing::Message() << "text \"" << text << "\"");
        DeviceReply reply;
        EXPECT_FALSE(CheckReplyStatus(reply, text, kStatusFormatTagged));
        EXPECT_EQ(reply.status, L"");
    }
    // The reply's map is filled even when no status word is found.
    DeviceReply reply;
    EXPECT_FALSE(CheckReplyStatus(reply, L"MDL:x;STATUS:1234567", kStatusFormatWord));
    EXPECT_EQ(reply.map.at(L"MDL"), L"x");
}

}  // namespace
