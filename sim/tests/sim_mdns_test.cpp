// The mDNS responder: its names and query reading without sockets, then the program over
// loopback with unicast queries to a printer's own address, on 5353 or a port of the test's
// choosing (answers come back to the asker and nothing is multicast): the records of the
// answer, the ID and unicast rules, the name settings, the faults, a second sender, the record
// of the queries received, answers split over datagrams and padded, and a querier ignored.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include <gtest/gtest.h>

#include "sim/MdnsMessage.h"
#include "sim/Settings.h"
#include "sim/tests/DnsDecode.h"
#include "sim/tests/SimProcess.h"

namespace {

using simtest::DecodeDns;
using simtest::DnsMessage;
using simtest::DnsRecord;
using simtest::PrinterAddress;
using simtest::ServiceQuery;
using simtest::SimProcess;

constexpr char kService[] = "_pdl-datastream._tcp.local";
constexpr int kMdnsPort = 5353;
// Tests that count the queries a printer received run on this port instead, where no querier of
// the machine's own (an installer test sending multicast on lo) can add to the count.
constexpr int kTestPort = 15353;
constexpr int kQuietMs = 300;  // how long "no (further) answer" is waited for

struct Datagram {
    std::string from;
    int port = 0;
    std::vector<std::uint8_t> bytes;
};

// A querier on its own loopback address; port 0 takes any free port.
class Querier {
public:
    Querier(const std::string& address, int port) : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        const int one = 1;
        setsockopt(m_fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(m_fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) m_fd.Reset();
    }
    bool Valid() const { return m_fd.Valid(); }

    bool Send(const std::string& address, int port, const std::vector<std::uint8_t>& datagram) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        return sendto(m_fd.Get(), datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) ==
               static_cast<ssize_t>(datagram.size());
    }

    // Waits (guarded) for `expected` datagrams, then `kQuietMs` for any more; all it got.
    std::vector<Datagram> Receive(std::size_t expected) {
        std::vector<Datagram> got;
        while (true) {
            pollfd p{m_fd.Get(), POLLIN, 0};
            if (poll(&p, 1, got.size() < expected ? simtest::kGuardMs : kQuietMs) != 1) return got;
            std::uint8_t buffer[16384];  // the longest answer, padded by 9000, and then some
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(m_fd.Get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 0) return got;
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
            got.push_back({text, ntohs(from.sin_port), std::vector<std::uint8_t>(buffer, buffer + n)});
        }
    }

    // One query, one answer expected (guarded): it and anything after it.
    std::vector<Datagram> Ask(const std::string& printer, const std::vector<std::uint8_t>& query, int port = kTestPort,
                              std::size_t expected = 1) {
        if (!Send(printer, port, query)) return {};
        return Receive(expected);
    }

private:
    sim::Fd m_fd;
};

const DnsRecord* Find(const std::vector<DnsRecord>& records, std::uint16_t type) {
    for (const DnsRecord& r : records) {
        if (r.type == type) return &r;
    }
    return nullptr;
}

