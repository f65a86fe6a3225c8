// Decoding the DNS messages that answer the mDNS search: which service texts a datagram carries
// and whether it speaks of the printers' service at all.
//
// Anything on the local network may answer, so nothing here trusts the message: no byte past the
// received ones is read whatever a count, length or pointer says, and a message is never rejected.
// A message that runs out keeps what its complete entries gave; the first entry that does not fit
// in the received bytes ends the walk and gives nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dns {

inline constexpr std::size_t kLargestDatagram = 1472;
inline constexpr char kPrinterService[] = "_pdl-datastream._tcp.local";

// The longest name in wire form (length bytes, label bytes and the final zero) that is assembled.
inline constexpr std::size_t kMaxNameOctets = 255;

// What one datagram says.
struct DecodeResult {
    // Some answer, authority or additional record is owned by a name containing kPrinterService.
    bool serviceSeen = false;
    // One service text per SRV record, in record order over the three record sections.
    std::vector<std::wstring> serviceTexts;
};

// Decodes the `size` received bytes of `datagram` (at most kLargestDatagram are looked at).
DecodeResult ParseMessage(const std::uint8_t* datagram, std::size_t size);

// A name read out of a message.
struct Name {
    // Labels joined by '.', each byte one character (bytes 0x80-0xFF as the same code points).
    std::wstring text;
    // Where the message goes on: just after the first compression pointer when there is one,
    // else just after the final zero byte.
    std::size_t next = 0;
};

// Reads the name at `pos` of the `size`-byte `message`, following compression pointers.
// Nothing when the name's own bytes at `pos` (up to its final zero or first pointer) run past the
// message. Past the first pointer, the text just ends where it can go no further: at a pointer to
// or past the end, after more jumps than the message has bytes (a loop), at a label that runs
// past the end, or before the label that would take it over kMaxNameOctets; `next` stays valid.
std::optional<Name> ReadName(const std::uint8_t* message, std::size_t size, std::size_t pos);

}  // namespace dns
