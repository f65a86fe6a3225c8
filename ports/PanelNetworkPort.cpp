// The panel port: connection set-up by the printer's SECURITY setting, commands with their
// acknowledgements and retries, and the panel's messages with ours.
//
// TCP may deliver the panel's acknowledgement and its next message in one segment, or split a
// message over two. Reads therefore collect bytes until what they wait for is complete, and keep
// whatever arrived behind it for the next read instead of throwing it away.
#include "ports/PanelNetworkPort.h"

#include <algorithm>
#include <optional>

#include "common/Text.h"
#include "ports/PanelFrame.h"
#include "ports/SnmpQuery.h"
#include "update/DeviceReply.h"

namespace {

// Wire positions of a frame, counting the STX as 0.
constexpr std::size_t kLengthPos = 1;
constexpr std::size_t kHeaderEnd = 1 + panel::kHeaderChars;  // 13: the header as the installer reads it

int HexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The data length a message announces (positions 1 to 4), when it is readable and possible.
std::optional<std::size_t> AnnouncedLength(const std::vector<std::uint8_t>& message) {
    if (message.size() < kLengthPos + 4 || message[0] != panel::kStx) return std::nullopt;
    std::size_t length = 0;
    for (std::size_t i = kLengthPos; i < kLengthPos + 4; ++i) {
        const int digit = HexValue(message[i]);
        if (digit < 0) return std::nullopt;
        length = length * 16 + static_cast<std::size_t>(digit);
    }
    if (length > panel::kMaxData) return std::nullopt;
    return length;
}

}  // namespace

CZPanelNetworkPort::CZPanelNetworkPort(PanelPortEnvironment environment)
    : m_network(environment.network),
      m_clock(environment.clock),
      m_system(environment.system),
      m_newSecureStream(std::move(environment.newSecureStream)) {}

CZPanelNetworkPort::~CZPanelNetworkPort() { endConnection(); }

bool CZPanelNetworkPort::open() {
    if (m_bConnected) return true;
    m_bSecure = querySecurity();
    // Only created and held: other programs may look for it; nothing here waits on it.
    if (!m_mutex) m_mutex = m_system.CreateNamedMutex(kMutexName);
    if (connectPanel()) {
        m_bConnected = true;
        return true;
    }
    m_nLastError = kErrorNotConnected;
    return false;
}

bool CZPanelNetworkPort::querySecurity() {
    std::string answer;
    if (!querySnmpStatus(answer)) return false;
    ReplyMap reply;
    return ParseDeviceReply(reply, m_system.FromSystemAnsi(answer)) && IsReplySecure(reply);
}

bool CZPanelNetworkPort::querySnmpStatus(std::string& text) {
    const std::string agent = m_network.ResolveIpv4(m_strHost);
    if (agent.empty()) return false;
    return QuerySnmpStatus(m_network, m_clock, agent, text);
}

bool CZPanelNetworkPort::connectPanel() {
    endConnection();
    return m_bSecure ? connectSecure() : connectPlain();
}

bool CZPanelNetworkPort::connectPlain() {
    if (m_trust && !m_trust->AllowPlain()) {
        m_nLastError = kErrorNotConnected;
        return false;
    }
    std::unique_ptr<IByteStream> stream = m_network.NewStream();
    if (!stream) return false;
    if (!stream->Connect(m_strHost, kPanelTcpPort, m_nTimeout)) {
        m_nLastError = stream->LastError();
        return false;
    }
    m_stream = std::move(stream);
    return true;
}

bool CZPanelNetworkPort::connectSecure() {
    const std::string address = m_network.ResolveIpv4(m_strHost);
    if (address.empty()) return false;
    const std::wstring target = text::WidenBytes(address);
    // A panel that is still starting lets the handshake time out; anything else is final.
    for (int attempt = 1; attempt <= kTlsConnectAttempts; ++attempt) {
        std::unique_ptr<ISecureStream> stream = m_newSecureStream ? m_newSecureStream() : nullptr;
        if (!stream) return false;
        if (stream->Connect(target, kPanelTcpPort, m_nTimeout)) {
            PresentedCertificate certificate;
            const bool presented = m_trust && stream->PeerCertificate(m_trust->Names(), certificate);
            if (!m_trust || !m_trust->Trust(presented ? &certificate : nullptr)) {
                m_nLastError = kErrorNotConnected;
                return false;
            }
            m_stream = std::move(stream);
            return true;
        }
        m_nLastError = stream->LastError();
        if (m_nLastError != net::kErrorTimedOut) return false;
    }
    return false;
}

void CZPanelNetworkPort::endConnection() {
    if (m_stream) m_stream->Close();
    m_stream.reset();
    m_pending.clear();
}

bool CZPanelNetworkPort::close() {
    endConnection();
    m_bConnected = false;
    return true;
}

bool CZPanelNetworkPort::shutdown() {
    if (m_stream && m_stream->ShutdownSend()) {
        // Each read waits the port's time-out at most, so a panel that never closes its side
        // cannot hold the caller for longer than that after it has gone quiet.
        std::vector<std::uint8_t> discard(kReceiveBufferSize);
        while (m_stream->Receive(discard.data(), discard.size(), m_nTimeout) > 0) {
        }
    }
    return close();
}

bool CZPanelNetworkPort::sendCommand(std::uint16_t length, std::uint16_t command, std::uint8_t attempt,
                                     const std::uint8_t* data) {
    if (!m_bConnected) {
        m_nLastError = kErrorNotConnected;
        return false;
    }
    if (length > panel::kMaxData || (length > 0 && !data)) {
        m_nLastError = kErrorNotConnected;
        return false;
    }
    for (;;) {
        if (sendFrame(length, command, attempt, data) == 1) {
            m_nLastError = kErrorNone;
            return true;
        }
        if (attempt >= 2) return false;
        ++attempt;
    }
}