std::string InstanceOf(const DnsMessage& m) {
    if (m.answers.empty()) return {};
    const std::string& target = m.answers[0].target;
    const std::string suffix = std::string(".") + kService;
    if (target.size() <= suffix.size() || target.compare(target.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return "?" + target;
    }
    return target.substr(0, target.size() - suffix.size());
}

std::string HostOf(const DnsMessage& m) {
    const DnsRecord* srv = Find(m.additional, 33);
    return srv ? srv->target : std::string();
}

TEST(SimMdnsNames, DefaultsFollowModelAndSerialSettingsOverride) {
    struct Case {
        std::vector<std::pair<const char*, std::string>> settings;
        std::string instance;
        std::string host;
    };
    const Case cases[] = {
        {{}, "Corvane Zentil-640 (ZT640-000001)", "ZT640000001"},
        {{{"model", "Zentil-1640"}, {"serial", "AB-12/34 x"}}, "Corvane Zentil-1640 (AB-12/34 x)", "AB1234x"},
        {{{"serial", "--//--"}}, "Corvane Zentil-640 (--//--)", "printer"},
        {{{"mdns_name", "Acme_Corvane_Zentil-640_[A1B2C3]"}, {"mdns_host", "ZT640"}}, "Acme_Corvane_Zentil-640_[A1B2C3]", "ZT640"},
        {{{"mdns_name", "x"}, {"mdns_name", ""}, {"mdns_host", ""}}, "Corvane Zentil-640 (ZT640-000001)", "ZT640000001"},
        // a default name that would not fit a label is cut to 63 bytes, the closing bracket kept
        {{{"model", std::string(60, 'M')}}, "Corvane " + std::string(54, 'M') + ")", "ZT640000001"},
    };
    for (const Case& c : cases) {
        sim::PrinterSettings settings;
        for (const auto& [key, value] : c.settings) ASSERT_EQ(sim::ApplySetting(settings, key, value), "") << key;
        EXPECT_EQ(sim::MdnsInstanceName(settings), c.instance);
        EXPECT_EQ(sim::MdnsHostName(settings), c.host);
    }
}

TEST(SimMdnsQuery, FindsTheServiceQuestionOnly) {
    using Bytes = std::vector<std::uint8_t>;
    Bytes response = ServiceQuery(1);
    response[2] = 0x84;
    Bytes notify = ServiceQuery(1);
    notify[2] = 0x20;  // opcode 4
    // Two questions: first another service, then ours written as "_pdl-datastream" and a pointer
    // to the "_tcp.local" of the first.
    Bytes two = ServiceQuery(9, 12, 1, "_ipp._tcp.local");
    two[5] = 2;
    const Bytes ours = {15, '_', 'p', 'd', 'l', '-', 'd', 'a', 't', 'a', 's', 't', 'r', 'e', 'a', 'm', 0xC0, 17, 0, 255, 0x80, 1};
    two.insert(two.end(), ours.begin(), ours.end());
    // A question name that points at itself.
    const Bytes loop = {0, 7, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xC0, 12, 0, 12, 0, 1};
    Bytes cut = ServiceQuery(1);
    cut.resize(cut.size() - 1);
    Bytes header = ServiceQuery(1);
    header.resize(12);

    struct Case {
        const char* what;
        Bytes datagram;
        bool found;
        std::uint16_t type;
        bool unicast;
    };
    const Case cases[] = {
        {"the installer's query", ServiceQuery(0x1234), true, 12, true},
        {"without the unicast bit", ServiceQuery(7, 12, 1), true, 12, false},
        {"ANY, class ANY", ServiceQuery(7, 255, 255), true, 255, false},
        {"name in upper case", ServiceQuery(7, 12, 0x8001, "_PDL-DataStream._TCP.Local"), true, 12, true},
        {"second question, compressed", two, true, 255, true},
        {"another service", ServiceQuery(7, 12, 1, "_ipp._tcp.local"), false, 0, false},
        {"a longer name", ServiceQuery(7, 12, 1, "x._pdl-datastream._tcp.local"), false, 0, false},
        {"type A", ServiceQuery(7, 1, 1), false, 0, false},
        {"class CHAOS", ServiceQuery(7, 12, 3), false, 0, false},
        {"a response", response, false, 0, false},
        {"another opcode", notify, false, 0, false},
        {"pointer loop", loop, false, 0, false},
        {"cut short", cut, false, 0, false},
        {"header only", header, false, 0, false},
    };
    for (const Case& c : cases) {
        const auto q = sim::FindServiceQuestion(c.datagram);
        ASSERT_EQ(q.has_value(), c.found) << c.what;
        if (!q) continue;
        EXPECT_EQ(q->type, c.type) << c.what;
        EXPECT_EQ(q->unicastResponse, c.unicast) << c.what;
        EXPECT_EQ(q->id, static_cast<std::uint16_t>(c.datagram[0] << 8 | c.datagram[1])) << c.what;
    }
}

TEST(SimMdnsTxtPadding, TakesTheBytesAskedForInStringsThatFit) {
    for (const int bytes : {0, 1, 4, 5, 6, 255, 256, 257, 260, 261, 512, 1800, 9000}) {
        const std::vector<std::string> strings = sim::MdnsTxtPadding(bytes);
        std::size_t taken = 0;
        for (std::size_t i = 0; i < strings.size(); ++i) {
            const std::string& s = strings[i];
            EXPECT_LE(s.size(), 255u) << bytes;
            char key[8];
            std::snprintf(key, sizeof key, "p%02zu=", i + 1);
            EXPECT_EQ(s.substr(0, 4), key) << bytes;
            EXPECT_EQ(s.find_first_not_of('x', 4), std::string::npos) << bytes;
            taken += 1 + s.size();
        }
        EXPECT_EQ(taken, bytes == 0 ? 0u : std::max<std::size_t>(5, static_cast<std::size_t>(bytes))) << bytes;
    }
}

// The installer's query from the mDNS port with the unicast bit: the answer comes from the
// printer's address and the mDNS port with the query's ID, and its records say who the printer is.
TEST(SimMdnsResponder, AnswerRecordsDecodeAsAnnounced) {
    const std::string printer = PrinterAddress(0);
    SimProcess sim({"--printer", printer, "--mdns-port", std::to_string(kTestPort)});
    ASSERT_TRUE(sim.Started());
    Querier installer(PrinterAddress(2), kTestPort);
    ASSERT_TRUE(installer.Valid());

    const std::vector<std::uint8_t> query = ServiceQuery(0xA1B2);
    ASSERT_EQ(query.size(), 44u);
    const std::vector<Datagram> got = installer.Ask(printer, query);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].from, printer);
    EXPECT_EQ(got[0].port, kTestPort);

    const DnsMessage m = DecodeDns(got[0].bytes);
    EXPECT_TRUE(m.problems.empty()) << m.problems[0];
    EXPECT_EQ(m.id, 0xA1B2);
    EXPECT_EQ(m.flags, 0x8400);
    EXPECT_TRUE(m.questions.empty());
    ASSERT_EQ(m.answers.size(), 1u);
    EXPECT_TRUE(m.authority.empty());
    ASSERT_EQ(m.additional.size(), 3u);

    const DnsRecord& ptr = m.answers[0];
    EXPECT_EQ(ptr.name, kService);
    EXPECT_EQ(ptr.type, 12);
    EXPECT_EQ(ptr.klass, 1);  // shared: no cache-flush bit
    EXPECT_EQ(ptr.target, std::string("Corvane Zentil-640 (ZT640-000001).") + kService);

    const DnsRecord* srv = Find(m.additional, 33);
    const DnsRecord* txt = Find(m.additional, 16);
    const DnsRecord* a = Find(m.additional, 1);
    ASSERT_TRUE(srv && txt && a);
    EXPECT_EQ(srv->name, ptr.target);
    EXPECT_EQ(srv->priority, 0);
    EXPECT_EQ(srv->weight, 0);
    EXPECT_EQ(srv->port, 9100);
    EXPECT_EQ(srv->target, "ZT640000001.local");
    EXPECT_EQ(txt->name, ptr.target);
    for (const char* text : {"ty=Corvane Zentil-640", "product=(Zentil-640)", "usb_MDL=Zentil-640"}) {
        EXPECT_NE(std::find(txt->texts.begin(), txt->texts.end(), text), txt->texts.end()) << text;
    }
    EXPECT_EQ(a->name, "ZT640000001.local");
    EXPECT_EQ(a->address, printer);
    for (const DnsRecord* r : {srv, txt, a}) EXPECT_EQ(r->klass, 0x8001) << r->type;  // cache flush, IN
    EXPECT_EQ(srv->ttl, 120u);
    EXPECT_EQ(ptr.ttl, 4500u);
    // Every name after the first is compressed: the PTR target, SRV owner and target, TXT owner,
    // A owner each end in a pointer.
    EXPECT_GE(m.compressionPointers, 5u);
    EXPECT_LT(got[0].bytes.size(), 260u);

    // What the printer received, byte for byte; "clear" forgets it.
    EXPECT_EQ(sim.Show(printer, "mdns_queries"), "1");
    EXPECT_EQ(sim.Show(printer, "mdns_last_query"), simtest::Hex(query));
    const std::vector<std::uint8_t> other = ServiceQuery(0x0102, 12, 1, "_ipp._tcp.local");
    EXPECT_TRUE(installer.Ask(printer, other, kTestPort, 0).empty());  // not ours: no answer, but recorded
    EXPECT_TRUE(sim.WaitFor(printer, "mdns_queries", "2"));  // no answer tells when it was
    EXPECT_EQ(sim.Show(printer, "mdns_last_query"), simtest::Hex(other));
    sim.Control("clear " + printer);
    EXPECT_EQ(sim.Show(printer, "mdns_queries"), "0");
    EXPECT_EQ(sim.Show(printer, "mdns_last_query"), "");
}

