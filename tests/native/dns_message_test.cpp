// The DNS message codec of the mDNS search: names and compression pointers, the records stepped
// over by type, the service texts and flag, and messages that lie about their own length.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/DnsMessage.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A small builder for messages, so the cases below read as DNS rather than hex.

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes U16(unsigned v) { return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}; }

// The labels of a dotted name without the final zero, to be ended by a pointer.
Bytes Labels(std::string_view dotted) {
    Bytes out;
    while (!dotted.empty()) {
        const std::string_view label = dotted.substr(0, dotted.find('.'));
        out.push_back(static_cast<std::uint8_t>(label.size()));
        out.insert(out.end(), label.begin(), label.end());
        dotted.remove_prefix(std::min(dotted.size(), label.size() + 1));
    }
    return out;
}

Bytes Name(std::string_view dotted) { return Cat({Labels(dotted), {0}}); }

Bytes Pointer(std::size_t offset) {
    return {static_cast<std::uint8_t>(0xC0 | offset >> 8), static_cast<std::uint8_t>(offset)};
}

Bytes Header(unsigned questions, unsigned answers, unsigned authority, unsigned additional) {
    return Cat({U16(0), U16(0x8400), U16(questions), U16(answers), U16(authority), U16(additional)});
}

constexpr unsigned kA = 1, kPtr = 12, kTxt = 16, kAaaa = 28, kSrv = 33, kNsec = 47;

Bytes Question(const Bytes& name) { return Cat({name, U16(kPtr), U16(0x8001)}); }

// A record whose RDLENGTH is the data's length unless `dataLength` says otherwise.
Bytes Record(const Bytes& owner, unsigned type, const Bytes& data, std::optional<unsigned> dataLength = {}) {
    return Cat({owner, U16(type), U16(0x8001), U16(0), U16(120),
                U16(dataLength.value_or(static_cast<unsigned>(data.size()))), data});
}

Bytes Srv(const Bytes& target) { return Cat({U16(0), U16(0), U16(9100), target}); }

Bytes Txt(std::initializer_list<std::string_view> strings) {
    Bytes out;
    for (std::string_view s : strings) {
        out.push_back(static_cast<std::uint8_t>(s.size()));
        out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}

Bytes Filler(std::size_t n, std::uint8_t value = 0xAB) { return Bytes(n, value); }

Bytes Prefix(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

// `count` labels of 63 bytes, dotted.
std::string LongLabels(std::size_t count) {
    std::string out(63, 'x');
    for (std::size_t i = 1; i < count; ++i) out += "." + std::string(63, 'x');
    return out;
}

// Label bytes become the characters of the same code points.
std::wstring W(std::string_view bytes) {
    std::wstring out;
    for (char c : bytes) out += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return out;
}

const std::string kInstance = "Corvane Zentil-640 (A1B2C3)";
const std::string kService = dns::kPrinterService;
const std::string kOwner = kInstance + "." + kService;
const std::wstring kText = L"Corvane_Zentil-640_(A1B2C3) ZT640.local";
const Bytes kPrinterSrv = Record(Name(kOwner), kSrv, Srv(Name("ZT640.local")));
const Bytes kIppSrv = Record(Name("Printer._ipp._tcp.local"), kSrv, Srv(Name("host.local")));

// Decodes the first `n` bytes from a block of exactly that size, so AddressSanitizer sees any read
// past them.
dns::DecodeResult Parse(const Bytes& message, std::size_t n) {
    const std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[n]);
    std::copy_n(message.begin(), n, exact.get());
    return dns::ParseMessage(exact.get(), n);
}

dns::DecodeResult Parse(const Bytes& message) { return Parse(message, message.size()); }

std::optional<dns::Name> Read(const Bytes& message, std::size_t pos) {
    const std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[message.size()]);
    std::copy(message.begin(), message.end(), exact.get());
    return dns::ReadName(exact.get(), message.size(), pos);
}

