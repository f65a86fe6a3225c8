// SNMP v1 messages in BER: a small strict reader over a byte span and a writer that builds
// elements inside out.
#include "ports/SnmpCodec.h"

#include <charconv>
#include <limits>
#include <utility>

namespace snmp {

namespace {

using Bytes = std::vector<std::uint8_t>;
using Span = std::span<const std::uint8_t>;

constexpr std::size_t kMaxCommunity = 255;
constexpr std::size_t kMaxIntegerOctets = 5;
constexpr std::uint8_t kHighTagNumber = 0x1F;
constexpr std::uint64_t kMaxArc = std::numeric_limits<std::uint32_t>::max();

// ---- Reading ----

struct Element {
    std::uint8_t tag = 0;
    Span content;
};

// Reads consecutive elements from a span; each element must lie wholly inside it.
class Reader {
public:
    explicit Reader(Span bytes) : bytes_(bytes) {}

    bool AtEnd() const { return pos_ == bytes_.size(); }

    // The next element of any single-octet tag.
    std::optional<Element> Next() {
        if (pos_ >= bytes_.size()) return std::nullopt;
        const std::uint8_t tag = bytes_[pos_];
        if ((tag & kHighTagNumber) == kHighTagNumber) return std::nullopt;
        std::size_t p = pos_ + 1;
        if (p >= bytes_.size()) return std::nullopt;
        const std::uint8_t first = bytes_[p++];
        std::size_t length = first;
        if (first & 0x80) {
            const std::size_t octets = first & 0x7F;
            if (octets == 0 || octets > kMaxLengthOctets) return std::nullopt;  // indefinite, or too long
            if (bytes_.size() - p < octets) return std::nullopt;
            std::uint64_t value = 0;
            for (std::size_t i = 0; i < octets; ++i) value = value << 8 | bytes_[p++];
            if (value > bytes_.size()) return std::nullopt;
            length = static_cast<std::size_t>(value);
        }
        if (bytes_.size() - p < length) return std::nullopt;
        pos_ = p + length;
        return Element{tag, bytes_.subspan(p, length)};
    }

    // The next element, which must carry `tag`.
    std::optional<Span> Expect(std::uint8_t tag) {
        const std::optional<Element> element = Next();
        if (!element || element->tag != tag) return std::nullopt;
        return element->content;
    }

    // The next element as an INTEGER of 1 to 5 octets whose value fits a signed 32-bit number.
    std::optional<std::int32_t> Integer() {
        const std::optional<Span> content = Expect(kTagInteger);
        if (!content || content->empty() || content->size() > kMaxIntegerOctets) return std::nullopt;
        std::int64_t value = ((*content)[0] & 0x80) ? -1 : 0;
        for (std::uint8_t b : *content) value = static_cast<std::int64_t>(static_cast<std::uint64_t>(value) << 8 | b);
        if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
            return std::nullopt;
        }
        return static_cast<std::int32_t>(value);
    }

    std::optional<Oid> ObjectId() {
        const std::optional<Span> content = Expect(kTagOid);
        if (!content) return std::nullopt;
        return DecodeOidContent(*content);
    }

private:
    Span bytes_;
    std::size_t pos_ = 0;
};

// The parts every message shares: SEQUENCE { version, community, PDU } filling the datagram.
struct Envelope {
    std::int32_t version = 0;
    std::string community;
    std::uint8_t pduType = 0;
    Span pdu;
};

std::optional<Envelope> ReadEnvelope(Span datagram) {
    Reader outer(datagram);
    const std::optional<Span> message = outer.Expect(kTagSequence);
    if (!message || !outer.AtEnd()) return std::nullopt;
    Reader reader(*message);
    Envelope envelope;
    const std::optional<std::int32_t> version = reader.Integer();
    const std::optional<Span> community = version ? reader.Expect(kTagOctetString) : std::nullopt;
    const std::optional<Element> pdu = community ? reader.Next() : std::nullopt;
    if (!pdu || !reader.AtEnd()) return std::nullopt;
    envelope.version = *version;
    envelope.community.assign(community->begin(), community->end());
    envelope.pduType = pdu->tag;
    envelope.pdu = pdu->content;
    return envelope;
}

// The PDU's fixed fields and its binding list.
struct PduFields {
    std::int32_t requestId = 0;
    std::int32_t errorStatus = 0;
    std::int32_t errorIndex = 0;
    Span bindings;
};

std::optional<PduFields> ReadPdu(Span pdu) {
    Reader reader(pdu);
    const std::optional<std::int32_t> requestId = reader.Integer();
    const std::optional<std::int32_t> errorStatus = requestId ? reader.Integer() : std::nullopt;
    const std::optional<std::int32_t> errorIndex = errorStatus ? reader.Integer() : std::nullopt;
    const std::optional<Span> bindings = errorIndex ? reader.Expect(kTagSequence) : std::nullopt;
    if (!bindings || !reader.AtEnd()) return std::nullopt;
    return PduFields{*requestId, *errorStatus, *errorIndex, *bindings};
}

struct Binding {
    Oid oid;
    Element value;
};

// One binding: SEQUENCE { OID, value } and nothing else. A NULL value must be empty.
std::optional<Binding> ReadBinding(Reader& list) {
    const std::optional<Span> binding = list.Expect(kTagSequence);
    if (!binding) return std::nullopt;
    Reader reader(*binding);
    std::optional<Oid> oid = reader.ObjectId();
    const std::optional<Element> value = oid ? reader.Next() : std::nullopt;
    if (!value || !reader.AtEnd()) return std::nullopt;
    if (value->tag == kTagNull && !value->content.empty()) return std::nullopt;
    return Binding{std::move(*oid), *value};
}

// ---- Writing ----

void AppendLength(Bytes& out, std::size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
        return;
    }
    std::uint8_t octets[sizeof(std::size_t)];
    std::size_t count = 0;
    for (std::size_t v = length; v != 0; v >>= 8) octets[count++] = static_cast<std::uint8_t>(v & 0xFF);
    out.push_back(static_cast<std::uint8_t>(0x80 | count));
    while (count > 0) out.push_back(octets[--count]);
}

