// Decoding the DNS messages that answer the mDNS search: which service texts a datagram carries
// and whether it speaks of the printers' service at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dns {

inline constexpr std::size_t kLargestDatagram = 1472;
inline constexpr char kPrinterService[] = "_pdl-datastream._tcp.local";

// What one datagram says.
struct DecodeResult {
    // Some answer, authority or additional record is owned by a name containing kPrinterService.
    bool serviceSeen = false;
    // One service text per SRV record, in record order over the three record sections.
    std::vector<std::wstring> serviceTexts;
};

// Decodes the `size` received bytes of `datagram` (at most kLargestDatagram are looked at).
DecodeResult ParseMessage(const std::uint8_t* datagram, std::size_t size);

}  // namespace dns