TEST(DnsReadName, FollowsPointersAndGoesOnAfterTheFirst) {
    Bytes m = Name("local");
    const std::size_t tcp = m.size();
    m = Cat({m, Labels("_tcp"), Pointer(0)});
    const std::size_t service = m.size();
    m = Cat({m, Labels("_pdl-datastream"), Pointer(tcp)});
    const std::size_t instance = m.size();
    m = Cat({m, Labels(kInstance), Pointer(service)});
    const std::size_t pointerToPointer = m.size();
    m = Cat({m, Pointer(instance)});
    const std::size_t root = m.size();
    m = Cat({m, {0}});
    const std::size_t pointerToRoot = m.size();
    m = Cat({m, Pointer(root), Name("Caf\xE9.\x80\xFF")});
    const std::size_t latin1 = pointerToRoot + 2;

    const struct {
        std::size_t pos;
        std::wstring text;
        std::size_t next;
    } cases[] = {
        {0, L"local", 7},
        {tcp, L"_tcp.local", service},
        {instance, W(kOwner), instance + kInstance.size() + 3},
        {pointerToPointer, W(kOwner), pointerToPointer + 2},
        {root, L"", root + 1},
        {pointerToRoot, L"", pointerToRoot + 2},
        {latin1, L"Caf\u00E9.\u0080\u00FF", m.size()},
    };
    for (const auto& c : cases) {
        const std::optional<dns::Name> name = Read(m, c.pos);
        ASSERT_TRUE(name) << c.pos;
        EXPECT_EQ(name->text, c.text) << c.pos;
        EXPECT_EQ(name->next, c.next) << c.pos;
    }
}

TEST(DnsReadName, NeverReadsPastTheMessage) {
    // A name whose own bytes run out gives nothing; past its first pointer the text just ends.
    const struct {
        const char* what;
        Bytes message;
        std::optional<std::wstring> text;
        std::size_t next;
    } cases[] = {
        {"nothing at the position", {}, std::nullopt, 0},
        {"label past the end", {5, 'a', 'b'}, std::nullopt, 0},
        {"no final zero", {1, 'a'}, std::nullopt, 0},
        {"pointer cut in half", {1, 'a', 0xC0}, std::nullopt, 0},
        {"label past the end after a capped text", Cat({Labels(LongLabels(5)), {9}}), std::nullopt, 0},
        {"pointer past the end", {1, 'a', 0xC0, 0x40}, L"a", 4},
        {"pointer at the end", {1, 'a', 0xC0, 0x04}, L"a", 4},
        {"largest pointer", {1, 'a', 0xFF, 0xFF}, L"a", 4},
        {"pointer at itself", {0xC0, 0x00}, L"", 2},
        {"pointers at each other", {0xC0, 0x02, 0xC0, 0x00}, L"", 2},
        {"pointer to a label past the end", {1, 'a', 0xC0, 0x04, 3, 'b'}, L"a", 4},
        {"pointer to a name without final zero", {1, 'a', 0xC0, 0x04, 1, 'b'}, L"a.b", 4},
        {"pointer to a pointer cut in half", {1, 'a', 0xC0, 0x04, 0xC0}, L"a", 4},
    };
    for (const auto& c : cases) {
        const std::optional<dns::Name> name = Read(c.message, 0);
        ASSERT_EQ(name.has_value(), c.text.has_value()) << c.what;
        if (!name) continue;
        EXPECT_EQ(name->text, *c.text) << c.what;
        EXPECT_EQ(name->next, c.next) << c.what;
    }

    // A loop through a label ends by the count of jumps or by the octet cap, whichever comes first.
    std::wstring looped = L"a";
    while (looped.size() + 2 <= 253) looped += L".a";
    for (const std::size_t padding : {0, 1000}) {
        const std::optional<dns::Name> name = Read(Cat({{1, 'a', 0xC0, 0x00}, Filler(padding)}), 0);
        ASSERT_TRUE(name) << padding;
        EXPECT_EQ(name->next, 4u) << padding;
        EXPECT_EQ(name->text, looped.substr(0, padding == 0 ? name->text.size() : looped.size())) << padding;
    }
}