// Answers go back to the asker with its ID: it asked for a unicast answer, or it asked from
// another port than the mDNS port (then the question is repeated and the TTLs are short).
// Queries for other names or types get no answer. This test runs on an mDNS port of its own.
TEST(SimMdnsResponder, IdAndUnicastRules) {
    const std::string printer = PrinterAddress(0);
    const int port = kTestPort;
    SimProcess sim({"--printer", printer, "--mdns-port", std::to_string(port)});
    ASSERT_TRUE(sim.Started());
    Querier onMdnsPort(PrinterAddress(2), port);
    Querier onOtherPort(PrinterAddress(2), 0);
    ASSERT_TRUE(onMdnsPort.Valid() && onOtherPort.Valid());

    struct Case {
        const char* what;
        Querier& querier;
        std::vector<std::uint8_t> query;
        bool answered;
        bool legacy;
    };
    const Case cases[] = {
        {"unicast bit, mDNS port", onMdnsPort, ServiceQuery(0x1001), true, false},
        {"ANY, unicast bit", onMdnsPort, ServiceQuery(0x1002, 255), true, false},
        {"upper case, unicast bit", onMdnsPort, ServiceQuery(0x1003, 12, 0x8001, "_PDL-DATASTREAM._TCP.LOCAL"), true, false},
        {"other port, no unicast bit", onOtherPort, ServiceQuery(0x1004, 12, 1), true, true},
        {"other port, unicast bit", onOtherPort, ServiceQuery(0x1005), true, true},
        {"other service", onMdnsPort, ServiceQuery(0x1006, 12, 0x8001, "_ipp._tcp.local"), false, false},
        {"type SRV", onOtherPort, ServiceQuery(0x1007, 33, 1), false, false},
    };
    int queries = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<Datagram> got = c.querier.Ask(printer, c.query, port, c.answered ? 1 : 0);
        EXPECT_TRUE(sim.WaitFor(printer, "mdns_queries", std::to_string(++queries)));
        ASSERT_EQ(got.size(), c.answered ? 1u : 0u);
        if (!c.answered) continue;
        EXPECT_EQ(got[0].port, port);
        const DnsMessage m = DecodeDns(got[0].bytes);
        EXPECT_TRUE(m.problems.empty());
        EXPECT_EQ(m.id, static_cast<std::uint16_t>(c.query[0] << 8 | c.query[1]));
        EXPECT_EQ(m.flags, 0x8400);
        ASSERT_EQ(m.questions.size(), c.legacy ? 1u : 0u);
        if (c.legacy) {
            EXPECT_EQ(m.questions[0].name, kService);
            EXPECT_EQ(m.questions[0].klass, 1);
        }
        ASSERT_EQ(m.answers.size(), 1u);
        EXPECT_EQ(InstanceOf(m), "Corvane Zentil-640 (ZT640-000001)");
        const DnsRecord* a = Find(m.additional, 1);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->ttl, c.legacy ? 10u : 120u);
        EXPECT_EQ(a->klass, c.legacy ? 1 : 0x8001);
    }
    // Nothing listens on 5353 of the printer's address then.
    Querier other(PrinterAddress(2), 0);
    EXPECT_TRUE(other.Ask(printer, ServiceQuery(0x1008), kMdnsPort, 0).empty());
}

