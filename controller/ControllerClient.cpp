// The library's side of the controller protocol. A failed exchange leaves the stream at an unknown
// point (a response may still be on its way), so the connection is dropped rather than reused.
#include "controller/ControllerClient.h"

#include <vector>

#include "common/Text.h"

namespace ctl {

ControllerClient::ControllerClient(INetwork& network, IClock& clock) : m_network(network), m_clock(clock) {}

ControllerClient::~ControllerClient() { Close(); }

void ControllerClient::Close() {
    if (m_stream) m_stream->Close();
    m_stream.reset();
}

bool ControllerClient::Connect(std::string_view address) {
    Close();
    Request hello;
    hello.type = kHello;
    hello.address = std::string(address);
    if (EncodeRequest(hello).empty()) return false;  // not an address the protocol can carry

    m_stream = m_network.NewStream();
    if (!m_stream) return false;
    // The protocol allows only printable ASCII here, so widening byte by byte is exact.
    if (!m_stream->Connect(text::WidenBytes(address), kControllerPort, kConnectTimeoutMs)) {
        Close();
        return false;
    }
    m_nextId = 1;
    const std::optional<Response> response = Exchange(std::move(hello));
    if (!response || response->result != kOk || !response->answer) {
        Close();
        return false;
    }
    return true;
}

std::optional<Response> ControllerClient::Exchange(Request request) {
    if (!m_stream) return std::nullopt;
    request.id = m_nextId++;
    const std::vector<std::uint8_t> bytes = EncodeRequest(request);
    if (bytes.empty() || !SendAll(*m_stream, bytes.data(), bytes.size())) {
        Close();
        return std::nullopt;
    }
    std::optional<Response> response = ReadResponse(request.type, request.id);
    if (!response) Close();
    return response;
}

std::optional<Response> ControllerClient::ReadResponse(std::uint8_t type, std::uint32_t id) {
    const std::uint64_t deadline = m_clock.TickCount() + kResponseTimeoutMs;
    std::vector<std::uint8_t> received;
    std::vector<std::uint8_t> buffer(kResponseHeaderSize + kMaxPayload);
    for (;;) {
        const ResponseDecode decoded = DecodeResponse(received);
        if (decoded.status == DecodeStatus::kInvalid) return std::nullopt;
        if (decoded.status == DecodeStatus::kComplete) {
            // Nothing may follow: the printer answers one request with one response, so more
            // bytes mean the two ends are out of step.
            if (decoded.consumed != received.size()) return std::nullopt;
            if (decoded.response.type != type || decoded.response.id != id) return std::nullopt;
            return decoded.response;
        }
        const std::uint64_t now = m_clock.TickCount();
        if (now >= deadline) return std::nullopt;
        const int n = m_stream->Receive(buffer.data(), buffer.size(), static_cast<std::uint32_t>(deadline - now));
        if (n <= 0) return std::nullopt;  // time-out, closed by the printer, or a socket error
        received.insert(received.end(), buffer.begin(), buffer.begin() + n);
    }
}

std::optional<Response> ControllerClient::Ask(std::uint8_t type, std::int32_t argument) {
    Request request;
    request.type = type;
    request.argument = argument;
    std::optional<Response> response = Exchange(std::move(request));
    if (!response || response->result != kOk) return std::nullopt;
    return response;
}

std::optional<std::string> ControllerClient::GetInfo() {
    std::optional<Response> response = Ask(kGetInfo);
    if (!response) return std::nullopt;
    return std::move(response->info);
}

std::optional<StatusWords> ControllerClient::GetStatus() {
    const std::optional<Response> response = Ask(kGetStatus);
    if (!response) return std::nullopt;
    return StatusWords{response->answer, response->statusWord, response->detailWord};
}

bool ControllerClient::StartUpdate(std::int32_t argument) {
    const std::optional<Response> response = Ask(kStartUpdate, argument);
    return response && response->answer;
}

bool ControllerClient::RequestReboot() {
    const std::optional<Response> response = Ask(kRequestReboot);
    return response && response->answer;
}

std::optional<std::int32_t> ControllerClient::GetOperationCode() {
    const std::optional<Response> response = Ask(kGetOperationCode);
    if (!response) return std::nullopt;
    return response->operationCode;
}

}  // namespace ctl