TEST(DnsReadName, AssemblesAtMost255Octets) {
    const std::string kept = LongLabels(3);
    const std::string fits = kept + "." + std::string(61, 'y');  // 255 octets
    const std::string over = kept + "." + std::string(62, 'y');  // 256
    const std::string huge = LongLabels(22) + "." + kService;    // 1436, far past the cap

    const Bytes viaPointer = Cat({Name(std::string(62, 'y')), Labels(kept), Pointer(0)});
    const Bytes hugeThenPointer = Cat({Name("local"), Labels(huge), Pointer(0)});
    const struct {
        const char* what;
        Bytes message;
        std::size_t pos;
        std::string text;
        std::size_t next;
    } cases[] = {
        {"exactly 255", Name(fits), 0, fits, 255},
        {"256: the last label left out", Name(over), 0, kept, 256},
        {"past the cap through a pointer", viaPointer, 64, kept, viaPointer.size()},
        {"huge name: stepped over whole", Name(huge), 0, kept, huge.size() + 2},
        {"huge name ending in a pointer", hugeThenPointer, 7, kept, hugeThenPointer.size()},
    };
    for (const auto& c : cases) {
        const std::optional<dns::Name> name = Read(c.message, c.pos);
        ASSERT_TRUE(name) << c.what;
        EXPECT_EQ(name->text, W(c.text)) << c.what;
        EXPECT_EQ(name->next, c.next) << c.what;
    }
}

TEST(DnsMessage, ServiceTextOfAnSrvRecord) {
    const struct {
        std::string owner;
        std::string target;
        std::wstring text;
        bool serviceSeen;
    } cases[] = {
        {kOwner, "ZT640.local", kText, true},
        {"Printer._ipp._tcp.local", "host.local", L"Printer._ipp._tcp.local", false},
        {kService, "host.local", W(kService), true},
        {"x" + kService, "host.local", W("x" + kService), true},
        {"A." + kService, "host.local", L"A host.local", true},
        {"Two  spaces ." + kService, "h", L"Two__spaces_ h", true},
        {"x." + kService + ".again." + kService, "h", W("x h"), true},
        {"Caf\xE9 (Z)." + kService, "h\xFF", L"Caf\u00E9_(Z) h\u00FF", true},
    };
    for (const auto& c : cases) {
        const dns::DecodeResult r = Parse(Cat({Header(0, 1, 0, 0), Record(Name(c.owner), kSrv, Srv(Name(c.target)))}));
        EXPECT_EQ(r.serviceTexts, std::vector<std::wstring>{c.text}) << c.owner;
        EXPECT_EQ(r.serviceSeen, c.serviceSeen) << c.owner;
    }
}

TEST(DnsMessage, FlagComesFromAnyRecordSectionButNotFromQuestions) {
    const Bytes ptr = Record(Name(kService), kPtr, Name(kOwner));
    const Bytes other = Record(Name("host.local"), kA, {192, 168, 0, 5});
    const struct {
        const char* what;
        Bytes message;
        bool serviceSeen;
    } cases[] = {
        {"PTR answer alone", Cat({Header(0, 1, 0, 0), ptr}), true},
        {"authority", Cat({Header(0, 1, 1, 0), other, ptr}), true},
        {"additional", Cat({Header(0, 1, 0, 1), other, ptr}), true},
        {"any type", Cat({Header(0, 1, 0, 0), Record(Name(kOwner), kNsec, Filler(5))}), true},
        {"question only", Cat({Header(1, 1, 0, 0), Question(Name(kService)), other}), false},
        {"only the target names it", Cat({Header(0, 1, 0, 0), Record(Name("x.local"), kPtr, Name(kOwner))}), false},
        {"no records", Header(0, 0, 0, 0), false},
    };
    for (const auto& c : cases) {
        const dns::DecodeResult r = Parse(c.message);
        EXPECT_EQ(r.serviceSeen, c.serviceSeen) << c.what;
        EXPECT_TRUE(r.serviceTexts.empty()) << c.what;
    }
}

