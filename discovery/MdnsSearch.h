// What the mDNS search decides, apart from its sockets: the query it sends, which datagrams it
// decodes, how the service instances heard are collected and merged, and how they become
// candidate printers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/DnsMessage.h"
#include "discovery/PrinterInfo.h"
#include "common/ModelInfo.h"

inline constexpr std::uint16_t kMdnsPort = 5353;
inline constexpr char kMdnsGroup[] = "224.0.0.251";
inline constexpr std::size_t kMdnsQuerySize = 44;
inline constexpr std::size_t kSocketAddressSize = 16;  // an IPv4 socket address as the system keeps it

using MdnsQuery = std::array<std::uint8_t, kMdnsQuerySize>;
using ReceiveBuffer = std::array<std::uint8_t, dns::kLargestDatagram>;
using SocketAddressBytes = std::array<std::uint8_t, kSocketAddressSize>;

// One service instance heard: its service text (instance label with '_' for spaces, a space, the
// target host) and the dotted address of the datagram's sender.
struct CMDNSService {
    std::wstring m_strText;
    std::wstring m_strSource;
};

// The text up to and including its first space; none when it has no space.
std::optional<std::wstring_view> ServiceKey(const std::wstring& text);

// Keyed add: a service without a key is dropped; one with the key of an entry already there
// replaces it, at the end of the list.
void KeyedAdd(std::vector<CMDNSService>& services, CMDNSService service);

// The PTR query for the printers' service, asking for unicast answers. `id` goes first, least
// significant byte first.
MdnsQuery BuildQuery(std::uint16_t id);

// The last datagram any socket of one search decoded: the sender's socket address and the whole
// receive buffer. Each search keeps its own, so that searches on two threads never pass each
// other's datagrams off as repeats.
struct LastDatagram {
    SocketAddressBytes from{};
    ReceiveBuffer buffer{};
};

// One socket's receiving side: the repeat test, the decoding, the services it collected.
class MdnsReceiver {
public:
    // A datagram of `received` bytes in the zero-filled `buffer`, from `from` (whose dotted address
    // is `source`); one longer than the buffer comes as its first kLargestDatagram bytes, and its
    // complete records count. A copy of the last datagram decoded by any socket of the search
    // (`last`) is not decoded again when it also has this socket's last length. True when decoded.
    bool OnDatagram(const ReceiveBuffer& buffer, int received, const SocketAddressBytes& from,
                    const std::wstring& source, LastDatagram& last);

    const std::vector<CMDNSService>& Services() const { return m_services; }

private:
    int m_nLastLen = 0;
    std::vector<CMDNSService> m_services;
};

// The host-order IPv4 address of dotted text, as inet_addr and ntohl give it: 0xFFFFFFFF when the
// text is not four decimal numbers of at most 255 joined by '.'.
std::uint32_t DottedToHostOrder(std::wstring_view text);

// Turns the merged services into updates of, or additions to, the candidate list: the instance
// label's bracketed serial, the model after "Corvane_", supported models only, matched to the
// list's entries by address, or by serial when the model differs.
void AddCandidates(const std::vector<CMDNSService>& services, CPrinterInfoList& list, const IModelInfo* models);
