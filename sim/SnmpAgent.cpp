// The printer's SNMP agent: one status object, v1 (and v2c, which has the same layout for GET).
// Requests with a community the printer does not answer are dropped, as real agents do.
#include <algorithm>

#include "ports/SnmpCodec.h"
#include "sim/Endpoints.h"

namespace sim {

std::vector<std::uint8_t> AnswerSnmp(Printer& printer, std::span<const std::uint8_t> datagram, std::string& note) {
    if (!printer.Reachable()) {
        note = "silent (restarting, or the silent fault): no answer";
        return {};
    }
    const std::optional<snmp::GetRequest> request = snmp::DecodeGetRequest(datagram);
    if (!request) {
        note = "malformed request dropped";
        return {};
    }
    if (!printer.AnswersCommunity(request->community)) {
        note = "community '" + request->community + "' not answered";
        return {};
    }
    const int fault = printer.Settings().faults.snmpError;
    if (fault != 0 && request->pduType == snmp::kPduGetRequest) {
        // As an agent that fails to get the status object: the error, the index of its binding
        // (1-based) and the bindings back as they came, with NULL values.
        const auto named = std::find(request->oids.begin(), request->oids.end(), snmp::StatusOid());
        if (named != request->oids.end()) {
            std::vector<snmp::VarBind> echoed;
            for (const snmp::Oid& oid : request->oids) {
                snmp::VarBind binding;
                binding.oid = oid;
                binding.kind = snmp::VarBind::Kind::kNull;
                echoed.push_back(std::move(binding));
            }
            const auto index = static_cast<std::int32_t>(named - request->oids.begin()) + 1;
            note = "error status " + std::to_string(fault) + " (fault)";
            return snmp::EncodeGetResponse(request->community, request->requestId, fault, index, echoed,
                                           request->version);
        }
    }
    std::vector<snmp::VarBind> bindings;
    bool any = false;
    for (const snmp::Oid& oid : request->oids) {
        snmp::VarBind binding;
        binding.oid = oid;
        // GET names the object itself; GETNEXT from anything before it reaches it, after it
        // there is nothing.
        const bool hit = request->pduType == snmp::kPduGetRequest ? oid == snmp::StatusOid() : oid < snmp::StatusOid();
        if (hit) {
            const std::string text = printer.InfoText();
            binding.oid = snmp::StatusOid();
            binding.kind = snmp::VarBind::Kind::kOctetString;
            binding.value.assign(text.begin(), text.end());
            any = true;
        } else {
            binding.kind = snmp::VarBind::Kind::kNoSuchName;
        }
        bindings.push_back(std::move(binding));
    }
    note = std::string(any ? "answered" : "noSuchName") + " (community '" + request->community + "')";
    return snmp::EncodeGetResponse(request->community, request->requestId, snmp::kNoError, 0, bindings,
                                   request->version);
}

}  // namespace sim
