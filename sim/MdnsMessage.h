// The DNS messages of the printer's mDNS responder: reading a query far enough to know whether
// it asks for the raw-printing service, and writing the answer (PTR, then SRV, TXT and A as
// additional records, with name compression), in one datagram or split over three, or the
// deliberately broken answer of the "malformed" fault.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

inline constexpr char kMdnsService[] = "_pdl-datastream._tcp.local";
inline constexpr char kMdnsGroup[] = "224.0.0.251";

constexpr std::uint16_t kDnsTypeA = 1;
constexpr std::uint16_t kDnsTypePtr = 12;
constexpr std::uint16_t kDnsTypeTxt = 16;
constexpr std::uint16_t kDnsTypeSrv = 33;
constexpr std::uint16_t kDnsTypeAny = 255;

// True when the datagram is a DNS response (QR bit set); everything else counts as a query.
bool IsDnsResponse(std::span<const std::uint8_t> datagram);

// What a query asks of this responder.
struct MdnsQuestion {
    std::uint16_t id = 0;
    std::uint16_t type = kDnsTypePtr;  // PTR or ANY, as asked
    bool unicastResponse = false;      // the top bit of the question's class
};

// The first question of a standard query that asks PTR or ANY (class IN or ANY) for the
// service, names compared case-insensitively; nothing for a response, another opcode, a
// message without such a question, or one that breaks off before it.
std::optional<MdnsQuestion> FindServiceQuestion(std::span<const std::uint8_t> datagram);

// What the printer announces.
struct MdnsRecords {
    std::string instance;               // "<instance>" of "<instance>._pdl-datastream._tcp.local"
    std::string host;                   // "<host>" of "<host>.local"
    std::uint16_t port = 9100;
    std::vector<std::string> txt;       // "key=value" strings
    std::uint8_t address[4] = {};       // the printer's IPv4 address
};

// How an answer goes out: multicast answers carry ID 0; a unicast answer carries the query's
// ID, and one to a querier not on the mDNS port ("legacy") also repeats the question, has short
// TTLs and no cache-flush bits.
struct MdnsReplyForm {
    std::uint16_t id = 0;
    bool legacy = false;
    std::uint16_t questionType = kDnsTypePtr;
};

std::vector<std::uint8_t> BuildMdnsAnswer(const MdnsRecords& records, const MdnsReplyForm& form);

// The same records in three datagrams, each a whole DNS response of the same form: the PTR answer
// alone, then SRV and TXT, then A, as additional records.
std::vector<std::vector<std::uint8_t>> BuildSplitMdnsAnswer(const MdnsRecords& records, const MdnsReplyForm& form);

// TXT strings "p01=xxx...", "p02=..." that take `bytes` bytes of record data, length bytes
// included, each string at most 255 bytes long; 5 bytes when `bytes` is 1 to 4, none for 0.
std::vector<std::string> MdnsTxtPadding(int bytes);

// The same PTR answer, then as additional records: a TXT record whose owner name is a label
// followed by a pointer back to that label (a cycle), an SRV record whose RDLENGTH reaches past
// the end of the datagram and whose target is a pointer past its end, and a sound A record.
std::vector<std::uint8_t> BuildMalformedMdnsAnswer(const MdnsRecords& records, const MdnsReplyForm& form);

}  // namespace sim
