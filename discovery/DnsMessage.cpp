// DNS message decoding for the mDNS search: questions are stepped over, records are stepped over
// by their type, and only SRV records give texts.
#include "discovery/DnsMessage.h"

#include <algorithm>
#include <iterator>

namespace dns {

namespace {

constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kQuestionFixed = 4;   // QTYPE, QCLASS
constexpr std::size_t kRecordFixed = 10;    // TYPE, CLASS, TTL, RDLENGTH
constexpr std::size_t kSrvFixed = 6;        // priority, weight, port
constexpr std::size_t kAddressSize = 4;

constexpr std::uint16_t kTypeA = 1;
constexpr std::uint16_t kTypePtr = 12;
constexpr std::uint16_t kTypeTxt = 16;
constexpr std::uint16_t kTypeSrv = 33;

// The received part of a datagram.
struct Message {
    const std::uint8_t* data;
    std::size_t size;

    // Whether the `count` bytes from `pos` were all received.
    bool Holds(std::size_t pos, std::size_t count) const { return pos <= size && count <= size - pos; }
    std::uint16_t U16(std::size_t pos) const {
        return static_cast<std::uint16_t>(data[pos] << 8 | data[pos + 1]);
    }
};

const std::wstring& PrinterService() {
    static const std::wstring service(std::begin(kPrinterService), std::end(kPrinterService) - 1);
    return service;
}

// Discovery keys its candidates on "instance host", so the instance label loses its spaces.
std::wstring ServiceText(const std::wstring& owner, const std::wstring& target) {
    const std::size_t at = owner.find(PrinterService());
    if (at == std::wstring::npos || at < 2) return owner;
    std::wstring text = owner.substr(0, at - 1);  // without the '.' before the service name
    std::replace(text.begin(), text.end(), L' ', L'_');
    text += L' ';
    text += target;
    return text;
}

// TXT data is walked string by string rather than skipped by RDLENGTH: a string that starts inside
// the data is read whole, wherever it ends.
std::optional<std::size_t> SkipStrings(const Message& m, std::size_t pos, std::size_t limit) {
    while (pos < limit) {
        if (!m.Holds(pos, 1) || !m.Holds(pos + 1, m.data[pos])) return std::nullopt;
        pos += 1 + m.data[pos];
    }
    return pos;
}

std::optional<std::size_t> SkipQuestion(const Message& m, std::size_t pos) {
    const std::optional<Name> name = ReadName(m.data, m.size, pos);
    if (!name || !m.Holds(name->next, kQuestionFixed)) return std::nullopt;
    return name->next + kQuestionFixed;
}

// One record: the position after it, or nothing when it does not fit in the received bytes. Only a
// record that fits counts, for the flag as for its text, so a cut-off record never half-counts.
std::optional<std::size_t> ParseRecord(const Message& m, std::size_t pos, DecodeResult& result) {
    const std::optional<Name> owner = ReadName(m.data, m.size, pos);
    if (!owner || !m.Holds(owner->next, kRecordFixed)) return std::nullopt;
    const std::uint16_t type = m.U16(owner->next);
    const std::uint16_t dataLength = m.U16(owner->next + 8);
    const std::size_t data = owner->next + kRecordFixed;

    std::optional<std::size_t> end;
    std::optional<Name> target;
    switch (type) {
    case kTypeA:  // an IPv4 address is 4 bytes, whatever RDLENGTH claims
        if (m.Holds(data, kAddressSize)) end = data + kAddressSize;
        break;
    case kTypePtr:
        if ((target = ReadName(m.data, m.size, data))) end = target->next;
        break;
    case kTypeTxt:
        end = SkipStrings(m, data, data + dataLength);
        break;
    case kTypeSrv:
        if (m.Holds(data, kSrvFixed) && (target = ReadName(m.data, m.size, data + kSrvFixed))) end = target->next;
        break;
    default:
        if (m.Holds(data, dataLength)) end = data + dataLength;
        break;
    }
    if (!end) return std::nullopt;

    if (owner->text.find(PrinterService()) != std::wstring::npos) result.serviceSeen = true;
    if (type == kTypeSrv) result.serviceTexts.push_back(ServiceText(owner->text, target->text));
    return end;
}

}  // namespace

std::optional<Name> ReadName(const std::uint8_t* message, std::size_t size, std::size_t pos) {
    Name name;
    std::optional<std::size_t> resume;  // set at the first pointer
    std::size_t octets = 1;             // the final zero
    std::size_t jumps = 0;
    for (;;) {
        // Running out before the first pointer means the name itself was cut off; after it, only
        // the text is affected.
        if (pos >= size) {
            if (!resume) return std::nullopt;
            break;
        }
        const std::uint8_t length = message[pos++];
        if (length == 0) break;
        if ((length & 0xC0) == 0xC0) {
            if (pos >= size) {
                if (!resume) return std::nullopt;
                break;
            }
            const std::size_t offset = static_cast<std::size_t>(length & 0x3F) << 8 | message[pos++];
            if (!resume) resume = pos;
            // Each pointer may lead anywhere, so only a count of jumps is sure to stop a loop. Once
            // the text is capped, nothing past the first pointer matters any more.
            if (octets > kMaxNameOctets || ++jumps > size) break;
            pos = offset;
            continue;
        }
        if (length > size - pos) {
            if (!resume) return std::nullopt;
            break;
        }
        // Past the cap the labels are still stepped over, to find where the message goes on.
        octets += 1 + length;
        if (octets <= kMaxNameOctets) {
            if (!name.text.empty()) name.text += L'.';
            for (std::size_t i = 0; i < length; ++i) name.text += static_cast<wchar_t>(message[pos + i]);
        }
        pos += length;
    }
    name.next = resume.value_or(pos);
    return name;
}

DecodeResult ParseMessage(const std::uint8_t* datagram, std::size_t size) {
    DecodeResult result;
    const Message m{datagram, std::min(size, kLargestDatagram)};
    if (m.size < kHeaderSize) return result;

    // The counts are taken at face value; every entry takes at least one received byte, so a
    // count beyond the data only runs the walk into the end of the message.
    const std::size_t questions = m.U16(4);
    const std::size_t records = std::size_t{m.U16(6)} + m.U16(8) + m.U16(10);
    std::size_t pos = kHeaderSize;
    for (std::size_t i = 0; i < questions; ++i) {
        const std::optional<std::size_t> next = SkipQuestion(m, pos);
        if (!next) return result;
        pos = *next;
    }
    for (std::size_t i = 0; i < records; ++i) {
        const std::optional<std::size_t> next = ParseRecord(m, pos, result);
        if (!next) return result;
        pos = *next;
    }
    return result;
}

}  // namespace dns