// On the default port.
TEST(SimMdnsResponder, NameSettingsFromTheCommandLineAndAtRunTime) {
    const std::string first = PrinterAddress(0), second = PrinterAddress(1);
    SimProcess sim({"--printer", first + ",mdns_name=Corvane_Zentil-640_[A1B2C3],mdns_host=ZT640",
                    "--printer", second + ",model=Zentil-1640,serial=ZT1640-000456"});
    ASSERT_TRUE(sim.Started());
    Querier installer(PrinterAddress(2), kMdnsPort);
    ASSERT_TRUE(installer.Valid());
    auto ask = [&](const std::string& printer) {
        const std::vector<Datagram> got = installer.Ask(printer, ServiceQuery(1), kMdnsPort);
        return got.size() == 1 ? DecodeDns(got[0].bytes) : DnsMessage{};
    };

    struct Expected {
        std::string printer, instance, host, ty;
    };
    const Expected before[] = {
        {first, "Corvane_Zentil-640_[A1B2C3]", "ZT640.local", "ty=Corvane Zentil-640"},
        {second, "Corvane Zentil-1640 (ZT1640-000456)", "ZT1640000456.local", "ty=Corvane Zentil-1640"},
    };
    for (const Expected& e : before) {
        const DnsMessage m = ask(e.printer);
        EXPECT_EQ(InstanceOf(m), e.instance);
        EXPECT_EQ(HostOf(m), e.host);
        const DnsRecord* txt = Find(m.additional, 16);
        ASSERT_TRUE(txt);
        EXPECT_NE(std::find(txt->texts.begin(), txt->texts.end(), e.ty), txt->texts.end());
        const DnsRecord* a = Find(m.additional, 1);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->name, e.host);
        EXPECT_EQ(a->address, e.printer);
    }

    sim.Control("set " + first + " mdns_name Acme Corvane Zentil-640 (Z9)");
    sim.Control("set " + first + " mdns_host printer-one");
    sim.Control("set " + second + " model Zentil-1640S");
    EXPECT_EQ(InstanceOf(ask(first)), "Acme Corvane Zentil-640 (Z9)");
    EXPECT_EQ(HostOf(ask(first)), "printer-one.local");
    EXPECT_EQ(InstanceOf(ask(second)), "Corvane Zentil-1640S (ZT1640-000456)");
}

