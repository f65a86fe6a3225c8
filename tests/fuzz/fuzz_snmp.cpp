// Datagrams to both sides of the SNMP exchange. The first four bytes are the request id the
// manager expects (high byte first); the rest is the datagram. Whatever decodes must encode again:
// a decoded request is answered, and the answer must decode with the request's id and first OID.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ports/SnmpCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const auto expectedId =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(data[0]) << 24 | data[1] << 16 | data[2] << 8 | data[3]);
    const std::span<const std::uint8_t> datagram(data + 4, size - 4);

    if (const auto response = snmp::DecodeGetResponse(datagram, expectedId)) {
        if (response->requestId != expectedId || response->value.size() > datagram.size()) __builtin_trap();
        const auto oid = snmp::EncodeOidContent(response->oid);
        if (!oid || snmp::DecodeOidContent(*oid) != response->oid) __builtin_trap();
    }

    if (const auto request = snmp::DecodeGetRequest(datagram)) {
        std::vector<snmp::VarBind> bindings;
        for (const snmp::Oid& oid : request->oids) bindings.push_back({oid, snmp::VarBind::Kind::kNull, {}});
        const auto answer = snmp::EncodeGetResponse(request->community, request->requestId, 0, 0, bindings);
        if (request->community.size() <= 255) {
            if (answer.empty()) __builtin_trap();
            const auto decoded = snmp::DecodeGetResponse(answer, request->requestId);
            if (request->oids.empty() ? decoded.has_value() : (!decoded || decoded->oid != request->oids[0])) {
                __builtin_trap();
            }
        }
    }

    snmp::DecodeOidContent(datagram);
    return 0;
}
