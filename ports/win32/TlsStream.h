// The ports' TLS stream over the Schannel socket: the printer port's firmware transfer to port
// 9100 and the panel port's connection to port 57602.
#pragma once

#include <memory>

#include "common/tls/CertificateTrust.h"
#include "common/tls/ClientSocket.h"
#include "network/Network.h"

class TlsStream final : public ISecureStream {
public:
    static constexpr DWORD kHandshakeReadTimeoutMs = Tls::ClientSocket::kReadTimeoutMs;

    // `table` replaces the system's security package (tests).
    explicit TlsStream(PSecurityFunctionTableW table = nullptr);

    // With net::kWaitForever the TCP connection takes as long as the system lets it; otherwise
    // at most `timeoutMs`, and a send after it as long. Either way every handshake read waits at
    // most kHandshakeReadTimeoutMs and the whole handshake Tls::ClientSocket::kHandshakeTimeoutMs;
    // either running out fails with net::kErrorTimedOut.
    bool Connect(std::wstring_view host, std::uint16_t port, std::uint32_t timeoutMs) override;
    int Send(const std::uint8_t* data, std::size_t size) override;
    int Receive(std::uint8_t* buffer, std::size_t size, std::uint32_t timeoutMs) override;
    bool ShutdownSend() override;
    void Close() override;
    int LastError() const override { return m_error; }
    bool PeerCertificate(const std::vector<std::wstring>& names, PresentedCertificate& certificate) override;

    // The socket, for tests; null before Connect and after Close.
    const std::shared_ptr<Tls::ClientSocket>& Socket() const { return m_socket; }

private:
    PSecurityFunctionTableW m_table;
    std::shared_ptr<Tls::ClientSocket> m_socket;
    int m_error = 0;
};

// The panel port's factory of TLS streams over the system's package.
SecureStreamFactory SystemTlsStreams();
