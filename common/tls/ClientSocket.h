// A TLS client over one TCP connection, on the system's security package (Schannel) reached
// through the function table InitSecurityInterfaceW gives. The printer port sends firmware through
// it to port 9100, the panel port talks to the operation panel through it on port 57602.
//
// The socket accepts any server certificate: it asks for manual validation and names no target.
// Its owner takes the certificate (RetrieveServerCertificate) and decides (CertificateTrust.h).
//
// Every resource it acquires has its own shared owner with a release action, so an object that
// failed at any step releases exactly what it got. Nothing throws: operations return -1 and write
// one diagnostic line (Common.h).
//
// No read waits without a bound: each wait for the peer's bytes in a handshake, or for the rest of
// a record, ends after the read time-out, and a whole handshake, or a whole record, after a bound
// of its own (Timeouts). A wait that runs out fails with the socket error WSAETIMEDOUT. Sends wait
// as long as the socket's SO_SNDTIMEO lets them, except the TLS close, which has a bound of its
// own.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#define SECURITY_WIN32
#include <security.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace Tls {

// The process's security function table, from InitSecurityInterfaceW on first use; null when the
// package is missing.
PSecurityFunctionTableW SecurityInterface();

using CertificatePtr = std::shared_ptr<const CERT_CONTEXT>;

class ClientSocket {
public:
    enum State {
        kUnusable = 0,
        kReady = 1,        // TCP socket and credentials in hand
        kHandshaking = 2,  // TCP connected; the handshake runs, or failed
        kSecure = 3,
        kClosedByPeer = 4,  // the peer ended the TLS session
        kShutDown = 5,
        // A send, or a read in the middle of a record, failed: the records on the connection are
        // cut, so nothing more goes over it, not even the TLS close; the socket is just closed.
        kBroken = 6,
    };

    // A peer sends a handshake message, or a record, in one go: a second without any of its
    // bytes means it has stalled.
    static constexpr DWORD kReadTimeoutMs = 1000;
    // A handshake is a few exchanges of a few kilobytes, a record at most 16 KB: ten seconds
    // leave room for a slow printer and still end one that trickles its bytes.
    static constexpr DWORD kHandshakeTimeoutMs = 10000;
    static constexpr DWORD kRecordTimeoutMs = 10000;
    // The TLS close and the drain of what the peer still sends, together.
    static constexpr DWORD kShutdownTimeoutMs = 5000;

    struct Timeouts {
        DWORD readMs = kReadTimeoutMs;            // one wait for bytes of a handshake or a record
        DWORD handshakeMs = kHandshakeTimeoutMs;  // a whole handshake, initial or renegotiation
        DWORD recordMs = kRecordTimeoutMs;        // one record, from the first wait for it
    };

    static constexpr u_short kDataPort = 9100;
    static constexpr u_short kPanelPort = 57602;
    static constexpr std::size_t kReceiveChunk = 16384;

    // Starts the socket library, creates the socket and acquires the credentials: state 1, or 0
    // when any of it failed. `table` replaces the system's security package (tests script one);
    // null takes SecurityInterface().
    explicit ClientSocket(PSecurityFunctionTableW table = nullptr);
    ~ClientSocket();
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;

    int GetState() const { return m_nState; }

    // Replaces the bounds of the waits (tests shorten them); before Connect.
    void SetTimeouts(const Timeouts& timeouts) { m_timeouts = timeouts; }

    // The raw socket, for socket options; INVALID_SOCKET when it could not be created.
    SOCKET Handle() const;

    // Connects to `port` of the dotted IPv4 address `host` and runs the handshake. 0 or -1.
    int Connect(const wchar_t* host, u_short port = kDataPort);

    // The same, waiting at most `timeoutMs` for the TCP connection. A connection that did not come
    // in time fails with the socket error WSAETIMEDOUT.
    int ConnectWithTimeout(const wchar_t* host, DWORD timeoutMs, u_short port = kPanelPort);

    // Encrypts and sends all bytes. The length (0 for none), or -1; a failed send leaves the
    // socket broken (kBroken).
    int Send(const void* data, int length);

    // Hands out decrypted bytes: the count (at most `size`); 0 when the peer closed, or, with
    // `size` 0 (check-only: decrypt what has arrived, hand out nothing, never wait), when nothing
    // is waiting; -1 on failure. Bytes decrypted before the peer's close are still handed out
    // after it. With `size` above 0 and nothing decrypted it waits for a record within the
    // bounds of Timeouts; when they run out it fails with WSAETIMEDOUT, and leaves the socket
    // broken if part of a record had come. A renegotiation the peer asks for runs here.
    int Recieve(void* buffer, int size);

    // Waits until decrypted bytes are available: 1 available, 0 not within the time, -1 failure.
    // Bytes held already (that came with the handshake's last message, say) are decrypted first.
    int Poll(long seconds, long microseconds);

    // TLS close, then the socket's half-close with a short drain of what the peer still sends,
    // both within kShutdownTimeoutMs. A close that cannot be sent ends it without the drain.
    int Shutdown();

    // The peer's certificate from the finished handshake; empty when there is none.
    CertificatePtr RetrieveServerCertificate();

    // Decrypted bytes wait to be handed out.
    bool HasPlainOutput() const { return !m_plainOutput.empty(); }

private:
    std::shared_ptr<CredHandle> AcquireCredentials();
    // `initial`: bytes received already (a renegotiation's), processed before anything is read.
    int Negotiate(const std::vector<std::uint8_t>* initial = nullptr);
    int ShutdownSchannel();
    int ShutdownSocket(ULONGLONG end);
    int HandOut(void* buffer, int size);
    // Waits until the socket has bytes to read, at most the read time-out and not past `end`
    // (GetTickCount64). False on failure, or with WSAETIMEDOUT when nothing came.
    bool WaitToRead(ULONGLONG end);

    PSecurityFunctionTableW m_sspi;  // the package's functions; not a resource

    // Declared in the order opposite to their release.
    int m_nState = kUnusable;
    std::shared_ptr<void> m_session;
    std::shared_ptr<CredHandle> m_credentials;
    std::shared_ptr<CtxtHandle> m_context;
    std::shared_ptr<SOCKET> m_socket;
    std::shared_ptr<void> m_shutdownDuty;
    SecPkgContext_StreamSizes m_sizes{};
    Timeouts m_timeouts;
    std::vector<std::uint8_t> m_cipherInput;  // received, not yet decrypted
    std::vector<std::uint8_t> m_plainOutput;  // decrypted, not yet handed out
    std::vector<std::uint8_t> m_sendBuffer;   // records on their way out
    bool m_bIncomplete = false;               // decrypt again only after more bytes arrived
    bool m_bPeerGone = false;                 // the peer closed the TCP connection
    bool m_bCloseUnreported = false;          // the peer's close came with data; 0 not yet returned
};

}  // namespace Tls
