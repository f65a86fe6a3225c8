// The mDNS search's decisions: the query, keyed adds, repeats, what a datagram contributes, and the
// candidates made of the services heard.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "discovery/MdnsSearch.h"
#include "tests/native/fakes/HexBytes.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A DNS message with one SRV answer owned by `instance`._pdl-datastream._tcp.local.
ReceiveBuffer SrvAnswer(const std::string& instance, const std::string& target) {
    Bytes m = {0, 0, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    const auto name = [&](const std::string& dotted) {
        std::size_t start = 0;
        while (start <= dotted.size()) {
            std::size_t dot = dotted.find('.', start);
            // The instance label may hold dots of its own only in this helper's callers' texts,
            // which have none.
            if (dot == std::string::npos) dot = dotted.size();
            m.push_back(static_cast<std::uint8_t>(dot - start));
            m.insert(m.end(), dotted.begin() + static_cast<std::ptrdiff_t>(start),
                     dotted.begin() + static_cast<std::ptrdiff_t>(dot));
            start = dot + 1;
        }
        m.push_back(0);
    };
    name(instance + "._pdl-datastream._tcp.local");
    const Bytes fixed = {0, 33, 0x80, 1, 0, 0, 0, 120};
    m.insert(m.end(), fixed.begin(), fixed.end());
    const std::size_t lengthAt = m.size();
    m.insert(m.end(), {0, 0, 0, 0, 0, 0, 0x23, 0x8C});
    const std::size_t before = m.size();
    name(target);
    const std::size_t rdlength = m.size() - before + 6;
    m[lengthAt] = static_cast<std::uint8_t>(rdlength >> 8);
    m[lengthAt + 1] = static_cast<std::uint8_t>(rdlength);
    ReceiveBuffer buffer{};
    std::copy(m.begin(), m.end(), buffer.begin());
    return buffer;
}

int Length(const ReceiveBuffer& buffer) {
    // The messages built here end with the SRV target's terminating zero.
    int last = static_cast<int>(buffer.size());
    while (last > 0 && buffer[static_cast<std::size_t>(last - 1)] == 0) --last;
    return last + 1;
}

SocketAddressBytes From(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint16_t port = 5353) {
    SocketAddressBytes from{};
    from[0] = 2;  // AF_INET
    from[2] = static_cast<std::uint8_t>(port >> 8);
    from[3] = static_cast<std::uint8_t>(port);
    from[4] = a;
    from[5] = b;
    from[6] = c;
    from[7] = d;
    return from;
}

class Models final : public IModelInfo {
public:
    bool IsSupportedModel(std::wstring_view name, bool suffix) const override {
        return suffix && (name.ends_with(L"Zentil-640") || name.ends_with(L"Zentil-1640"));
    }
};

TEST(MdnsQuery, IsThe44BytePtrQueryAskingForUnicastAnswers) {
    const MdnsQuery query = BuildQuery(0x1234);
    EXPECT_EQ(Bytes(query.begin(), query.end()),
              HexBytes("34 12 00 00 00 01 00 00 00 00 00 00 "
                       "0f 5f 70 64 6c 2d 64 61 74 61 73 74 72 65 61 6d 04 5f 74 63 70 05 6c 6f 63 61 6c 00 "
                       "00 0c 80 01"));
}

TEST(MdnsServices, KeyedAddKeepsTheLatestAnnouncementOfEachInstanceLast) {
    std::vector<CMDNSService> services;
    KeyedAdd(services, {L"A_(1) a.local", L"10.0.0.1"});
    KeyedAdd(services, {L"B_(2) b.local", L"10.0.0.2"});
    KeyedAdd(services, {L"no-space", L"10.0.0.3"});  // no key: dropped
    KeyedAdd(services, {L"A_(1) other.local", L"10.0.0.4"});
    ASSERT_EQ(services.size(), 2u);
    EXPECT_EQ(services[0].m_strText, L"B_(2) b.local");
    EXPECT_EQ(services[1].m_strText, L"A_(1) other.local");
    EXPECT_EQ(services[1].m_strSource, L"10.0.0.4");
}

TEST(MdnsReceiver, ARepeatOfTheLastDecodedDatagramIsNotDecodedAgain) {
    LastDatagram last;
    MdnsReceiver first;
    MdnsReceiver second;
    const ReceiveBuffer answer = SrvAnswer("Corvane Zentil-640 (A1B2C3)", "ZT640.local");
    const ReceiveBuffer other = SrvAnswer("Corvane Zentil-1640 (X9)", "ZT1640.local");
    const int n = Length(answer);

    EXPECT_TRUE(first.OnDatagram(answer, n, From(10, 0, 0, 7), L"10.0.0.7", last));
    EXPECT_FALSE(first.OnDatagram(answer, n, From(10, 0, 0, 7), L"10.0.0.7", last)) << "a repeat";
    EXPECT_TRUE(first.OnDatagram(answer, n, From(10, 0, 0, 8), L"10.0.0.8", last)) << "another sender";
    // The other socket has not decoded a datagram of this length yet: not a repeat for it.
    EXPECT_TRUE(second.OnDatagram(answer, n, From(10, 0, 0, 8), L"10.0.0.8", last));
    EXPECT_TRUE(second.OnDatagram(other, Length(other), From(10, 0, 0, 9), L"10.0.0.9", last));
    EXPECT_TRUE(first.OnDatagram(answer, n, From(10, 0, 0, 8), L"10.0.0.8", last)) << "another was decoded between";
    EXPECT_FALSE(first.OnDatagram(answer, -1, From(10, 0, 0, 8), L"10.0.0.8", last)) << "a failed receive";

    ASSERT_EQ(first.Services().size(), 1u);
    EXPECT_EQ(first.Services()[0].m_strText, L"Corvane_Zentil-640_(A1B2C3) ZT640.local");
    EXPECT_EQ(first.Services()[0].m_strSource, L"10.0.0.8");
    ASSERT_EQ(second.Services().size(), 2u);
    EXPECT_EQ(second.Services()[1].m_strText, L"Corvane_Zentil-1640_(X9) ZT1640.local");
}

TEST(MdnsReceiver, ADatagramWithoutThePrintersServiceContributesNothing) {
    LastDatagram last;
    MdnsReceiver receiver;
    ReceiveBuffer ipp = SrvAnswer("Printer", "host.local");
    // Turn "_pdl-datastream" into "_ipp-datastream" so that no record names the service.
    const auto at = std::search(ipp.begin(), ipp.end(), std::begin("_pdl"), std::begin("_pdl") + 4);
    ASSERT_NE(at, ipp.end());
    std::memcpy(&*at, "_ipp", 4);
    EXPECT_TRUE(receiver.OnDatagram(ipp, Length(ipp), From(10, 0, 0, 7), L"10.0.0.7", last));
    EXPECT_TRUE(receiver.Services().empty());
}

TEST(MdnsAddresses, DottedTextBecomesAHostOrderAddress) {
    EXPECT_EQ(DottedToHostOrder(L"192.168.1.20"), 0xC0A80114u);
    EXPECT_EQ(DottedToHostOrder(L"10.0.0.1"), 0x0A000001u);
    for (const wchar_t* bad : {L"", L"1.2.3", L"1.2.3.4.5", L"256.1.1.1", L"a.b.c.d", L"1..2.3", L"1.2.3.4 "}) {
        EXPECT_EQ(DottedToHostOrder(bad), 0xFFFFFFFFu) << std::wstring(bad).size();
    }
}

std::vector<CMDNSService> One(const wchar_t* text, const wchar_t* source = L"192.168.1.20") {
    return {CMDNSService{text, source}};
}

TEST(MdnsCandidates, ServiceTextsThatNameASupportedPrinter) {
    const struct {
        const wchar_t* text;
        const wchar_t* model;  // null: nothing added
        const wchar_t* serial;
    } cases[] = {
        {L"Corvane_Zentil-640_(A1B2C3) ZT640.local", L"Zentil-640", L"A1B2C3"},
        {L"Corvane_Zentil-640_[A1B2C3] ZT640.local", L"Zentil-640", L"A1B2C3"},
        {L"Acme_Corvane_Zentil-640_(A1B2C3) host.local", L"Zentil-640", L"A1B2C3"},
        {L"Corvane_Zentil-640_(A1B2C3)tail host.local", L"Zentil-640", L"A1B2C3"},
        {L"Corvane_Zentil-640 ZT640.local", nullptr, nullptr},          // no bracket
        {L"(A1B2C3)Corvane_Zentil-640 ZT640.local", nullptr, nullptr},  // bracket first
        {L"Corvane_Zentil-640_(A1B2C3 ZT640.local", nullptr, nullptr},  // not closed
        {L"Acme_Zentil-640_(A1B2C3) ZT640.local", nullptr, nullptr},    // not ours
        {L"corvane_Zentil-640_(A1B2C3) ZT640.local", nullptr, nullptr}, // prefix is case-sensitive
        {L"Corvane_Quillmark-9_(A1B2C3) Q.local", nullptr, nullptr},    // unsupported model
        {L"Corvane_Zentil-640_(A1B2C3)", nullptr, nullptr},             // no space: no label
        {L" Corvane_Zentil-640_(A1B2C3)", nullptr, nullptr},            // empty label
    };
    const Models models;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.text, c.text + std::wcslen(c.text)));
        CPrinterInfoList list;
        AddCandidates(One(c.text), list, &models);
        if (!c.model) {
            EXPECT_EQ(list.GetSize(), 0u);
            continue;
        }
        ASSERT_EQ(list.GetSize(), 1u);
        EXPECT_EQ(list[0].m_nPortType, CPrinterInfo::kNetwork);
        EXPECT_EQ(list[0].m_strModel, c.model);
        EXPECT_EQ(list[0].m_strSerialNum, c.serial);
        EXPECT_EQ(list[0].m_dwIPAddress, 0xC0A80114u);
        EXPECT_EQ(list[0].m_strService, c.text);
        EXPECT_TRUE(list[0].m_strNickName.empty());
    }
}

