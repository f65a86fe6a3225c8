// Test support: a small DNS message decoder of its own, written apart from the simulator's
// encoder so that the tests check its answers against RFC 1035 rather than against itself. It
// never reads past the datagram, stops following a name at a pointer that leads past the end or
// back into a loop, and reports every such problem instead of failing.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace simtest {

struct DnsQuestion {
    std::string name;
    std::uint16_t type = 0;
    std::uint16_t klass = 0;
};

struct DnsRecord {
    std::string name;
    std::uint16_t type = 0;
    std::uint16_t klass = 0;  // with the cache-flush bit
    std::uint32_t ttl = 0;
    std::size_t dataOffset = 0;
    std::size_t dataLength = 0;
    std::string target;             // PTR, SRV
    std::uint16_t priority = 0, weight = 0, port = 0;  // SRV
    std::vector<std::string> texts; // TXT
    std::string address;            // A, dotted
};

struct DnsMessage {
    std::uint16_t id = 0;
    std::uint16_t flags = 0;
    std::vector<DnsQuestion> questions;
    std::vector<DnsRecord> answers, authority, additional;
    std::vector<std::string> problems;  // empty for a sound message
    std::size_t compressionPointers = 0;
};

DnsMessage DecodeDns(std::span<const std::uint8_t> datagram);

// The question the installer sends: PTR for the service, class IN with the unicast-response bit.
std::vector<std::uint8_t> ServiceQuery(std::uint16_t id, std::uint16_t type = 12, std::uint16_t klass = 0x8001,
                                       const std::string& name = "_pdl-datastream._tcp.local");

std::string Hex(std::span<const std::uint8_t> bytes);

}  // namespace simtest
