// Test support: the installer's side of the controller protocol and of the panel exchange.
#include "sim/tests/Clients.h"

#include <poll.h>

#include <algorithm>
#include <thread>

#include "ports/PanelFrame.h"
#include "sim/tests/SimProcess.h"

namespace simtest {

std::vector<std::uint8_t> Text(std::string text, std::size_t width) {
    text.resize(width, ' ');
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::vector<std::uint8_t> Package(std::size_t size, unsigned seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(((i + seed) * 7919) >> 3);
    if (size >= 2) {
        bytes[0] = 'P';
        bytes[1] = 'K';
    }
    return bytes;
}

ControllerClient::ControllerClient(const std::string& address) : m_fd(ConnectTcp(address, ctl::kControllerPort)) {}

std::optional<ctl::Response> ControllerClient::Ask(ctl::Request request) {
    if (!Send(std::move(request))) return std::nullopt;
    return Receive();
}

bool ControllerClient::Send(ctl::Request request) {
    request.id = ++m_id;
    return SendAll(m_fd.Get(), ctl::EncodeRequest(request));
}

std::optional<ctl::Response> ControllerClient::Receive() {
    std::vector<std::uint8_t> received;
    for (;;) {
        const ctl::ResponseDecode decoded = ctl::DecodeResponse(received);
        if (decoded.status == ctl::DecodeStatus::kComplete) return decoded.response;
        if (decoded.status == ctl::DecodeStatus::kInvalid) return std::nullopt;
        const std::vector<std::uint8_t> more = ReceiveExactly(m_fd.Get(), 1);
        if (more.empty()) return std::nullopt;
        received.insert(received.end(), more.begin(), more.end());
    }
}

bool ControllerClient::Hello(const std::string& address) {
    const auto r = Ask(ctl::Request{ctl::kHello, 0, address, 0, true});
    return r && r->result == ctl::kOk && r->answer;
}

std::uint32_t ControllerClient::Status() {
    const auto r = Ask(ctl::kGetStatus);
    return r && r->result == ctl::kOk ? r->statusWord : 0xDEADBEEF;
}

InstallerPanel::InstallerPanel(const std::string& address, bool tls) : m_fd(ConnectTcp(address, 57602)) {
    if (!tls || !m_fd.Valid()) return;
    m_ctx.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_set_max_proto_version(m_ctx.get(), TLS1_2_VERSION);
    m_ssl.reset(SSL_new(m_ctx.get()));
    SSL_set_fd(m_ssl.get(), m_fd.Get());
    if (SSL_connect(m_ssl.get()) != 1) m_fd.Reset();
}

int InstallerPanel::Send(std::uint16_t code, const std::vector<std::uint8_t>& data) {
    if (m_pace.count() > 0) std::this_thread::sleep_for(m_pace);
    for (std::uint8_t attempt = 0; attempt < 3; ++attempt) {
        const std::vector<std::uint8_t> frame = panel::EncodePanelFrame(code, m_sequence, attempt, data);
        if (!Write(frame)) return -1;
        const std::vector<std::uint8_t> reply = ReadExactly(panel::kCommandAckSize, 2000);
        if (reply.size() == panel::kCommandAckSize && panel::IsCommandAck(reply, frame)) {
            ++m_sequence;
            return attempt;
        }
    }
    return -1;
}

bool InstallerPanel::Receive(std::uint16_t code) {
    const std::vector<std::uint8_t> message = ReadExactly(16, kGuardMs);
    const auto header = panel::ReadPanelMessageHeader(message);
    if (message.size() != 16 || !header || header->command != code) return false;
    const auto ack = panel::MakeMessageAck(header->sequence, header->attempt);
    m_sequence = static_cast<std::uint8_t>(header->sequence + 1);
    return Write(ack);
}

bool InstallerPanel::Open() {
    if (Send(0xE000, Text("1.0.03.0.1", 15)) < 0 || !Receive(0xE00A) || !Receive(0xE00D)) return false;
    if (Send(0xE00E, Text("127.0.0.1", 15)) < 0 || !Receive(0xE00F)) return false;
    if (Send(0xE010, Text("", 15)) < 0 || !Receive(0xE011)) return false;
    return Send(0xE012, Text("", 15)) >= 0 && Send(0xE005) >= 0;
}

bool InstallerPanel::SendPackage(const std::vector<std::uint8_t>& package, const std::string& digest) {
    std::vector<std::uint8_t> header = Text("PanelApplication", 30);
    const std::vector<std::uint8_t> size = Text(std::to_string(package.size()), 10);
    header.insert(header.end(), size.begin(), size.end());
    if (Send(0xE006, header) < 0) return false;
    for (std::size_t at = 0; at < package.size(); at += 1024) {
        const auto begin = package.begin() + static_cast<std::ptrdiff_t>(at);
        const auto end = package.begin() + static_cast<std::ptrdiff_t>(std::min(at + 1024, package.size()));
        if (Send(0xE007, std::vector<std::uint8_t>(begin, end)) < 0) return false;
    }
    return Send(0xE008, Text(digest, 32)) >= 0;
}

bool InstallerPanel::Write(std::span<const std::uint8_t> bytes) {
    if (!m_ssl) return SendAll(m_fd.Get(), bytes);
    return SSL_write(m_ssl.get(), bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
}

std::vector<std::uint8_t> InstallerPanel::ReadExactly(std::size_t size, int timeoutMs) {
    if (!m_ssl) return ReceiveExactly(m_fd.Get(), size, timeoutMs);
    std::vector<std::uint8_t> out(size);
    std::size_t got = 0;
    while (got < size) {
        pollfd p{m_fd.Get(), POLLIN, 0};
        if (SSL_pending(m_ssl.get()) == 0 && poll(&p, 1, timeoutMs) != 1) break;
        const int n = SSL_read(m_ssl.get(), out.data() + got, static_cast<int>(size - got));
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return out;
}

}  // namespace simtest