TEST(SimMdnsResponder, Faults) {
    const std::string printer = PrinterAddress(0);
    SimProcess sim({"--printer", printer, "--mdns-port", std::to_string(kTestPort)});
    ASSERT_TRUE(sim.Started());
    Querier installer(PrinterAddress(2), kTestPort);
    ASSERT_TRUE(installer.Valid());
    const std::vector<std::uint8_t> query = ServiceQuery(0x0BAD);

    // silent: nothing comes, though the query is recorded.
    sim.Control("set " + printer + " mdns_fault silent");
    EXPECT_TRUE(installer.Ask(printer, query, kTestPort, 0).empty());
    EXPECT_TRUE(sim.WaitFor(printer, "mdns_queries", "1"));

    // twice: two identical datagrams, both sound.
    sim.Control("set " + printer + " mdns_fault twice");
    const std::vector<Datagram> twice = installer.Ask(printer, query, kTestPort, 2);
    ASSERT_EQ(twice.size(), 2u);
    EXPECT_EQ(twice[0].bytes, twice[1].bytes);
    EXPECT_EQ(twice[0].from, twice[1].from);
    EXPECT_EQ(twice[0].port, twice[1].port);
    EXPECT_TRUE(DecodeDns(twice[0].bytes).problems.empty());

    // malformed: the PTR answer is sound; then a record whose owner name loops, and an SRV record
    // whose data and target reach past the end of the datagram.
    sim.Control("set " + printer + " mdns_fault malformed");
    const std::vector<Datagram> bad = installer.Ask(printer, query);
    ASSERT_EQ(bad.size(), 1u);
    const std::vector<std::uint8_t>& bytes = bad[0].bytes;
    const DnsMessage m = DecodeDns(bytes);
    EXPECT_EQ(m.id, 0x0BAD);
    ASSERT_EQ(m.answers.size(), 1u);
    EXPECT_EQ(InstanceOf(m), "Corvane Zentil-640 (ZT640-000001)");
    ASSERT_EQ(m.additional.size(), 2u);  // decoding stops in the SRV record
    EXPECT_EQ(m.additional[0].name, "loop");
    EXPECT_EQ(m.additional[0].type, 16);
    const DnsRecord& srv = m.additional[1];
    EXPECT_EQ(srv.type, 33);
    EXPECT_EQ(srv.name, InstanceOf(m) + "." + kService);
    EXPECT_GT(srv.dataOffset + srv.dataLength, bytes.size());
    auto has = [&](const std::string& start) {
        return std::any_of(m.problems.begin(), m.problems.end(),
                           [&](const std::string& p) { return p.rfind(start, 0) == 0; });
    };
    EXPECT_TRUE(has("pointer loop"));
    EXPECT_TRUE(has("record data past the end"));
    EXPECT_TRUE(has("pointer past the end"));
    // The SRV target is a pointer, its last two bytes before the A record; it leads past the end.
    const std::size_t target = srv.dataOffset + 6;
    ASSERT_LT(target + 1, bytes.size());
    EXPECT_EQ(bytes[target] & 0xC0, 0xC0);
    EXPECT_GE(static_cast<std::size_t>((bytes[target] & 0x3F) << 8 | bytes[target + 1]), bytes.size());

    sim.Control("set " + printer + " mdns_fault none");
    const std::vector<Datagram> good = installer.Ask(printer, query);
    ASSERT_EQ(good.size(), 1u);
    EXPECT_TRUE(DecodeDns(good[0].bytes).problems.empty());
}

