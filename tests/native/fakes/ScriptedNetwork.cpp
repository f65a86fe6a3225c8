// The scripted network: streams that play the script's peer and an SNMP agent that answers with
// real SNMP messages, so the code under test runs its own encoders and decoders.
#include "tests/native/fakes/ScriptedNetwork.h"

#include <algorithm>

#include "ports/SnmpCodec.h"

namespace {

std::string Narrow(std::wstring_view text) {
    std::string out;
    for (wchar_t c : text) out.push_back(static_cast<char>(c));
    return out;
}

class ScriptedStream final : public ISecureStream {
public:
    ScriptedStream(NetworkScript& script, ManualClock& clock, bool secure)
        : m_script(script), m_clock(clock), m_secure(secure) {
        ++m_script.streamsAlive;
    }
    ~ScriptedStream() override { --m_script.streamsAlive; }

    bool Connect(std::wstring_view host, std::uint16_t port, std::uint32_t timeoutMs) override {
        m_script.log.push_back(std::string(m_secure ? "tls " : "") + "connect " + Narrow(host) + ":" +
                               std::to_string(port) + " " + std::to_string(timeoutMs));
        if (!m_script.hosts.contains(std::wstring(host))) {
            m_error = 0;
            m_script.log.push_back("connect failed: no such host");
            return false;
        }
        int result = 0;
        if (!m_script.connectResults.empty()) {
            result = m_script.connectResults.front();
            m_script.connectResults.pop_front();
        }
        if (result != 0) {
            if (result == net::kErrorTimedOut) m_clock.Advance(timeoutMs);
            m_error = result;
            m_script.log.push_back("connect failed " + std::to_string(result));
            return false;
        }
        m_connected = true;
        m_script.log.push_back("connected");
        return true;
    }

    int Send(const std::uint8_t* data, std::size_t size) override {
        const int index = m_script.sends++;
        if (!m_connected || index == m_script.failSendAt) {
            m_error = 10054;
            m_script.log.push_back("send failed");
            return -1;
        }
        const std::size_t taken = index == m_script.shortSendAt && size > 0 ? size - 1 : size;
        m_script.sent.emplace_back(data, data + taken);
        m_script.log.push_back("send " + std::to_string(taken) + " bytes");
        return static_cast<int>(taken);
    }

    int Receive(std::uint8_t* buffer, std::size_t size, std::uint32_t timeoutMs) override {
        const int n = Take(buffer, size, timeoutMs);
        m_script.log.push_back("receive " + std::to_string(size) + " " + std::to_string(timeoutMs) + " -> " +
                               std::to_string(n));
        return n;
    }

    bool ShutdownSend() override {
        m_script.log.push_back("shutdown send");
        return m_connected;
    }

    void Close() override {
        if (!m_connected) return;
        m_connected = false;
        m_script.log.push_back("close");
    }

    int LastError() const override { return m_error; }

    bool PeerCertificate(const std::vector<std::wstring>& names, PresentedCertificate& certificate) override {
        std::string line = "peer certificate";
        for (const std::wstring& name : names) {
            line += ' ';
            line += Narrow(name);
        }
        m_script.log.push_back(line);
        if (!m_connected || !m_script.peerCertificate) return false;
        certificate = *m_script.peerCertificate;
        return true;
    }

private:
    int Take(std::uint8_t* buffer, std::size_t size, std::uint32_t timeoutMs) {
        if (!m_connected) return -1;
        if (m_script.incoming.empty() || m_script.incoming.front().kind == Incoming::Kind::kSilence) {
            if (!m_script.incoming.empty()) m_script.incoming.pop_front();
            m_clock.Advance(timeoutMs);
            return 0;
        }
        Incoming& next = m_script.incoming.front();
        if (next.kind == Incoming::Kind::kError) {
            m_script.incoming.pop_front();
            m_error = 10054;
            return -1;
        }
        const std::size_t count = std::min(size, next.bytes.size());
        std::copy_n(next.bytes.begin(), count, buffer);
        next.bytes.erase(next.bytes.begin(), next.bytes.begin() + static_cast<std::ptrdiff_t>(count));
        if (next.bytes.empty()) m_script.incoming.pop_front();
        return static_cast<int>(count);
    }

    NetworkScript& m_script;
    ManualClock& m_clock;
    const bool m_secure;
    bool m_connected = false;
    int m_error = 0;
};

// Answers the status object's GET with the script's text; silent otherwise.
class ScriptedAgent final : public IDatagramSocket {
public:
    ScriptedAgent(NetworkScript& script, ManualClock& clock) : m_script(script), m_clock(clock) {}

    bool Open(std::string_view address, std::uint16_t port) override {
        m_peer = std::string(address) + ":" + std::to_string(port);
        return true;
    }

    bool Send(std::span<const std::uint8_t> datagram) override {
        const std::optional<snmp::GetRequest> request = snmp::DecodeGetRequest(datagram);
        if (!request) return true;
        m_script.log.push_back("snmp " + m_peer + " " + request->community);
        if (!m_script.snmpAnswer) return true;
        const snmp::VarBind binding{snmp::StatusOid(), snmp::VarBind::Kind::kOctetString,
                                    {m_script.snmpAnswer->begin(), m_script.snmpAnswer->end()}};
        m_answer = snmp::EncodeGetResponse(request->community, request->requestId, snmp::kNoError, 0,
                                           std::span<const snmp::VarBind>(&binding, 1));
        return true;
    }

    int Receive(std::uint8_t* buffer, std::size_t size, std::uint32_t timeoutMs) override {
        if (m_answer.empty()) {
            m_clock.Advance(timeoutMs);
            return 0;
        }
        const std::size_t count = std::min(size, m_answer.size());
        std::copy_n(m_answer.begin(), count, buffer);
        m_answer.clear();
        return static_cast<int>(count);
    }

private:
    NetworkScript& m_script;
    ManualClock& m_clock;
    std::string m_peer;
    std::vector<std::uint8_t> m_answer;
};

}  // namespace

std::unique_ptr<ISecureStream> ScriptedNetwork::MakeStream(bool secure) {
    return std::make_unique<ScriptedStream>(script, m_clock, secure);
}

std::unique_ptr<IByteStream> ScriptedNetwork::NewStream() { return MakeStream(false); }

std::unique_ptr<ISecureStream> ScriptedNetwork::NewSecureStream() { return MakeStream(true); }

std::unique_ptr<IDatagramSocket> ScriptedNetwork::NewDatagramSocket() {
    return std::make_unique<ScriptedAgent>(script, m_clock);
}

std::string ScriptedNetwork::ResolveIpv4(std::wstring_view host) {
    script.log.push_back("resolve " + Narrow(host));
    const auto found = script.hosts.find(std::wstring(host));
    return found == script.hosts.end() ? std::string() : found->second;
}

std::vector<std::string> LogLines(const NetworkScript& script, std::string_view prefix) {
    std::vector<std::string> lines;
    std::copy_if(script.log.begin(), script.log.end(), std::back_inserter(lines),
                 [prefix](const std::string& line) { return line.starts_with(prefix); });
    return lines;
}