// A record of each kind stands before the printer's SRV; the SRV is found only when the record
// before it was stepped over by exactly the right amount.
TEST(DnsMessage, StepsOverEachRecordByItsType) {
    const Bytes address = {192, 168, 0, 5};
    const struct {
        const char* what;
        Bytes record;
    } cases[] = {
        {"A", Record(Name("h.local"), kA, address)},
        {"A claiming 7 bytes", Record(Name("h.local"), kA, address, 7)},
        {"A claiming none", Record(Name("h.local"), kA, address, 0)},
        {"AAAA", Record(Name("h.local"), kAaaa, Filler(16))},
        {"PTR claiming none", Record(Name("h.local"), kPtr, Name("x.local"), 0)},
        {"PTR claiming 200", Record(Name("h.local"), kPtr, Name("x.local"), 200)},
        {"TXT", Record(Name("h.local"), kTxt, Txt({"txtvers=1", "", "ty=Zentil"}))},
        {"TXT empty", Record(Name("h.local"), kTxt, {}, 0)},
        {"TXT string longer than its RDLENGTH", Record(Name("h.local"), kTxt, Txt({"hello"}), 2)},
        {"SRV claiming none", Record(Name("h.local"), kSrv, Srv(Name("x.local")), 0)},
        {"type 47", Record(Name("h.local"), kNsec, Filler(9))},
        {"type 47 empty", Record(Name("h.local"), kNsec, {})},
        {"type 65535", Record(Name("h.local"), 0xFFFF, Filler(3, 0xC0))},
    };
    for (const auto& c : cases) {
        const dns::DecodeResult r = Parse(Cat({Header(0, 1, 0, 1), c.record, kPrinterSrv}));
        ASSERT_FALSE(r.serviceTexts.empty()) << c.what;
        EXPECT_EQ(r.serviceTexts.back(), kText) << c.what;
        EXPECT_TRUE(r.serviceSeen) << c.what;
    }
}

// An answer as a printer sends it: a question echoed, names compressed, two instances.
struct Answer {
    Bytes message;
    std::size_t firstPtrEnd = 0;
    std::size_t firstSrvEnd = 0;
    std::size_t secondSrvEnd = 0;
};

Answer CompressedAnswer() {
    Answer a;
    Bytes& m = a.message;
    m = Cat({Header(1, 2, 0, 6), Question(Name(kService))});
    const std::size_t service = 12, local = 12 + 16 + 5;
    const std::size_t firstInstance = m.size() + 12;
    m = Cat({m, Record(Pointer(service), kPtr, Cat({Labels(kInstance), Pointer(service)}))});
    a.firstPtrEnd = m.size();
    const std::size_t secondInstance = m.size() + 12;
    m = Cat({m, Record(Pointer(service), kPtr, Cat({Labels("Corvane Zentil-1640 (D4E5F6)"), Pointer(service)}))});
    const std::size_t host = m.size() + 18;
    m = Cat({m, Record(Pointer(firstInstance), kSrv, Srv(Cat({Labels("ZT640"), Pointer(local)})))});
    a.firstSrvEnd = m.size();
    m = Cat({m, Record(Pointer(firstInstance), kTxt, Txt({"txtvers=1", "ty=Corvane Zentil-640", "note=Raum 2"}))});
    m = Cat({m, Record(Pointer(host), kA, {192, 168, 0, 5})});
    m = Cat({m, Record(Pointer(host), kAaaa, Filler(16, 0xFE))});
    m = Cat({m, Record(Pointer(secondInstance), kSrv, Srv(Cat({Labels("ZT1640"), Pointer(local)})))});
    a.secondSrvEnd = m.size();
    m = Cat({m, Record(Pointer(secondInstance), kNsec, Cat({Pointer(secondInstance), {0, 5, 0, 0, 0x80, 0, 0x40}}))});
    return a;
}

TEST(DnsMessage, DecodesACompressedAnswer) {
    const Answer a = CompressedAnswer();
    const dns::DecodeResult r = Parse(a.message);
    EXPECT_TRUE(r.serviceSeen);
    EXPECT_EQ(r.serviceTexts,
              (std::vector<std::wstring>{kText, L"Corvane_Zentil-1640_(D4E5F6) ZT1640.local"}));
}