// mdns_also_from: the same answer once more from another address of the simulator (here the
// second printer's), as when one printer is heard on two adapters.
TEST(SimMdnsResponder, AlsoFromASecondAddress) {
    const std::string first = PrinterAddress(0), second = PrinterAddress(1);
    SimProcess sim({"--printer", first + ",mdns_also_from=" + second, "--printer", second, "--mdns-port",
                    std::to_string(kTestPort)});
    ASSERT_TRUE(sim.Started());
    Querier installer(PrinterAddress(2), kTestPort);
    ASSERT_TRUE(installer.Valid());

    std::vector<Datagram> got = installer.Ask(first, ServiceQuery(0x2222), kTestPort, 2);
    ASSERT_EQ(got.size(), 2u);
    if (got[0].from != first) std::swap(got[0], got[1]);  // the order they arrive in is not fixed
    EXPECT_EQ(got[0].from, first);
    EXPECT_EQ(got[1].from, second);
    EXPECT_EQ(got[1].port, kTestPort);
    EXPECT_EQ(got[0].bytes, got[1].bytes);
    EXPECT_EQ(Find(DecodeDns(got[1].bytes).additional, 1)->address, first);  // still the first printer's record
    EXPECT_EQ(sim.Show(second, "mdns_queries"), "0");

    // The second printer answers for itself alone; "none" ends the second sender.
    EXPECT_EQ(installer.Ask(second, ServiceQuery(0x3333)).size(), 1u);
    sim.Control("set " + first + " mdns_also_from none");
    EXPECT_EQ(installer.Ask(first, ServiceQuery(0x4444)).size(), 1u);
}

const char* TypeName(std::uint16_t type) {
    switch (type) {
        case 1: return "A";
        case 12: return "PTR";
        case 16: return "TXT";
        case 33: return "SRV";
        default: return "?";
    }
}

