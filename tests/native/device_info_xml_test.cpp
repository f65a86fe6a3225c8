// DeviceInfo.xml and the registered printer records.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/DeviceInfoXml.h"
#include "update/UpdateModel.h"

namespace {

// Expected text given as UTF-16 code units, which is what Utf8FileText yields on every build.
std::wstring Units(std::u16string_view units) {
    return std::wstring(units.begin(), units.end());
}

std::string ReadFixture(const char* name) {
    std::ifstream in(std::string(DEVICEINFO_FIXTURES) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct ElementCase {
    const wchar_t* text;
    std::vector<std::wstring> contents;
};

TEST(FindXmlElements, FollowsThePlainTextRules) {
    const ElementCase cases[] = {
        {L"<a>x</a>", {L"x"}},
        {L"<a></a>", {L""}},
        {L"<a>1</a> <a>2</a>", {L"1", L"2"}},
        // Attributes: the opening tag ends at the first '>' after the space, quoted or not.
        {L"<a id=\"7\">x</a>", {L"x"}},
        {L"<a t=\">\">x</a>", {L"\">x"}},
        {L"<a id=7 x</a>", {}},
        // Only a space or '>' may follow the name; anything else is searched past.
        {L"<ab>y</ab><a>x</a>", {L"x"}},
        {L"<a/><a>x</a>", {L"x"}},
        {L"<a\n>x</a>", {}},
        {L"<a\tid=\"7\">x</a>", {}},
        {L"<A>x</A>", {}},
        {L"<a", {}},
        // Nested same-named elements: each content ends at the first closing tag after it.
        {L"<a>1<a>2</a>3</a>", {L"1<a>2", L"2"}},
        // A missing closing tag leaves that element out, not the ones after it.
        {L"<a>x", {}},
        {L"<a>x<a>y</a>", {L"x<a>y", L"y"}},
        {L"<a>x</b><a>y</a>", {L"x</b><a>y", L"y"}},
        // Raw text: entities, spaces and line breaks stay as written; comments are not special.
        {L"<a> &amp; &lt;b&gt;\r\n</a>", {L" &amp; &lt;b&gt;\r\n"}},
        {L"<!-- <a>c</a> -->", {L"c"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "text: " << ::testing::PrintToString(std::wstring(c.text)));
        std::vector<std::wstring> contents{L"kept"};
        EXPECT_EQ(FindXmlElements(c.text, contents, L"a"), static_cast<int>(c.contents.size()));
        std::vector<std::wstring> expected{L"kept"};
        expected.insert(expected.end(), c.contents.begin(), c.contents.end());
        EXPECT_EQ(contents, expected);
    }
}

TEST(GetXmlElement, TakesTheFirstContentOrEmpty) {
    EXPECT_EQ(GetXmlElement(L"<a>1</a><a>2</a>", L"a"), L"1");
    EXPECT_EQ(GetXmlElement(L"<a/><a\n>0</a><a>1</a>", L"a"), L"1");
    EXPECT_EQ(GetXmlElement(L"<a>1<a>2</a></a>", L"a"), L"1<a>2");
    EXPECT_EQ(GetXmlElement(L"<b>1</b>", L"a"), L"");
    EXPECT_EQ(GetXmlElement(L"<a>1", L"a"), L"");
    EXPECT_EQ(GetXmlElement(L"", L"a"), L"");
}

// A naive search for the closing tag from every content start takes minutes on these texts; the
// bound is a thousand times what a linear pass needs even under the sanitizers.
TEST(FindXmlElements, ManyUnclosedOpeningTagsStayLinear) {
    std::wstring opens;
    for (int i = 0; i < 200000; ++i) opens += L"<a>";
    // Nested blocks whose fields never close: every block's field search runs to the text's end.
    std::wstring blocks;
    for (int i = 0; i < 50000; ++i) blocks += L"<DeviceInfo><strNickName><uchIP>";
    blocks += L"</DeviceInfo>";

    const auto started = std::chrono::steady_clock::now();
    std::vector<std::wstring> contents;
    EXPECT_EQ(FindXmlElements(opens, contents, L"a"), 0);
    CPrinterInfoList list;
    EXPECT_EQ(ParseDeviceInfoXml(blocks, list), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

struct Want {
    int portType;
    const wchar_t* model;
    const wchar_t* nickName;
    const wchar_t* usbPort;
    std::uint32_t address;
    const wchar_t* serial;
};

void ExpectRecords(const CPrinterInfoList& list, const std::vector<Want>& want) {
    ASSERT_EQ(list.GetSize(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(::testing::Message() << "entry " << i);
        const CPrinterInfo& got = list[i];
        EXPECT_EQ(got.m_nPortType, want[i].portType);
        EXPECT_EQ(got.m_strModel, want[i].model);
        EXPECT_EQ(got.m_strNickName, want[i].nickName);
        EXPECT_EQ(got.m_strUSBPortName, want[i].usbPort);
        EXPECT_EQ(got.m_dwIPAddress, want[i].address);
        EXPECT_EQ(got.m_strService, L"");
        EXPECT_EQ(got.m_strSerialNum, want[i].serial);
    }
}

struct RecordCase {
    const char* name;
    const wchar_t* text;
    std::vector<Want> want;
};

constexpr int kNet = CPrinterInfo::kNetwork;
constexpr int kUsb = CPrinterInfo::kUsb;

TEST(ParseDeviceInfoXml, BuildsOneRecordPerUsableBlock) {
    const RecordCase cases[] = {
        {"network, address bytes least significant first",
         L"<DeviceInfo><strNickName>Plotter</strNickName><strLongModelName>Zentil-640</strLongModelName>"
         L"<strSerialNum>ZS01</strSerialNum><ePortType>0</ePortType><uchIP>335653056</uchIP></DeviceInfo>",
         {{kNet, L"Zentil-640", L"Plotter", L"", 0xC0A80114, L"ZS01"}}},
        {"network, first octet above 127 is a negative number",
         L"<DeviceInfo><ePortType>0</ePortType><uchIP>-939415360</uchIP></DeviceInfo>",
         {{kNet, L"", L"", L"", 0xC0A801C8, L""}}},
        {"number read like wcstol",
         L"<DeviceInfo><uchIP> \t+335653056 (office)</uchIP></DeviceInfo>",
         {{kNet, L"", L"", L"", 0xC0A80114, L""}}},
        {"numbers beyond 32 bits take the nearest limit",
         L"<DeviceInfo><uchIP>99999999999</uchIP></DeviceInfo>"
         L"<DeviceInfo><uchIP>-99999999999</uchIP></DeviceInfo>",
         {{kNet, L"", L"", L"", 0xFFFFFF7F, L""}, {kNet, L"", L"", L"", 0x00000080, L""}}},
        {"no address: 0, empty, missing, no digits",
         L"<DeviceInfo><uchIP>0</uchIP></DeviceInfo><DeviceInfo><uchIP></uchIP></DeviceInfo>"
         L"<DeviceInfo><strLongModelName>M</strLongModelName></DeviceInfo><DeviceInfo><uchIP>0x0A</uchIP></DeviceInfo>",
         {}},
        {"port types other than 0 and 1 are skipped",
         L"<DeviceInfo><ePortType>2</ePortType><uchIP>1</uchIP><strUSBPortName>USB001</strUSBPortName></DeviceInfo>"
         L"<DeviceInfo><ePortType>-1</ePortType><uchIP>1</uchIP></DeviceInfo>",
         {}},
        {"missing or empty port type is network",
         L"<DeviceInfo><uchIP>16777226</uchIP></DeviceInfo>"
         L"<DeviceInfo><ePortType></ePortType><uchIP>16777226</uchIP></DeviceInfo>",
         {{kNet, L"", L"", L"", 0x0A000001, L""}, {kNet, L"", L"", L"", 0x0A000001, L""}}},
        {"USB, its port name; the address is not read",
         L"<DeviceInfo><strNickName>Desk</strNickName><strLongModelName>Zentil-320</strLongModelName>"
         L"<strSerialNum>ZS02</strSerialNum><ePortType> 1</ePortType><uchIP>335653056</uchIP>"
         L"<strUSBPortName>USB001</strUSBPortName></DeviceInfo>",
         {{kUsb, L"Zentil-320", L"Desk", L"USB001", 0, L"ZS02"}}},
        {"USB without a port name",
         L"<DeviceInfo><ePortType>1</ePortType><strUSBPortName></strUSBPortName></DeviceInfo>"
         L"<DeviceInfo><ePortType>1</ePortType><uchIP>335653056</uchIP></DeviceInfo>",
         {}},
        {"network ignores a USB port name",
         L"<DeviceInfo><uchIP>1</uchIP><strUSBPortName>USB001</strUSBPortName></DeviceInfo>",
         {{kNet, L"", L"", L"", 0x01000000, L""}}},
        {"two blocks in file order, even for the same printer",
         L"<DeviceInfoList><DeviceInfo><strNickName>B</strNickName><uchIP>335653056</uchIP></DeviceInfo>\r\n"
         L"<DeviceInfo><strNickName>A</strNickName><uchIP>335653056</uchIP></DeviceInfo></DeviceInfoList>",
         {{kNet, L"", L"B", L"", 0xC0A80114, L""}, {kNet, L"", L"A", L"", 0xC0A80114, L""}}},
        {"unrecognised nick name tags read as empty; entities stay",
         L"<DeviceInfo><strNickName/><strNickName\n>Lost</strNickName><uchIP>1</uchIP></DeviceInfo>"
         L"<DeviceInfo><strNickName>A&amp;B</strNickName><uchIP>1</uchIP></DeviceInfo>",
         {{kNet, L"", L"", L"", 0x01000000, L""}, {kNet, L"", L"A&amp;B", L"", 0x01000000, L""}}},
        {"fields are read inside their own block only",
         L"<strNickName>Outside</strNickName>"
         L"<DeviceInfo><uchIP>1</uchIP><strNickName>Cut</DeviceInfo>"
         L"<DeviceInfo><uchIP>2</uchIP><strNickName>Second</strNickName></DeviceInfo>"
         L"<DeviceInfo><uchIP>3</uchIP><strNickName a</DeviceInfo>"
         L"<DeviceInfo><strNickName>Fourth</strNickName><uchIP>4</uchIP></DeviceInfo>",
         {{kNet, L"", L"", L"", 0x01000000, L""},
          {kNet, L"", L"Second", L"", 0x02000000, L""},
          {kNet, L"", L"", L"", 0x03000000, L""},
          {kNet, L"", L"Fourth", L"", 0x04000000, L""}}},
        {"a nested block is a block of its own",
         L"<DeviceInfo><uchIP>1</uchIP><DeviceInfo><uchIP>2</uchIP></DeviceInfo></DeviceInfo>",
         {{kNet, L"", L"", L"", 0x01000000, L""}, {kNet, L"", L"", L"", 0x02000000, L""}}},
        {"nothing to read", L"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CPrinterInfoList list;
        EXPECT_EQ(ParseDeviceInfoXml(c.text, list), static_cast<int>(c.want.size()));
        ExpectRecords(list, c.want);
    }
}

TEST(ParseDeviceInfoXml, AppendsAfterTheEntriesAlreadyListed) {
    CPrinterInfoList list;
    list.Add(std::make_unique<CPrinterInfo>(L"Zentil-640", 1u, L"", L"svc", L""));
    EXPECT_EQ(ParseDeviceInfoXml(L"<DeviceInfo><uchIP>2</uchIP></DeviceInfo>", list), 1);
    ASSERT_EQ(list.GetSize(), 2u);
    EXPECT_EQ(list[0].m_strService, L"svc");
    EXPECT_EQ(list[1].m_dwIPAddress, 0x02000000u);
}

// Nested blocks whose fields all run to one distant closing tag would make the records hold text
// quadratic in the file; the reading stops before the records outgrow the file several times.
TEST(ParseDeviceInfoXml, NestedBlocksCannotMultiplyTheFile) {
    const std::wstring_view block = L"<DeviceInfo><uchIP>1</uchIP><strNickName>";
    const std::wstring_view tail = L"</strNickName></DeviceInfo>";
    const int blocks = 20000;
    std::wstring text;
    for (int i = 0; i < blocks; ++i) text += block;
    text += tail;

    CPrinterInfoList list;
    const int appended = ParseDeviceInfoXml(text, list);
    EXPECT_GT(appended, 0);
    EXPECT_LT(appended, blocks);
    ASSERT_EQ(list.GetSize(), static_cast<std::size_t>(appended));
    std::size_t stored = 0;
    for (std::size_t i = 0; i < list.GetSize(); ++i) stored += list[i].m_strNickName.size();
    EXPECT_LE(stored, 4 * text.size());
    EXPECT_EQ(list[0].m_strNickName.size(), text.size() - block.size() - tail.size());
}

// One network block of the model, its nick name telling which it is.
std::wstring Block(std::wstring_view model, std::wstring_view nickName) {
    return L"<DeviceInfo><strNickName>" + std::wstring(nickName) + L"</strNickName><strLongModelName>" +
           std::wstring(model) + L"</strLongModelName><uchIP>16777226</uchIP></DeviceInfo>\r\n";
}

std::vector<std::wstring> NickNames(const CPrinterInfoList& list) {
    std::vector<std::wstring> names;
    for (std::size_t i = 0; i < list.GetSize(); ++i) names.push_back(list[i].m_strNickName);
    return names;
}

struct FilterCase {
    const char* name;
    std::wstring text;
    bool filtered;  // by the served models below, else every model
    int most;
    int usable;  // the result
    std::vector<std::wstring> appended;
};

// The served models refuse blocks without appending them, yet the result counts them: the attempt
// loop moves on to the next file only when this one registers nothing at all. The bound counts
// appended entries only, and the reading stops once it is reached.
TEST(ParseDeviceInfoXml, FiltersByModelAndStopsAtTheBound) {
    const CFirmUpdateInfo served(340, 41852, L"Zentil-640,Zentil-540");
    const std::wstring mixed = Block(L"Zentil-1640", L"a") + Block(L"Veyra Zentil-640", L"b") +
                               Block(L"Other", L"c") + Block(L"Zentil-540", L"d") + Block(L"Zentil-640", L"e");
    const std::wstring unusable = L"<DeviceInfo><strLongModelName>Zentil-640</strLongModelName></DeviceInfo>"
                                  L"<DeviceInfo><strLongModelName>Other</strLongModelName><ePortType>2</ePortType>"
                                  L"<uchIP>1</uchIP></DeviceInfo>";
    const FilterCase cases[] = {
        {"every model, no bound reached", mixed, false, 10, 5, {L"a", L"b", L"c", L"d", L"e"}},
        {"served models only, names ending with one too", mixed, true, 10, 5, {L"b", L"d", L"e"}},
        {"bound reached: the rest is not read", mixed, true, 2, 4, {L"b", L"d"}},
        {"bound reached by the last block", mixed, true, 3, 5, {L"b", L"d", L"e"}},
        {"bound of every model", mixed, false, 2, 2, {L"a", L"b"}},
        {"no model served: counted, none appended", Block(L"Other", L"a") + Block(L"Zentil-1640", L"b"), true, 10, 2,
         {}},
        {"no room: the first served block still tells", mixed, true, 0, 2, {}},
        {"unusable blocks count for nothing", unusable + Block(L"Other", L"a"), true, 10, 1, {}},
        {"unusable blocks only", unusable, false, 10, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CPrinterInfoList list;
        EXPECT_EQ(ParseDeviceInfoXml(c.text, list, c.filtered ? &served : nullptr, c.most), c.usable);
        EXPECT_EQ(NickNames(list), c.appended);
    }
}

// A file of many printers of other models with the served ones after them: the served ones are
// listed, however far in they are, and no file lists more than the bound.
TEST(ParseDeviceInfoXml, OneFileAddsAtMostTheBound) {
    const CFirmUpdateInfo served(340, 41852, L"Zentil-640");
    std::wstring others;
    for (int i = 0; i < 2 * kMostRegisteredPrinters; ++i) others += Block(L"Zentil-1640", L"other");
    const std::wstring text = Block(L"Zentil-640", L"first") + others + Block(L"Zentil-640", L"last");
    CPrinterInfoList list;
    EXPECT_EQ(ParseDeviceInfoXml(text, list, &served), 2 * kMostRegisteredPrinters + 2);
    EXPECT_EQ(NickNames(list), (std::vector<std::wstring>{L"first", L"last"}));

    std::wstring many;
    for (int i = 0; i <= kMostRegisteredPrinters; ++i) many += Block(L"Zentil-640", std::to_wstring(i));
    CPrinterInfoList bounded;
    EXPECT_EQ(ParseDeviceInfoXml(many, bounded), kMostRegisteredPrinters);
    ASSERT_EQ(bounded.GetSize(), static_cast<std::size_t>(kMostRegisteredPrinters));
    EXPECT_EQ(bounded[kMostRegisteredPrinters - 1].m_strNickName, std::to_wstring(kMostRegisteredPrinters - 1));
}

struct Utf8Case {
    const char* name;
    std::string bytes;
    std::u16string text;
};

TEST(Utf8FileText, DecodesToUtf16) {
    using namespace std::string_literals;
    const Utf8Case cases[] = {
        {"ASCII", "<a>", u"<a>"},
        {"byte-order mark skipped", "\xEF\xBB\xBF<a>", u"<a>"},
        {"byte-order mark alone", "\xEF\xBB\xBF", u""},
        {"byte-order mark only at the start", "a\xEF\xBB\xBF", u"a\uFEFF"},
        {"two, three and four bytes", "\xC3\xA9\xE3\x83\x97\xF0\x9F\x96\xA8", u"\u00E9\u30D7\U0001F5A8"},
        {"zero byte ends the text", "ab\0cd"s, u"ab"},
        {"zero byte inside a sequence", "a\xE3\x83\0\x97"s, u"a\uFFFD"},
        {"stray continuation", "\x80x", u"\uFFFDx"},
        {"bytes never in UTF-8", "\xC0\xC1\xF5\xFF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"overlong", "\xC0\xAF\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"highest character", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"cut sequence is one replacement", "\xE3\x83<\xF0\x9F\x96", u"\uFFFD<\uFFFD"},
        {"cut byte-order mark", "\xEF\xBB", u"\uFFFD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Utf8FileText(c.bytes), Units(c.text));
    }
}

// The text of bytes fed in pieces is that of the whole, wherever a piece ends: inside a byte-order
// mark, a character of two, three or four bytes, a malformed sequence or a run of them, and
// before or after a zero byte.
TEST(Utf8Decoder, PiecesDecodeAsTheWholeFile) {
    using namespace std::string_literals;
    const std::string inputs[] = {
        "\xEF\xBB\xBF<a>\xC3\xA9\xE3\x83\x97\xF0\x9F\x96\xA8</a>",
        "\xEF\xBB\xBF\xEF\xBB\xBFx",
        "\xEF\xBB",
        "\xEF\xBB<",
        "a\xE3\x83<\xF0\x9F\x96\x80\x80\xC0\xAF\xE0\x80\xAF\xED\xA0\x80\xF4\x90\x80\x80\xF4\x8F\xBF\xBF",
        "\xF0\x9F\x96",
        "x\xE3\x83\0\x97y"s,
        "\0\xEF\xBB\xBF"s,
        "\xC2\xC2\xA9\xFF\xE3\xE3\x83\x97",
    };
    for (const std::string& bytes : inputs) {
        SCOPED_TRACE(::testing::Message() << "bytes: " << ::testing::PrintToString(bytes));
        const std::wstring whole = Utf8FileText(bytes);
        for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
            for (std::size_t second = cut; second <= bytes.size(); ++second) {
                std::wstring text;
                Utf8Decoder decoder(text);
                const std::string_view all(bytes);
                decoder.Feed(all.substr(0, cut));
                decoder.Feed(all.substr(cut, second - cut));
                decoder.Feed(all.substr(second));
                decoder.Finish();
                EXPECT_EQ(text, whole) << "pieces end at " << cut << " and " << second;
            }
        }
        std::wstring text;
        Utf8Decoder decoder(text);
        for (const char byte : bytes) decoder.Feed(std::string_view(&byte, 1));
        decoder.Finish();
        EXPECT_EQ(text, whole) << "a byte at a time";
    }
}

TEST(Utf8Decoder, AZeroByteEndsTheText) {
    std::wstring text;
    Utf8Decoder decoder(text);
    EXPECT_TRUE(decoder.Feed("a\xE3\x83"));
    EXPECT_FALSE(decoder.Feed(std::string_view("\0b", 2)));
    EXPECT_FALSE(decoder.Feed("c"));
    decoder.Finish();
    EXPECT_EQ(text, Units(u"a\uFFFD"));
}

TEST(ParseDeviceInfoXml, RegisteredFileReadsTheSameWithAndWithoutByteOrderMark) {
    const std::string plain = ReadFixture("registered.xml");
    const std::string marked = ReadFixture("registered_bom.xml");
    ASSERT_EQ(marked.substr(0, 3), "\xEF\xBB\xBF");
    const std::wstring text = Utf8FileText(plain);
    EXPECT_EQ(Utf8FileText(marked), text);
    EXPECT_EQ(text.substr(0, 5), L"<?xml");

    for (const std::string* bytes : {&plain, &marked}) {
        CPrinterInfoList list;
        EXPECT_EQ(ParseDeviceInfoXml(Utf8FileText(*bytes), list), 3);
        ExpectRecords(list, {
                                {kNet, L"Zentil-640", L"設計室のプロッタ", L"", 0xC0A80114, L"ZS0001"},
                                {kUsb, L"Zentil-320", L"受付 USB", L"USB001", 0, L"ZS0002"},
                                {kNet, L"Zentil-640", L"倉庫 A&amp;B", L"", 0xC0A801C8, L""},
                            });
    }
}

// Filtering while reading lists what filtering the whole list afterwards listed, with the same
// result, for the models served and for none.
TEST(ParseDeviceInfoXml, TheRegisteredFileFilteredWhileReadAsWhenFilteredAfterwards) {
    const std::wstring text = Utf8FileText(ReadFixture("registered.xml"));
    for (const wchar_t* served : {L"Zentil-640", L"Zentil-320,Zentil-640", L"Zentil-540"}) {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(served)));
        const CFirmUpdateInfo models(340, 41852, served);
        CPrinterInfoList before;
        const int read = ParseDeviceInfoXml(text, before);
        before.RemoveIf([&](const CPrinterInfo& p) { return !models.IsSupportedModel(p.m_strModel, true); });
        CPrinterInfoList now;
        EXPECT_EQ(ParseDeviceInfoXml(text, now, &models), read);
        ASSERT_EQ(now.GetSize(), before.GetSize());
        for (std::size_t i = 0; i < now.GetSize(); ++i) {
            EXPECT_EQ(now[i].m_strNickName, before[i].m_strNickName);
            EXPECT_EQ(now[i].m_strSerialNum, before[i].m_strSerialNum);
            EXPECT_EQ(now[i].m_nPortType, before[i].m_nPortType);
            EXPECT_EQ(now[i].m_dwIPAddress, before[i].m_dwIPAddress);
            EXPECT_EQ(now[i].m_strUSBPortName, before[i].m_strUSBPortName);
        }
    }
}

}  // namespace

namespace {

// The list drops what it is told to in one pass, and the printers it keeps stay in file order.
TEST(PrinterInfoList, RemoveIfKeepsTheOthersInTheirOrder) {
    CPrinterInfoList list;
    const wchar_t* models[] = {L"Zentil-640", L"Other-1", L"Other-2", L"Zentil-540", L"Other-3", L"Zentil-640"};
    std::uint32_t address = 1;
    for (const wchar_t* model : models) list.Add(std::make_unique<CPrinterInfo>(model, address++, L"", L"", L""));
    EXPECT_EQ(list.RemoveIf([](const CPrinterInfo& p) { return p.m_strModel.starts_with(L"Other"); }), 3u);
    ASSERT_EQ(list.GetSize(), 3u);
    EXPECT_EQ(list[0].m_dwIPAddress, 1u);
    EXPECT_EQ(list[1].m_dwIPAddress, 4u);
    EXPECT_EQ(list[2].m_dwIPAddress, 6u);
    EXPECT_EQ(list.RemoveIf([](const CPrinterInfo&) { return false; }), 0u);
    EXPECT_EQ(list.GetSize(), 3u);
}

}  // namespace