TEST(DnsMessage, EveryCutOfAnAnswerKeepsItsCompleteRecords) {
    const Answer a = CompressedAnswer();
    const std::vector<std::wstring> full = Parse(a.message).serviceTexts;
    for (std::size_t n = 0; n <= a.message.size(); ++n) {
        const dns::DecodeResult r = Parse(a.message, n);
        const std::size_t texts = n >= a.secondSrvEnd ? 2 : n >= a.firstSrvEnd ? 1 : 0;
        EXPECT_EQ(r.serviceTexts, std::vector<std::wstring>(full.begin(), full.begin() + texts)) << n;
        EXPECT_EQ(r.serviceSeen, n >= a.firstPtrEnd) << n;
    }
}

// A printer's answer with a long TXT record, as the simulator sends it with mdns_txt_pad: PTR,
// SRV, TXT and A, 1994 bytes in all. Winsock hands a receiver whose buffer takes 1472 bytes the
// first 1472 of them; the PTR and SRV records lie wholly inside, the TXT record runs past.
struct LongAnswer {
    Bytes message;
    std::size_t srvEnd = 0;
    std::size_t txtStart = 0;
};

LongAnswer LongTxtAnswer() {
    LongAnswer a;
    Bytes& m = a.message;
    m = Header(0, 1, 0, 3);
    const std::size_t service = m.size();
    const std::size_t instance = m.size() + kService.size() + 2 + 10;
    m = Cat({m, Record(Name(kService), kPtr, Cat({Labels(kInstance), Pointer(service)}))});
    const std::size_t host = m.size() + 2 + 10 + 6;
    m = Cat({m, Record(Pointer(instance), kSrv, Srv(Cat({Labels("ZT640"), Pointer(service + 16 + 5)})))});
    a.srvEnd = m.size();
    a.txtStart = m.size();
    Bytes txt = Txt({"txtvers=1", "ty=Corvane Zentil-640", "product=(Zentil-640)", "usb_MFG=Corvane",
                     "usb_MDL=Zentil-640"});
    const std::size_t fixed = m.size() + 2 + 10 + 2 + 10 + 4;  // TXT's owner and fields, then A whole
    // Strings of 250 bytes, the last one shorter, until the answer is 1994 bytes long.
    while (fixed + txt.size() < 1994) {
        const std::size_t length = std::min<std::size_t>(250, 1994 - fixed - txt.size() - 1);
        txt.push_back(static_cast<std::uint8_t>(length));
        txt.insert(txt.end(), length, 'x');
    }
    m = Cat({m, Record(Pointer(instance), kTxt, txt)});
    m = Cat({m, Record(Pointer(host), kA, {10, 1, 1, 20})});
    return a;
}

TEST(DnsMessage, ALongAnswerCutAt1472StillNamesThePrinter) {
    const LongAnswer a = LongTxtAnswer();
    ASSERT_EQ(a.message.size(), 1994u);
    ASSERT_LT(a.srvEnd, dns::kLargestDatagram);
    ASSERT_GT(a.message.size(), dns::kLargestDatagram);

    // Given all of it, the decoder looks at no more than the receiver's buffer would have held.
    const dns::DecodeResult whole = Parse(a.message);
    EXPECT_EQ(whole.serviceTexts, std::vector<std::wstring>{kText});
    EXPECT_TRUE(whole.serviceSeen);
    // The receiver's cut, and every other one from the end of the SRV record on: the TXT record's
    // owner, its fixed fields, a string's length byte or its text may be where the bytes stop.
    for (std::size_t n = a.srvEnd; n <= a.message.size(); ++n) {
        const dns::DecodeResult cut = Parse(a.message, n);
        ASSERT_EQ(cut.serviceTexts, std::vector<std::wstring>{kText}) << n;
        ASSERT_TRUE(cut.serviceSeen) << n;
    }
    // Cut inside the SRV record, the printer is seen but not named.
    const dns::DecodeResult inSrv = Parse(a.message, a.srvEnd - 1);
    EXPECT_TRUE(inSrv.serviceTexts.empty());
    EXPECT_TRUE(inSrv.serviceSeen);
}

