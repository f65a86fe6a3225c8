// One GET per community over a datagram socket; answers to other requests are skipped while the
// attempt's time runs.
#include "ports/SnmpQuery.h"

#include <atomic>
#include <optional>
#include <vector>

#include "ports/SnmpCodec.h"

namespace {

constexpr std::size_t kMaxDatagram = 65535;

std::int32_t NextRequestId(IClock& clock) {
    static std::atomic<std::uint32_t> next{0};
    std::uint32_t id = next.fetch_add(1, std::memory_order_relaxed);
    if (id == 0) {
        // First use: start somewhere unlikely to match a stale answer from an earlier run.
        id = static_cast<std::uint32_t>(clock.TickCount() * 7919u) & 0x3FFFFFFF;
        next.store(id + 1, std::memory_order_relaxed);
    }
    return static_cast<std::int32_t>(id & 0x7FFFFFFF);
}

std::optional<std::string> AskOnce(INetwork& network, IClock& clock, std::string_view agent,
                                   std::string_view community) {
    const std::int32_t requestId = NextRequestId(clock);
    const std::vector<std::uint8_t> request = snmp::EncodeGetRequest(community, requestId, snmp::StatusOid());
    std::unique_ptr<IDatagramSocket> socket = network.NewDatagramSocket();
    if (request.empty() || !socket || !socket->Open(agent, snmp::kAgentPort) || !socket->Send(request)) {
        return std::nullopt;
    }

    std::vector<std::uint8_t> buffer(kMaxDatagram);
    const std::uint64_t deadline = clock.TickCount() + kSnmpAttemptTimeoutMs;
    for (;;) {
        const std::uint64_t now = clock.TickCount();
        if (now >= deadline) return std::nullopt;
        const int n = socket->Receive(buffer.data(), buffer.size(), static_cast<std::uint32_t>(deadline - now));
        if (n <= 0) return std::nullopt;
        const auto response = snmp::DecodeGetResponse(
            std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)), requestId);
        if (!response) continue;  // not the answer to this request
        if (response->errorStatus != snmp::kNoError || response->valueType != snmp::kTagOctetString) {
            return std::string();
        }
        return std::string(response->value.begin(), response->value.end());
    }
}

}  // namespace

bool QuerySnmpStatus(INetwork& network, IClock& clock, std::string_view agent, std::string& text) {
    for (const char* community : {snmp::kMakerCommunity, snmp::kDefaultCommunity}) {
        if (std::optional<std::string> answer = AskOnce(network, clock, agent, community)) {
            text = std::move(*answer);
            return true;
        }
    }
    return false;
}