Bytes Tlv(std::uint8_t tag, Span content) {
    Bytes out;
    out.reserve(content.size() + 6);
    out.push_back(tag);
    AppendLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Tlv(std::uint8_t tag, std::string_view content) {
    return Tlv(tag, Span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()));
}

// The shortest two's-complement form.
Bytes IntegerTlv(std::int32_t value) {
    Bytes content;
    for (int shift = 24; shift >= 0; shift -= 8) {
        content.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> shift));
    }
    std::size_t skip = 0;
    while (skip < 3 && ((content[skip] == 0x00 && !(content[skip + 1] & 0x80)) ||
                        (content[skip] == 0xFF && (content[skip + 1] & 0x80)))) {
        ++skip;
    }
    return Tlv(kTagInteger, Span(content).subspan(skip));
}

void Append(Bytes& out, const Bytes& part) { out.insert(out.end(), part.begin(), part.end()); }

// SEQUENCE { version, community, PDU { id, status, index, bindings } }.
Bytes Message(std::int32_t version, std::string_view community, std::uint8_t pduType, std::int32_t requestId,
              std::int32_t errorStatus, std::int32_t errorIndex, const Bytes& bindingList) {
    Bytes pdu = IntegerTlv(requestId);
    Append(pdu, IntegerTlv(errorStatus));
    Append(pdu, IntegerTlv(errorIndex));
    Append(pdu, Tlv(kTagSequence, bindingList));
    Bytes message = IntegerTlv(version);
    Append(message, Tlv(kTagOctetString, community));
    Append(message, Tlv(pduType, pdu));
    return Tlv(kTagSequence, message);
}

std::optional<Bytes> BindingTlv(const Oid& oid, std::uint8_t valueTag, Span value) {
    const std::optional<Bytes> content = EncodeOidContent(oid);
    if (!content) return std::nullopt;
    Bytes binding = Tlv(kTagOid, *content);
    Append(binding, Tlv(valueTag, value));
    return Tlv(kTagSequence, binding);
}

bool ArcsAcceptable(const Oid& oid) {
    if (oid.size() < 2 || oid.size() > kMaxOidArcs) return false;
    if (oid[0] > 2) return false;
    if (oid[0] < 2) return oid[1] < 40;
    return oid[1] <= kMaxArc - 80;
}

}  // namespace

std::optional<Oid> ParseOid(std::string_view text) {
    if (!text.empty() && text.front() == '.') text.remove_prefix(1);
    Oid oid;
    while (true) {
        const std::size_t dot = text.find('.');
        const std::string_view arc = text.substr(0, dot);
        if (arc.empty() || arc.size() > 10 || (arc.size() > 1 && arc[0] == '0')) return std::nullopt;
        std::uint64_t value = 0;
        for (char c : arc) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (value > kMaxArc || oid.size() == kMaxOidArcs) return std::nullopt;
        oid.push_back(static_cast<std::uint32_t>(value));
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    if (!ArcsAcceptable(oid)) return std::nullopt;
    return oid;
}

std::string FormatOid(const Oid& oid) {
    std::string text;
    for (std::uint32_t arc : oid) {
        char digits[16];
        const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, arc);
        (void)ec;
        text.push_back('.');
        text.append(digits, end);
    }
    return text;
}

std::optional<std::vector<std::uint8_t>> EncodeOidContent(const Oid& oid) {
    if (!ArcsAcceptable(oid)) return std::nullopt;
    Bytes content;
    const auto put = [&content](std::uint64_t value) {
        std::uint8_t groups[10];
        std::size_t count = 0;
        do {
            groups[count++] = static_cast<std::uint8_t>(value & 0x7F);
            value >>= 7;
        } while (value != 0);
        while (count > 1) content.push_back(static_cast<std::uint8_t>(groups[--count] | 0x80));
        content.push_back(groups[0]);
    };
    put(static_cast<std::uint64_t>(oid[0]) * 40 + oid[1]);
    for (std::size_t i = 2; i < oid.size(); ++i) put(oid[i]);
    return content;
}