TEST(DnsMessage, AMessageThatRunsOutKeepsWhatCameBefore) {
    // Records owned by the printer's service that do not fit; placed after an SRV that does not
    // set the flag, so a cut-off record that counted would show.
    const Bytes owner = Name(kOwner);
    const Bytes noFixedFields = Cat({owner, U16(kNsec), U16(1)});
    const Bytes dataPastEnd = Record(owner, kNsec, Filler(3), 100);
    const Bytes txtPastEnd = Record(owner, kTxt, {20, 'a', 'b'});
    const Bytes shortA = Record(owner, kA, {192, 168}, 4);
    const Bytes srvCut = Prefix(kPrinterSrv, kPrinterSrv.size() - 3);
    const Bytes ptrPastEnd = Cat({Record(owner, kPtr, Labels("x")), {0x3F, 'y'}});
    const Bytes ownerPastEnd = {0x3F, 'a', 'b'};

    // Sized so that the printer's SRV ends on the last byte looked at, or one byte after it.
    const auto paddedTo = [](std::size_t end) {
        const std::size_t fixed = 12 + Name("pad.local").size() + 10;
        return Cat({Header(0, 1, 0, 1), Record(Name("pad.local"), kNsec, Filler(end - fixed - kPrinterSrv.size())),
                    kPrinterSrv, Filler(100)});
    };
    const std::size_t selfAt = 12 + kIppSrv.size();

    const std::vector<std::wstring> ipp = {L"Printer._ipp._tcp.local"};
    const std::vector<std::wstring> none;
    const struct {
        const char* what;
        Bytes message;
        std::vector<std::wstring> texts;
        bool serviceSeen;
    } cases[] = {
        {"shorter than a header", Prefix(Header(0, 1, 0, 0), 11), none, false},
        {"counts beyond the data", Cat({Header(0, 0xFFFF, 0xFFFF, 0xFFFF), kPrinterSrv}), {kText}, true},
        {"question count beyond the data", Cat({Header(0xFFFF, 1, 0, 0), Question(Name(kService)), kPrinterSrv}),
         none, false},
        {"question cut in its fixed fields", Cat({Header(1, 0, 0, 0), Name(kService), {0}}), none, false},
        {"owner past the end", Cat({Header(0, 2, 0, 0), kIppSrv, ownerPastEnd}), ipp, false},
        {"fixed fields cut", Cat({Header(0, 2, 0, 0), kIppSrv, noFixedFields}), ipp, false},
        {"RDLENGTH past the end", Cat({Header(0, 2, 0, 0), kIppSrv, dataPastEnd}), ipp, false},
        {"TXT length past the end", Cat({Header(0, 2, 0, 0), kIppSrv, txtPastEnd}), ipp, false},
        {"A with 2 of its 4 bytes", Cat({Header(0, 2, 0, 0), kIppSrv, shortA}), ipp, false},
        {"PTR target past the end", Cat({Header(0, 2, 0, 0), kIppSrv, ptrPastEnd}), ipp, false},
        {"SRV target cut", Cat({Header(0, 2, 0, 0), kIppSrv, srvCut}), ipp, false},
        {"owner in a pointer loop", Cat({Header(0, 3, 0, 0), kIppSrv, Record(Pointer(selfAt), kNsec, {}), kPrinterSrv}),
         {ipp[0], kText}, true},
        {"SRV target pointing past the end",
         Cat({Header(0, 1, 0, 0), Record(owner, kSrv, Srv(Cat({Labels("ZT640"), Pointer(0x3FFF)})))}),
         {L"Corvane_Zentil-640_(A1B2C3) ZT640"}, true},
        {"owner longer than 255 octets",
         Cat({Header(0, 2, 0, 0), Record(Name(LongLabels(5) + "." + kService), kNsec, {}), kIppSrv}), ipp,
         false},
        {"SRV ending on byte 1472", paddedTo(1472), {kText}, true},
        {"SRV ending on byte 1473", paddedTo(1473), none, false},
    };
    for (const auto& c : cases) {
        const dns::DecodeResult r = Parse(c.message);
        EXPECT_EQ(r.serviceTexts, c.texts) << c.what;
        EXPECT_EQ(r.serviceSeen, c.serviceSeen) << c.what;
    }
}

}  // namespace
