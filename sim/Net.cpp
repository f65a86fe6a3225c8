// Sockets, the stop event and plain/TLS streams. Every socket is non-blocking; waits go through
// poll() on the socket and the stop event together, so no thread can hang past a stop.
#include "sim/Net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool MakeAddress(const std::string& address, int port, sockaddr_in& out) {
    std::memset(&out, 0, sizeof out);
    out.sin_family = AF_INET;
    out.sin_port = htons(static_cast<std::uint16_t>(port));
    return inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1;
}

Fd BindSocket(int type, const std::string& address, int port, std::string& error) {
    sockaddr_in sa{};
    if (!MakeAddress(address, port, sa)) {
        error = "bad address " + address;
        return Fd();
    }
    Fd fd(socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        error = std::string("socket: ") + std::strerror(errno);
        return Fd();
    }
    const int one = 1;
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error = "bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        return Fd();
    }
    if (type == SOCK_STREAM && listen(fd.Get(), 16) != 0) {
        error = std::string("listen: ") + std::strerror(errno);
        return Fd();
    }
    return fd;
}

class PlainStream final : public Stream {
public:
    PlainStream(Fd socket, const StopEvent& stop) : m_fd(std::move(socket)), m_stop(stop) {}

    ssize_t Read(void* buffer, std::size_t size, int timeoutMs) override {
        const int ready = WaitFor(m_fd.Get(), POLLIN, timeoutMs, m_stop);
        if (ready == 0) return kTimedOut;
        if (ready < 0) return ready;
        const ssize_t n = recv(m_fd.Get(), buffer, size, 0);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kTimedOut : kError;
        return n;
    }

    bool WriteAll(const void* data, std::size_t size, int timeoutMs) override {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        while (size > 0) {
            const ssize_t n = send(m_fd.Get(), bytes, size, MSG_NOSIGNAL);
            if (n > 0) {
                bytes += n;
                size -= static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
            if (WaitFor(m_fd.Get(), POLLOUT, timeoutMs, m_stop) != 1) return false;
        }
        return true;
    }

    void ShutdownSend() override { shutdown(m_fd.Get(), SHUT_WR); }

    int WaitPeerGone(int timeoutMs) override { return WaitFor(m_fd.Get(), POLLRDHUP, timeoutMs, m_stop); }

private:
    Fd m_fd;
    const StopEvent& m_stop;
};

class TlsStream final : public Stream {
public:
    TlsStream(Fd socket, SSL* ssl, const StopEvent& stop) : m_fd(std::move(socket)), m_ssl(ssl), m_stop(stop) {}
    ~TlsStream() override {
        SSL_shutdown(m_ssl);  // one try: the socket is non-blocking and about to close
        SSL_free(m_ssl);
    }

    // Drives one OpenSSL call to completion or failure: 1 done, otherwise a Read result.
    template <typename Call>
    int Drive(Call call, int& result, int timeoutMs) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            ERR_clear_error();
            result = call();
            if (result > 0) return 1;
            const int error = SSL_get_error(m_ssl, result);
            short events = 0;
            if (error == SSL_ERROR_WANT_READ) events = POLLIN;
            else if (error == SSL_ERROR_WANT_WRITE) events = POLLOUT;
            else if (error == SSL_ERROR_ZERO_RETURN) return kClosed;
            else return kError;
            const int ready = WaitFor(m_fd.Get(), events, RemainingMs(deadline), m_stop);
            if (ready == 0) return kTimedOut;
            if (ready < 0) return ready;
        }
    }

    int Handshake(int timeoutMs) {
        int result = 0;
        return Drive([this] { return SSL_accept(m_ssl); }, result, timeoutMs);
    }

    ssize_t Read(void* buffer, std::size_t size, int timeoutMs) override {
        int result = 0;
        const int size32 = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
        const int done = Drive([&] { return SSL_read(m_ssl, buffer, size32); }, result, timeoutMs);
        if (done != 1) return done;
        // One SSL_read gives one record; take the records already here too, so that a reader
        // sees data in pieces as large as over plain TCP, not 16 KB at a time.
        auto* bytes = static_cast<std::uint8_t*>(buffer);
        while (result < size32 && SSL_has_pending(m_ssl)) {
            ERR_clear_error();
            const int more = SSL_read(m_ssl, bytes + result, size32 - result);
            if (more <= 0) break;  // the next call reports what stopped it
            result += more;
        }
        return result;
    }

    bool WriteAll(const void* data, std::size_t size, int timeoutMs) override {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        while (size > 0) {
            int result = 0;
            const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
            if (Drive([&] { return SSL_write(m_ssl, bytes, chunk); }, result, timeoutMs) != 1) return false;
            bytes += result;
            size -= static_cast<std::size_t>(result);
        }
        return true;
    }

    void ShutdownSend() override { SSL_shutdown(m_ssl); }

    int WaitPeerGone(int timeoutMs) override { return WaitFor(m_fd.Get(), POLLRDHUP, timeoutMs, m_stop); }

private:
    Fd m_fd;
    SSL* m_ssl;
    const StopEvent& m_stop;
};

// A server context as every printer's TLS has it, without a certificate yet.
SSL_CTX* NewServerContext(std::string& error) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        error = OpenSslError();
        return nullptr;
    }
    // The installer's TLS stack may speak no more than TLS 1.2; nothing older is offered.
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Reads as much from the socket as it holds, instead of a record header and then its body.
    SSL_CTX_set_read_ahead(ctx, 1);
    return ctx;
}

std::string CertificateDigest(const X509* cert) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!cert || X509_digest(cert, EVP_sha256(), digest, &length) != 1) return {};
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0F];
    }
    return text;
}

}  // namespace

std::string OpenSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown TLS error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