// A datagram's sections in short: "Q " for a repeated question, then the answers' types, '/', the
// additional records' types ("PTR/SRV,TXT,A").
std::string Layout(const DnsMessage& m) {
    const auto types = [](const std::vector<DnsRecord>& records) {
        std::string out;
        for (const DnsRecord& r : records) out += (out.empty() ? "" : ",") + std::string(TypeName(r.type));
        return out;
    };
    return (m.questions.empty() ? "" : "Q ") + types(m.answers) + "/" + types(m.additional);
}

// mdns_split and mdns_txt_pad change how the answer is cut into datagrams and how long it is,
// never what it says: each datagram is a sound response of its own with the query's ID, and
// together they hold the records of the whole answer.
TEST(SimMdnsResponder, SplitAndPaddedAnswers) {
    const std::string printer = PrinterAddress(0);
    SimProcess sim({"--printer", printer, "--mdns-port", std::to_string(kTestPort)});
    ASSERT_TRUE(sim.Started());
    Querier installer(PrinterAddress(2), kTestPort);
    Querier legacy(PrinterAddress(2), 0);
    ASSERT_TRUE(installer.Valid() && legacy.Valid());

    const std::vector<Datagram> plain = installer.Ask(printer, ServiceQuery(0x5000));
    ASSERT_EQ(plain.size(), 1u);
    const std::size_t base = plain[0].bytes.size();
    // The padding that makes the whole answer 1994 bytes, too long for the installer's buffer.
    const int toLong = static_cast<int>(1994 - base);

    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> settings;
        bool legacyQuerier;
        std::vector<std::string> layouts;
        int pad;
    };
    const Case cases[] = {
        {"whole", {}, false, {"PTR/SRV,TXT,A"}, 0},
        {"split", {{"mdns_split", "on"}}, false, {"PTR/", "/SRV,TXT", "/A"}, 0},
        {"split, legacy querier", {{"mdns_split", "on"}}, true, {"Q PTR/", "Q /SRV,TXT", "Q /A"}, 0},
        {"split, twice", {{"mdns_split", "on"}, {"mdns_fault", "twice"}}, false,
         {"PTR/", "PTR/", "/SRV,TXT", "/SRV,TXT", "/A", "/A"}, 0},
        {"padded by 3", {{"mdns_txt_pad", "3"}}, false, {"PTR/SRV,TXT,A"}, 5},
        {"padded by 300", {{"mdns_txt_pad", "300"}}, false, {"PTR/SRV,TXT,A"}, 300},
        {"padded to 1994 bytes", {{"mdns_txt_pad", std::to_string(toLong)}}, false, {"PTR/SRV,TXT,A"}, toLong},
        {"padded and split", {{"mdns_txt_pad", "9000"}, {"mdns_split", "on"}}, false, {"PTR/", "/SRV,TXT", "/A"}, 9000},
    };
    std::uint16_t id = 0x5100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::pair<const char*, const char*> defaults[] = {{"mdns_split", "off"}, {"mdns_fault", "none"},
                                                                  {"mdns_txt_pad", "0"}};
        for (const auto& [key, value] : defaults) sim.Control("set " + printer + " " + key + " " + value);
        for (const auto& [key, value] : c.settings) sim.Control("set " + printer + " " + key + " " + value);
        ++id;
        const std::vector<Datagram> got =
            (c.legacyQuerier ? legacy : installer).Ask(printer, ServiceQuery(id), kTestPort, c.layouts.size());
        ASSERT_EQ(got.size(), c.layouts.size());

        std::vector<DnsRecord> records;
        std::string sizes;
        std::size_t total = 0;
        for (std::size_t i = 0; i < got.size(); ++i) {
            const DnsMessage m = DecodeDns(got[i].bytes);
            EXPECT_TRUE(m.problems.empty()) << i;
            EXPECT_EQ(Layout(m), c.layouts[i]) << i;
            EXPECT_EQ(m.id, id);
            EXPECT_EQ(m.flags, 0x8400);
            EXPECT_EQ(got[i].from, printer);
            records.insert(records.end(), m.answers.begin(), m.answers.end());
            records.insert(records.end(), m.additional.begin(), m.additional.end());
            total += got[i].bytes.size();
            if (i == 0 || got[i].bytes != got[i - 1].bytes) sizes += (sizes.empty() ? "" : ",") + std::to_string(got[i].bytes.size());
        }
        // What the printer says it sent, datagram by datagram (each copy of "twice" once).
        EXPECT_EQ(sim.Show(printer, "mdns_last_answer"), sizes);

        const DnsRecord* ptr = Find(records, 12);
        const DnsRecord* srv = Find(records, 33);
        const DnsRecord* txt = Find(records, 16);
        const DnsRecord* a = Find(records, 1);
        ASSERT_TRUE(ptr && srv && txt && a);
        EXPECT_EQ(ptr->target, std::string("Corvane Zentil-640 (ZT640-000001).") + kService);
        EXPECT_EQ(srv->name, ptr->target);
        EXPECT_EQ(srv->target, "ZT640000001.local");
        EXPECT_EQ(a->address, printer);
        ASSERT_GE(txt->texts.size(), 5u);
        EXPECT_EQ(txt->texts[0], "txtvers=1");
        EXPECT_EQ(std::vector<std::string>(txt->texts.begin() + 5, txt->texts.end()), sim::MdnsTxtPadding(c.pad));
        if (c.layouts.size() == 1) EXPECT_EQ(total, base + static_cast<std::size_t>(c.pad));
    }

    // The answer of 1994 bytes holds its PTR and SRV records whole in its first 1472 bytes, and
    // its TXT record reaches past them: a receiver that keeps only those bytes still finds the
    // printer.
    sim.Control("set " + printer + " mdns_split off");
    sim.Control("set " + printer + " mdns_txt_pad " + std::to_string(toLong));
    const std::vector<Datagram> longAnswer = installer.Ask(printer, ServiceQuery(0x5200));
    ASSERT_EQ(longAnswer.size(), 1u);
    ASSERT_EQ(longAnswer[0].bytes.size(), 1994u);
    const DnsMessage m = DecodeDns(longAnswer[0].bytes);
    ASSERT_EQ(m.additional.size(), 3u);
    EXPECT_EQ(m.additional[0].type, 33);
    EXPECT_LE(m.additional[0].dataOffset + m.additional[0].dataLength, 1472u);
    EXPECT_EQ(m.additional[1].type, 16);
    EXPECT_GT(m.additional[1].dataOffset + m.additional[1].dataLength, 1472u);
}