TEST(MdnsCandidates, RegisteredPrintersAreUpdatedByAddressOrBySerial) {
    const Models models;
    const std::wstring text = L"Corvane_Zentil-640_(A1B2C3) ZT640.local";
    {
        // Same address: updated in place, nick name and port type kept.
        CPrinterInfoList list;
        list.Add(std::make_unique<CPrinterInfo>(L"Corvane Zentil-640", 0xC0A80114u, L"Office", L"", L"OLD"));
        AddCandidates(One(text.c_str()), list, &models);
        ASSERT_EQ(list.GetSize(), 1u);
        EXPECT_EQ(list[0].m_strModel, L"Zentil-640");
        EXPECT_EQ(list[0].m_strSerialNum, L"A1B2C3");
        EXPECT_EQ(list[0].m_strService, text);
        EXPECT_EQ(list[0].m_strNickName, L"Office");
    }
    {
        // Another address, the same serial, a long model name that does not begin the model.
        CPrinterInfoList list;
        list.Add(std::make_unique<CPrinterInfo>(L"Corvane Zentil-640", 0x0A000001u, L"Office", L"", L"A1B2C3"));
        AddCandidates(One(text.c_str()), list, &models);
        ASSERT_EQ(list.GetSize(), 1u);
        EXPECT_EQ(list[0].m_dwIPAddress, 0xC0A80114u);
    }
    {
        // The same serial, but a model name that begins the model: not the same printer.
        CPrinterInfoList list;
        list.Add(std::make_unique<CPrinterInfo>(L"Zentil", 0x0A000001u, L"Office", L"", L"A1B2C3"));
        AddCandidates(One(text.c_str()), list, &models);
        ASSERT_EQ(list.GetSize(), 2u);
        EXPECT_EQ(list[0].m_dwIPAddress, 0x0A000001u);
        EXPECT_EQ(list[1].m_dwIPAddress, 0xC0A80114u);
    }
    {
        // An unsupported model changes nothing, even at a registered address.
        CPrinterInfoList list;
        list.Add(std::make_unique<CPrinterInfo>(L"Zentil-640", 0xC0A80114u, L"Office", L"", L"S"));
        AddCandidates(One(L"Corvane_Quillmark-9_(Q1) q.local"), list, &models);
        ASSERT_EQ(list.GetSize(), 1u);
        EXPECT_EQ(list[0].m_strModel, L"Zentil-640");
        EXPECT_EQ(list[0].m_strSerialNum, L"S");
    }
    {
        // Entries added for earlier services take part for later ones.
        CPrinterInfoList list;
        const std::vector<CMDNSService> services = {{text, L"192.168.1.20"},
                                                     {L"Corvane_Zentil-1640_(Z2) z.local", L"192.168.1.20"}};
        AddCandidates(services, list, &models);
        ASSERT_EQ(list.GetSize(), 1u);
        EXPECT_EQ(list[0].m_strModel, L"Zentil-1640");
    }
}

}  // namespace
