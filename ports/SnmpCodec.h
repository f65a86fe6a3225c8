// SNMP v1 messages in BER, as much as reading the printer's status object takes: the installer's
// GetRequest and the GetResponse it expects (manager side), and the same pair seen from the
// printer (agent side). Byte-based and strict: definite lengths only, every length inside its
// container, tags checked exactly, nothing read past the input, no throw on bad input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace snmp {

// An object identifier as its arcs: .1.3.6.1 is {1, 3, 6, 1}.
using Oid = std::vector<std::uint32_t>;

// The printer's status object: its information reply as an OCTET STRING.
inline constexpr char kStatusOidText[] = ".1.3.6.1.4.1.58213.3.2.1.1";
inline constexpr char kMakerCommunity[] = "cvn";      // asked first
inline constexpr char kDefaultCommunity[] = "public"; // asked second
inline constexpr std::uint16_t kAgentPort = 161;

inline constexpr std::int32_t kVersion1 = 0;
inline constexpr std::size_t kMaxOidArcs = 128;
inline constexpr std::size_t kMaxLengthOctets = 4;  // long-form lengths up to 4 octets

// Tags.
inline constexpr std::uint8_t kTagInteger = 0x02;
inline constexpr std::uint8_t kTagOctetString = 0x04;
inline constexpr std::uint8_t kTagNull = 0x05;
inline constexpr std::uint8_t kTagOid = 0x06;
inline constexpr std::uint8_t kTagSequence = 0x30;
inline constexpr std::uint8_t kPduGetRequest = 0xA0;
inline constexpr std::uint8_t kPduGetNextRequest = 0xA1;
inline constexpr std::uint8_t kPduGetResponse = 0xA2;

// Error status values of a v1 response.
inline constexpr std::int32_t kNoError = 0;
inline constexpr std::int32_t kNoSuchName = 2;

// Dotted text to arcs. Strict: an optional leading dot, then at least two decimal arcs separated by
// single dots, no empty arc, no sign, no leading zero, each arc below 2^32, the first 0..2, the
// second below 40 when the first is 0 or 1, at most kMaxOidArcs arcs. Nothing otherwise.
std::optional<Oid> ParseOid(std::string_view text);

// Arcs to dotted text with a leading dot (".1.3.6.1").
std::string FormatOid(const Oid& oid);

// The content octets of an OID (no tag or length): the first two arcs as 40 * first + second,
// then each arc in base 128, high group first, the continuation bit on all but the last octet.
// Nothing for arcs that ParseOid would not accept.
std::optional<std::vector<std::uint8_t>> EncodeOidContent(const Oid& oid);

// Content octets back to arcs: no empty content, no sub-identifier starting with 0x80, none that
// runs past the end or beyond 32 bits, at most kMaxOidArcs arcs.
std::optional<Oid> DecodeOidContent(std::span<const std::uint8_t> content);

// The status object's arcs.
const Oid& StatusOid();

// ---- Manager side ----

// A v1 GetRequest with one variable binding: `oid` with a NULL value. Empty when `oid` cannot be
// encoded or `community` is longer than 255 bytes.
std::vector<std::uint8_t> EncodeGetRequest(std::string_view community, std::int32_t requestId,
                                           const Oid& oid);

struct GetResponse {
    std::int32_t version = 0;
    std::string community;
    std::int32_t requestId = 0;
    std::int32_t errorStatus = 0;
    std::int32_t errorIndex = 0;
    Oid oid;                          // of the first variable binding
    std::uint8_t valueType = 0;       // its value's tag
    std::vector<std::uint8_t> value;  // its value's content octets
};

// A whole datagram as a v1 GetResponse: version 0, a community, PDU 0xA2 with `expectedRequestId`,
// error status and index, a variable-binding list with at least one binding (only the first is
// returned; a further one must still be well-formed BER). An error status, or a value other than
// an OCTET STRING, still decodes: the caller decides what it means. Nothing for anything else,
// including bytes after the message.
std::optional<GetResponse> DecodeGetResponse(std::span<const std::uint8_t> datagram,
                                             std::int32_t expectedRequestId);

// ---- Agent side ----

struct GetRequest {
    std::int32_t version = 0;   // 0 for v1, 1 for v2c (same layout for these PDUs)
    std::string community;
    std::uint8_t pduType = 0;   // kPduGetRequest or kPduGetNextRequest
    std::int32_t requestId = 0;
    std::vector<Oid> oids;      // in order; the request's values are not kept
};

// A whole datagram as a GetRequest or GetNextRequest of version 0 or 1. Every binding's value must
// be a well-formed element (managers send NULL). Nothing for other PDUs and malformed input.
std::optional<GetRequest> DecodeGetRequest(std::span<const std::uint8_t> datagram);

struct VarBind {
    enum class Kind {
        kOctetString,  // `value` as an OCTET STRING
        kNull,         // a NULL value
        kNoSuchName,   // the v1 error: the binding goes back with a NULL value, see EncodeGetResponse
    };
    Oid oid;
    Kind kind = Kind::kNull;
    std::vector<std::uint8_t> value;
};

// A GetResponse with the bindings in order. When `errorStatus` is kNoError and a binding is of kind
// kNoSuchName, the message carries error status kNoSuchName and the 1-based index of the first
// such binding instead of the given status and index. Empty when an OID cannot be encoded or the
// community is longer than 255 bytes.
std::vector<std::uint8_t> EncodeGetResponse(std::string_view community, std::int32_t requestId,
                                            std::int32_t errorStatus, std::int32_t errorIndex,
                                            std::span<const VarBind> varbinds,
                                            std::int32_t version = kVersion1);

}  // namespace snmp