// mdns_ignore_from: a querier the printer cannot reach, as when the PC's adapters are on networks
// of their own. Its queries are recorded and not answered; another querier's are.
TEST(SimMdnsResponder, IgnoresTheQuerierItIsToldTo) {
    const std::string printer = PrinterAddress(0);
    const std::string ignored = PrinterAddress(2), heard = PrinterAddress(3);
    SimProcess sim({"--printer", printer + ",mdns_ignore_from=" + ignored, "--mdns-port", std::to_string(kTestPort)});
    ASSERT_TRUE(sim.Started());
    Querier fromIgnored(ignored, kTestPort);
    Querier fromHeard(heard, kTestPort);
    ASSERT_TRUE(fromIgnored.Valid() && fromHeard.Valid());

    EXPECT_TRUE(fromIgnored.Ask(printer, ServiceQuery(0x6001), kTestPort, 0).empty());
    EXPECT_TRUE(sim.WaitFor(printer, "mdns_queries", "1"));
    EXPECT_EQ(sim.Show(printer, "mdns_last_answer"), "");
    const std::vector<Datagram> got = fromHeard.Ask(printer, ServiceQuery(0x6002));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(DecodeDns(got[0].bytes).id, 0x6002);

    sim.Control("set " + printer + " mdns_ignore_from none");
    EXPECT_EQ(fromIgnored.Ask(printer, ServiceQuery(0x6003)).size(), 1u);
}

}  // namespace
