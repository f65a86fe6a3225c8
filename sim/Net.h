// Sockets for the simulator: an owning descriptor, the stop event every wait also watches, and
// byte streams over a connection (plain or TLS) whose reads and writes are bounded in time and
// end at once when the simulator stops.
#pragma once

#include <openssl/ssl.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

namespace sim {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : m_fd(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd = -1);

private:
    int m_fd = -1;
};

// Set once, never cleared: wakes every wait of the simulator.
class StopEvent {
public:
    StopEvent();
    void Set();
    bool IsSet() const;
    int Fd() const { return m_fd.Get(); }

private:
    sim::Fd m_fd;
};

// Results of Stream::Read besides a byte count (> 0).
constexpr ssize_t kClosed = 0;
constexpr ssize_t kError = -1;
constexpr ssize_t kTimedOut = -2;
constexpr ssize_t kStopped = -3;

class Stream {
public:
    virtual ~Stream() = default;
    // Up to `size` bytes, waiting at most `timeoutMs`: a count, kClosed, kError, kTimedOut or
    // kStopped.
    virtual ssize_t Read(void* buffer, std::size_t size, int timeoutMs) = 0;
    // All bytes, or false (error, peer gone, no progress within `timeoutMs`, stopped).
    virtual bool WriteAll(const void* data, std::size_t size, int timeoutMs) = 0;
    // Stops sending (TLS: close_notify); the connection closes with the object.
    virtual void ShutdownSend() = 0;
    // Reads nothing and waits until the peer has closed or reset the connection (1), `timeoutMs`
    // has passed (0) or the simulator stops (kStopped). Bytes waiting to be read do not end it.
    virtual int WaitPeerGone(int timeoutMs) = 0;
};

// Waits until `fd` has `events` (POLLIN/POLLOUT) or the stop event is set: 1 ready, 0 timed
// out, kStopped, kError.
int WaitFor(int fd, short events, int timeoutMs, const StopEvent& stop);

// Plain TCP over a non-blocking socket.
std::unique_ptr<Stream> MakePlainStream(Fd socket, const StopEvent& stop);

// The server side of TLS presenting one certificate; a context each, so that every printer
// can present a certificate of its own.
class TlsServer {
public:
    // Presents the certificate (and the chain after it) and the key of PEM files. Null (with
    // `error`) on failure.
    static std::unique_ptr<TlsServer> FromFiles(const std::string& certFile, const std::string& keyFile,
                                                std::string& error);
    // Presents `certificate` with its private `key` (both are referenced, not taken).
    static std::unique_ptr<TlsServer> FromCertificate(X509* certificate, EVP_PKEY* key, std::string& error);
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    // Lower-case hex SHA-256 of the certificate's DER: what a client sees as its fingerprint.
    const std::string& CertificateSha256() const { return m_sha256; }

    // Runs the handshake on an accepted socket within `timeoutMs`; null (with `error`) on failure.
    std::unique_ptr<Stream> Accept(Fd socket, const StopEvent& stop, int timeoutMs, std::string& error);

private:
    explicit TlsServer(SSL_CTX* ctx);

    SSL_CTX* m_ctx;
    std::string m_sha256;
};

// The first error OpenSSL queued for this thread as text (the queue is cleared).
std::string OpenSslError();

// A non-blocking listening socket (TCP) or bound socket (UDP) on address:port; invalid with
// `error` set on failure.
Fd ListenTcp(const std::string& address, int port, std::string& error);
Fd BindUdp(const std::string& address, int port, std::string& error);
// A UDP socket bound to the multicast `group` on `port` that receives the group's datagrams
// from the interface holding `interfaceAddress` only: it joins there and takes nothing from
// groups or interfaces other sockets joined (IP_MULTICAST_ALL off). Other sockets may bind the
// same group and port. Invalid with `error` (which step failed) on failure.
Fd BindMulticastGroup(const std::string& group, const std::string& interfaceAddress, int port, std::string& error);
// Multicast sent on `fd` leaves through the interface holding `address`, with TTL 255.
bool SetMulticastSender(int fd, const std::string& address, std::string& error);
// The port a socket is bound to.
int LocalPort(int fd);
// Closes with a reset instead of an orderly end, the way a printer that is not there refuses.
void Refuse(Fd socket);
// Attaches (or detaches) a socket filter that drops every incoming packet: a listener with it
// lets connection attempts go unanswered (no SYN-ACK, no reset), a connection with it takes in
// nothing, so the peer's data is not even acknowledged. False when the system refused.
bool SetDropAll(int fd, bool drop);
// Ends a connection at once with a reset, as a printer that has restarted answers the next
// segment of a connection it has forgotten; the descriptor stays open. False when it failed.
bool ResetConnection(int fd);

}  // namespace sim
