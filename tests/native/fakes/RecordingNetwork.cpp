// The recording network and its fake SNMP agent.
#include "tests/native/fakes/RecordingNetwork.h"

#include <algorithm>
#include <cstring>

#include "ports/SnmpCodec.h"

std::vector<std::uint8_t> RecordedStream::AllSent() const {
    std::vector<std::uint8_t> all;
    for (const auto& block : sends) all.insert(all.end(), block.begin(), block.end());
    return all;
}

namespace {

class FakeStream final : public IByteStream {
public:
    FakeStream(RecordingNetwork& network, RecordedStream& record) : m_network(network), m_record(record) {}
    ~FakeStream() override { m_record.closed = true; }

    bool Connect(std::wstring_view host, std::uint16_t port, std::uint32_t) override {
        m_record.host = host;
        m_record.port = port;
        m_record.connected = m_network.connects;
        if (!m_record.connected) m_error = net::kErrorRefused;
        return m_record.connected;
    }
    int Send(const std::uint8_t* data, std::size_t size) override {
        const int call = m_network.sendCalls++;
        if (!m_record.connected || call == m_network.failSendAt) {
            m_error = 10054;
            return -1;
        }
        const std::size_t accepted = call == m_network.shortSendAt && size > 0 ? size - 1 : size;
        m_record.sends.emplace_back(data, data + accepted);
        return static_cast<int>(accepted);
    }
    int Receive(std::uint8_t*, std::size_t, std::uint32_t) override { return 0; }
    bool ShutdownSend() override { return m_record.connected; }
    void Close() override { m_record.closed = true; }
    int LastError() const override { return m_error; }

private:
    RecordingNetwork& m_network;
    RecordedStream& m_record;
    int m_error = 0;
};

class FakeAgentSocket final : public IDatagramSocket {
public:
    explicit FakeAgentSocket(RecordingNetwork& network) : m_network(network) {}

    bool Open(std::string_view address, std::uint16_t port) override {
        m_open = port == snmp::kAgentPort;
        m_network.snmpAgents.emplace_back(address);
        return m_open;
    }
    bool Send(std::span<const std::uint8_t> datagram) override {
        const auto request = snmp::DecodeGetRequest(datagram);
        if (!m_open || !request) return false;
        if (m_network.snmpAnswer) {
            const std::string& text = *m_network.snmpAnswer;
            const snmp::VarBind binding{snmp::StatusOid(), snmp::VarBind::Kind::kOctetString,
                                        std::vector<std::uint8_t>(text.begin(), text.end())};
            m_answer = snmp::EncodeGetResponse(request->community, request->requestId, snmp::kNoError, 0,
                                               std::span(&binding, 1));
        }
        return true;
    }
    int Receive(std::uint8_t* buffer, std::size_t size, std::uint32_t) override {
        if (m_answer.empty()) return 0;
        const std::size_t n = std::min(size, m_answer.size());
        std::memcpy(buffer, m_answer.data(), n);
        m_answer.clear();
        return static_cast<int>(n);
    }

private:
    RecordingNetwork& m_network;
    bool m_open = false;
    std::vector<std::uint8_t> m_answer;
};

}  // namespace

std::unique_ptr<IByteStream> RecordingNetwork::NewStream() {
    streams.emplace_back();
    return std::make_unique<FakeStream>(*this, streams.back());
}

std::unique_ptr<IDatagramSocket> RecordingNetwork::NewDatagramSocket() {
    return std::make_unique<FakeAgentSocket>(*this);
}

std::string RecordingNetwork::ResolveIpv4(std::wstring_view host) { return std::string(host.begin(), host.end()); }