void Fd::Reset(int fd) {
    if (m_fd >= 0) close(m_fd);
    m_fd = fd;
}

StopEvent::StopEvent() : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void StopEvent::Set() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(m_fd.Get(), &one, sizeof one);
}

bool StopEvent::IsSet() const {
    pollfd p{m_fd.Get(), POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

int WaitFor(int fd, short events, int timeoutMs, const StopEvent& stop) {
    pollfd p[2] = {{fd, events, 0}, {stop.Fd(), POLLIN, 0}};
    for (;;) {
        const int n = poll(p, 2, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return static_cast<int>(kError);
        if (p[1].revents) return static_cast<int>(kStopped);
        if (n == 0) return 0;
        return 1;  // readiness, hang-up or error: the next call on the socket tells which
    }
}

std::unique_ptr<Stream> MakePlainStream(Fd socket, const StopEvent& stop) {
    SetNonBlocking(socket.Get());
    return std::make_unique<PlainStream>(std::move(socket), stop);
}

std::unique_ptr<TlsServer> TlsServer::FromFiles(const std::string& certFile, const std::string& keyFile,
                                                 std::string& error) {
    SSL_CTX* ctx = NewServerContext(error);
    if (!ctx) return nullptr;
    auto server = std::unique_ptr<TlsServer>(new TlsServer(ctx));
    if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
        error = "certificate or key: " + OpenSslError();
        return nullptr;
    }
    server->m_sha256 = CertificateDigest(SSL_CTX_get0_certificate(ctx));
    return server;
}

std::unique_ptr<TlsServer> TlsServer::FromCertificate(X509* certificate, EVP_PKEY* key, std::string& error) {
    SSL_CTX* ctx = NewServerContext(error);
    if (!ctx) return nullptr;
    auto server = std::unique_ptr<TlsServer>(new TlsServer(ctx));
    if (SSL_CTX_use_certificate(ctx, certificate) != 1 || SSL_CTX_use_PrivateKey(ctx, key) != 1) {
        error = OpenSslError();
        return nullptr;
    }
    server->m_sha256 = CertificateDigest(certificate);
    return server;
}

TlsServer::TlsServer(SSL_CTX* ctx) : m_ctx(ctx) {}

TlsServer::~TlsServer() { SSL_CTX_free(m_ctx); }

std::unique_ptr<Stream> TlsServer::Accept(Fd socket, const StopEvent& stop, int timeoutMs, std::string& error) {
    SetNonBlocking(socket.Get());
    SSL* ssl = SSL_new(m_ctx);
    if (!ssl || SSL_set_fd(ssl, socket.Get()) != 1) {
        SSL_free(ssl);
        error = OpenSslError();
        return nullptr;
    }
    auto stream = std::make_unique<TlsStream>(std::move(socket), ssl, stop);
    const int result = stream->Handshake(timeoutMs);
    if (result != 1) {
        error = result == kTimedOut ? "handshake timed out" : result == kStopped ? "stopped" : "handshake: " + OpenSslError();
        return nullptr;
    }
    return stream;
}

Fd ListenTcp(const std::string& address, int port, std::string& error) {
    return BindSocket(SOCK_STREAM, address, port, error);
}

Fd BindUdp(const std::string& address, int port, std::string& error) {
    return BindSocket(SOCK_DGRAM, address, port, error);
}

Fd BindMulticastGroup(const std::string& group, const std::string& interfaceAddress, int port, std::string& error) {
    sockaddr_in sa{};
    ip_mreq membership{};
    if (!MakeAddress(group, port, sa) || inet_pton(AF_INET, interfaceAddress.c_str(), &membership.imr_interface) != 1) {
        error = "bad address " + group + " or " + interfaceAddress;
        return Fd();
    }
    membership.imr_multiaddr = sa.sin_addr;
    Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        error = std::string("socket: ") + std::strerror(errno);
        return Fd();
    }
    const int one = 1, zero = 0;
    auto option = [&](int level, int name, const void* value, socklen_t size, const char* what) {
        if (setsockopt(fd.Get(), level, name, value, size) == 0) return true;
        error = std::string(what) + ": " + std::strerror(errno);
        return false;
    };
    if (!option(SOL_SOCKET, SO_REUSEADDR, &one, sizeof one, "SO_REUSEADDR") ||
        !option(SOL_SOCKET, SO_REUSEPORT, &one, sizeof one, "SO_REUSEPORT") ||
        !option(IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero, "IP_MULTICAST_ALL")) {
        return Fd();
    }
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error = "bind " + group + ":" + std::to_string(port) + ": " + std::strerror(errno);
        return Fd();
    }
    if (!option(IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership,
                ("joining " + group + " on " + interfaceAddress).c_str())) {
        return Fd();
    }
    return fd;
}

bool SetMulticastSender(int fd, const std::string& address, std::string& error) {
    in_addr local{};
    if (inet_pton(AF_INET, address.c_str(), &local) != 1) {
        error = "bad address " + address;
        return false;
    }
    const int ttl = 255;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
        error = std::string("multicast sender on ") + address + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

int LocalPort(int fd) {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) return -1;
    return ntohs(sa.sin_port);
}

bool SetDropAll(int fd, bool drop) {
    if (!drop) {
        int unused = 0;
        return setsockopt(fd, SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused) == 0;
    }
    sock_filter dropEverything[] = {{BPF_RET | BPF_K, 0, 0, 0}};
    const sock_fprog program{1, dropEverything};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

bool ResetConnection(int fd) {
    // Disconnecting a TCP socket (connect to AF_UNSPEC) sends the peer a reset.
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    return connect(fd, &unspecified, sizeof unspecified) == 0;
}

void Refuse(Fd socket) {
    const linger reset{1, 0};
    setsockopt(socket.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

}  // namespace sim
