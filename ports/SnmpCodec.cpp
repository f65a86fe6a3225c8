// SNMP v1 messages in BER.
#include "ports/SnmpCodec.h"

namespace snmp {

std::optional<Oid> ParseOid(std::string_view) { return std::nullopt; }
std::string FormatOid(const Oid&) { return {}; }
std::optional<std::vector<std::uint8_t>> EncodeOidContent(const Oid&) { return std::nullopt; }
std::optional<Oid> DecodeOidContent(std::span<const std::uint8_t>) { return std::nullopt; }
const Oid& StatusOid() {
    static const Oid oid{1, 3, 6, 1, 4, 1, 58213, 3, 2, 1, 1};
    return oid;
}
std::vector<std::uint8_t> EncodeGetRequest(std::string_view, std::int32_t, const Oid&) { return {}; }
std::optional<GetResponse> DecodeGetResponse(std::span<const std::uint8_t>, std::int32_t) {
    return std::nullopt;
}
std::optional<GetRequest> DecodeGetRequest(std::span<const std::uint8_t>) { return std::nullopt; }
std::vector<std::uint8_t> EncodeGetResponse(std::string_view, std::int32_t, std::int32_t, std::int32_t,
                                            std::span<const VarBind>, std::int32_t) {
    return {};
}

}  // namespace snmp