int CZPanelNetworkPort::sendFrame(std::uint16_t length, std::uint16_t command, std::uint8_t attempt,
                                  const std::uint8_t* data) {
    const std::vector<std::uint8_t> frame =
        panel::EncodePanelFrame(command, m_nSequence, attempt, std::span<const std::uint8_t>(data, length));
    if (sendWhole(frame.data(), frame.size()) < 0) return -1;

    const std::uint64_t deadline = m_clock.TickCount() + m_nTimeout;
    std::vector<std::uint8_t> reply;
    bool received = receiveUntil(reply, 1, deadline);
    if (received && !reply.empty() && reply[0] == panel::kAck) {
        received = receiveUntil(reply, panel::kCommandAckSize, deadline);
    }
    if (!received || reply.empty()) {
        m_nLastError = kErrorNotConnected;
        return received ? 0 : -1;
    }

    // A panel message starts with STX: what comes after the acknowledgement before one belongs
    // to a longer acknowledgement; from the STX on it is the panel's next message.
    if (reply[0] == panel::kAck && reply.size() > panel::kCommandAckSize) {
        const auto next = std::find(reply.begin() + panel::kCommandAckSize, reply.end(), panel::kStx);
        keepForNextRead(reply.data() + (next - reply.begin()), static_cast<std::size_t>(reply.end() - next));
    }
    if (!panel::IsCommandAck(reply, frame)) {
        m_nLastError = kErrorUnexpectedReply;
        return -1;
    }
    ++m_nSequence;
    return 1;
}

bool CZPanelNetworkPort::receiveReply(std::uint16_t command, int /*maxSize*/) {
    // Messages are read by the length they announce, so the caller's size needs no say here:
    // what follows a message stays for the next read whatever it is.
    if (!m_bConnected) {
        m_nLastError = kErrorNotConnected;
        return false;
    }
    const std::uint64_t deadline = m_clock.TickCount() + kReplyTimeoutMs;
    std::vector<std::uint8_t> message;
    if (!receiveUntil(message, kHeaderEnd, deadline) || message.empty()) {
        m_nLastError = kErrorNotConnected;
        return false;
    }
    const std::optional<panel::PanelMessageHeader> header = panel::ReadPanelMessageHeader(message);
    if (header && header->command == command) {
        // Take the whole message, however TCP cut it, and nothing of what follows.
        if (const std::optional<std::size_t> length = AnnouncedLength(message)) {
            const std::size_t size = panel::PanelFrameSize(header->command, *length);
            if (!receiveUntil(message, size, deadline)) {
                m_nLastError = kErrorNotConnected;
                return false;
            }
            if (message.size() > size && message[size - 1] == panel::kEtx) {
                keepForNextRead(message.data() + size, message.size() - size);
                message.resize(size);
            }
        }
    }
    if (acknowledgeReply(command, message) <= 0) return false;
    m_nLastError = kErrorNone;
    return true;
}

int CZPanelNetworkPort::acknowledgeReply(std::uint16_t command, const std::vector<std::uint8_t>& message) {
    const std::optional<panel::PanelMessageHeader> header = panel::ReadPanelMessageHeader(message);
    if (!header || header->command != command) {
        m_nLastError = kErrorUnexpectedReply;
        return -1;
    }
    const auto ack = panel::MakeMessageAck(header->sequence, header->attempt);
    if (sendWhole(ack.data(), ack.size()) < 0) return -1;
    m_nSequence = static_cast<std::uint8_t>(header->sequence + 1);
    return static_cast<int>(ack.size());
}

int CZPanelNetworkPort::sendWhole(const std::uint8_t* bytes, std::size_t size) {
    if (m_stream && SendAll(*m_stream, bytes, size)) return static_cast<int>(size);
    // The connection is gone; the connected mark stays until the owner closes the port, so
    // every further command fails until then.
    endConnection();
    m_nLastError = kErrorNotConnected;
    return -1;
}

int CZPanelNetworkPort::receiveData(std::uint8_t* buffer, std::size_t size, std::uint32_t timeoutMs) {
    if (!m_pending.empty()) {
        const std::size_t count = std::min(size, m_pending.size());
        std::copy_n(m_pending.begin(), count, buffer);
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(count));
        return static_cast<int>(count);
    }
    if (!m_stream) return -1;
    return m_stream->Receive(buffer, size, timeoutMs);
}

bool CZPanelNetworkPort::receiveUntil(std::vector<std::uint8_t>& bytes, std::size_t wanted, std::uint64_t deadline) {
    std::vector<std::uint8_t> buffer(kReceiveBufferSize);
    while (bytes.size() < wanted) {
        const std::uint64_t now = m_clock.TickCount();
        const auto left = static_cast<std::uint32_t>(deadline > now ? deadline - now : 0);
        // Kept bytes are handed over without waiting; a wait with no time left is not made.
        if (left == 0 && m_pending.empty()) return true;
        const int n = receiveData(buffer.data(), buffer.size(), left);
        if (n < 0) return false;
        if (n == 0) return true;  // nothing more in time, or the panel closed its side
        bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + n);
    }
    return true;
}

void CZPanelNetworkPort::keepForNextRead(const std::uint8_t* bytes, std::size_t size) {
    m_pending.insert(m_pending.begin(), bytes, bytes + size);
}

void CZPanelNetworkPort::setHost(const std::wstring& host) { m_strHost = host; }
