// The TLS stream: one Schannel socket per connection, which bounds its own reads; the stream adds
// the transfer's send time-out.
#include "ports/win32/TlsStream.h"

#include <algorithm>
#include <string>

#include "common/tls/CertificateTrust.h"

TlsStream::TlsStream(PSecurityFunctionTableW table) : m_table(table) {}

bool TlsStream::Connect(std::wstring_view host, std::uint16_t port, std::uint32_t timeoutMs) {
    Close();
    m_error = 0;
    m_socket = std::make_shared<Tls::ClientSocket>(m_table);
    if (m_socket->Handle() == INVALID_SOCKET || m_socket->GetState() != Tls::ClientSocket::kReady) {
        m_error = WSAENOTSOCK;
        m_socket.reset();
        return false;
    }
    // Stop-and-wait exchanges send small records: never hold one back waiting for an ACK.
    BOOL noDelay = TRUE;
    ::setsockopt(m_socket->Handle(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    // A peer that accepts the connection but never answers the handshake ends it with a
    // time-out, which the ports answer with a new connection.
    Tls::ClientSocket::Timeouts timeouts;
    timeouts.readMs = kHandshakeReadTimeoutMs;
    m_socket->SetTimeouts(timeouts);
    const std::wstring target(host);
    const int connected = timeoutMs == net::kWaitForever
                              ? m_socket->Connect(target.c_str(), port)
                              : m_socket->ConnectWithTimeout(target.c_str(), timeoutMs, port);
    if (connected != 0) {
        m_error = ::WSAGetLastError();
        if (m_error == 0) m_error = WSAECONNABORTED;
        m_socket.reset();
        return false;
    }
    // A peer that stops reading ends a send after the same time; the send's failure leaves the
    // socket broken, so that its end sends nothing more and waits for nothing.
    if (timeoutMs != net::kWaitForever) {
        const DWORD t = timeoutMs;
        ::setsockopt(m_socket->Handle(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&t), sizeof t);
    }
    return true;
}

int TlsStream::Send(const std::uint8_t* data, std::size_t size) {
    if (!m_socket) {
        m_error = WSAENOTCONN;
        return -1;
    }
    const int n = m_socket->Send(data, static_cast<int>(std::min<std::size_t>(size, 0x7FFFFFFF)));
    if (n < 0) m_error = ::WSAGetLastError();
    return n;
}

int TlsStream::Receive(std::uint8_t* buffer, std::size_t size, std::uint32_t timeoutMs) {
    if (!m_socket) {
        m_error = WSAENOTCONN;
        return -1;
    }
    // After either side ended the session nothing more comes: the end of the stream.
    const int state = m_socket->GetState();
    if (state == Tls::ClientSocket::kShutDown) return 0;
    if (state == Tls::ClientSocket::kClosedByPeer && !m_socket->HasPlainOutput()) return 0;
    const int wait = m_socket->Poll(static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000));
    if (wait < 0) {
        m_error = ::WSAGetLastError();
        return -1;
    }
    if (wait == 0) return 0;
    const int n = m_socket->Recieve(buffer, static_cast<int>(std::min<std::size_t>(size, 0x7FFFFFFF)));
    if (n < 0) m_error = ::WSAGetLastError();
    return n;
}

bool TlsStream::ShutdownSend() {
    if (!m_socket) {
        m_error = WSAENOTCONN;
        return false;
    }
    if (m_socket->GetState() != Tls::ClientSocket::kSecure) return false;
    return m_socket->Shutdown() == 0;
}

void TlsStream::Close() { m_socket.reset(); }

bool TlsStream::PeerCertificate(const std::vector<std::wstring>& names, PresentedCertificate& certificate) {
    if (!m_socket) return false;
    return Tls::DescribePeerCertificate(m_socket->RetrieveServerCertificate(), names, certificate);
}

SecureStreamFactory SystemTlsStreams() {
    return [] { return std::make_unique<TlsStream>(); };
}