std::optional<Oid> DecodeOidContent(std::span<const std::uint8_t> content) {
    if (content.empty()) return std::nullopt;
    Oid oid;
    std::size_t p = 0;
    while (p < content.size()) {
        if (content[p] == 0x80) return std::nullopt;  // a sub-identifier with a leading zero group
        std::uint64_t value = 0;
        bool more = true;
        while (more) {
            if (p >= content.size()) return std::nullopt;
            const std::uint8_t b = content[p++];
            value = value << 7 | (b & 0x7F);
            if (value > kMaxArc) return std::nullopt;
            more = (b & 0x80) != 0;
        }
        if (oid.empty()) {
            const std::uint64_t first = value < 40 ? 0 : value < 80 ? 1 : 2;
            oid.push_back(static_cast<std::uint32_t>(first));
            oid.push_back(static_cast<std::uint32_t>(value - first * 40));
        } else {
            if (oid.size() == kMaxOidArcs) return std::nullopt;
            oid.push_back(static_cast<std::uint32_t>(value));
        }
    }
    return oid;
}

const Oid& StatusOid() {
    static const Oid oid = *ParseOid(kStatusOidText);
    return oid;
}

std::vector<std::uint8_t> EncodeGetRequest(std::string_view community, std::int32_t requestId, const Oid& oid) {
    if (community.size() > kMaxCommunity) return {};
    const std::optional<Bytes> binding = BindingTlv(oid, kTagNull, {});
    if (!binding) return {};
    return Message(kVersion1, community, kPduGetRequest, requestId, kNoError, 0, *binding);
}

std::optional<GetResponse> DecodeGetResponse(std::span<const std::uint8_t> datagram, std::int32_t expectedRequestId) {
    const std::optional<Envelope> envelope = ReadEnvelope(datagram);
    if (!envelope || envelope->version != kVersion1 || envelope->pduType != kPduGetResponse) return std::nullopt;
    const std::optional<PduFields> fields = ReadPdu(envelope->pdu);
    if (!fields || fields->requestId != expectedRequestId) return std::nullopt;

    Reader list(fields->bindings);
    std::optional<Binding> first = ReadBinding(list);
    if (!first) return std::nullopt;
    while (!list.AtEnd()) {
        if (!ReadBinding(list)) return std::nullopt;
    }
    GetResponse response;
    response.version = envelope->version;
    response.community = envelope->community;
    response.requestId = fields->requestId;
    response.errorStatus = fields->errorStatus;
    response.errorIndex = fields->errorIndex;
    response.oid = std::move(first->oid);
    response.valueType = first->value.tag;
    response.value.assign(first->value.content.begin(), first->value.content.end());
    return response;
}

std::optional<GetRequest> DecodeGetRequest(std::span<const std::uint8_t> datagram) {
    const std::optional<Envelope> envelope = ReadEnvelope(datagram);
    if (!envelope || envelope->version < 0 || envelope->version > 1) return std::nullopt;
    if (envelope->pduType != kPduGetRequest && envelope->pduType != kPduGetNextRequest) return std::nullopt;
    const std::optional<PduFields> fields = ReadPdu(envelope->pdu);
    if (!fields) return std::nullopt;

    GetRequest request;
    request.version = envelope->version;
    request.community = envelope->community;
    request.pduType = envelope->pduType;
    request.requestId = fields->requestId;
    Reader list(fields->bindings);
    while (!list.AtEnd()) {
        std::optional<Binding> binding = ReadBinding(list);
        if (!binding) return std::nullopt;
        request.oids.push_back(std::move(binding->oid));
    }
    return request;
}

std::vector<std::uint8_t> EncodeGetResponse(std::string_view community, std::int32_t requestId,
                                            std::int32_t errorStatus, std::int32_t errorIndex,
                                            std::span<const VarBind> varbinds, std::int32_t version) {
    if (community.size() > kMaxCommunity) return {};
    Bytes list;
    for (std::size_t i = 0; i < varbinds.size(); ++i) {
        const VarBind& varbind = varbinds[i];
        const bool octets = varbind.kind == VarBind::Kind::kOctetString;
        const std::optional<Bytes> binding =
            BindingTlv(varbind.oid, octets ? kTagOctetString : kTagNull, octets ? Span(varbind.value) : Span());
        if (!binding) return {};
        Append(list, *binding);
        if (varbind.kind == VarBind::Kind::kNoSuchName && errorStatus == kNoError) {
            errorStatus = kNoSuchName;
            errorIndex = static_cast<std::int32_t>(i + 1);
        }
    }
    return Message(version, community, kPduGetResponse, requestId, errorStatus, errorIndex, list);
}

}  // namespace snmp
