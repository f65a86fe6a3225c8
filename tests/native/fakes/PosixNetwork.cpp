// POSIX streams and datagram sockets behind the network seam; every wait is a poll() with the
// caller's time-out.
#include "tests/native/fakes/PosixNetwork.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace {

int ToWinsock(int error) {
    switch (error) {
    case EWOULDBLOCK: return net::kErrorWouldBlock;
    case ETIMEDOUT: return net::kErrorTimedOut;
    case ECONNREFUSED: return net::kErrorRefused;
    case ECONNRESET: case EPIPE: return 10054;
    case ECONNABORTED: return 10053;
    case ENOTCONN: return 10057;
    default: return 10000 + error;
    }
}

int PollTimeout(std::uint32_t timeoutMs) {
    return timeoutMs == net::kWaitForever ? -1 : static_cast<int>(std::min<std::uint32_t>(timeoutMs, 0x7FFFFFFF));
}

bool ResolveFirst(std::wstring_view host, in_addr& address) {
    std::string narrow;
    for (wchar_t c : host) {
        if (c <= 0 || c > 0x7E) return false;
        narrow.push_back(static_cast<char>(c));
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (narrow.empty() || getaddrinfo(narrow.c_str(), nullptr, &hints, &result) != 0 || !result) return false;
    address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
    freeaddrinfo(result);
    return true;
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset();
            m_fd = other.m_fd;
            other.m_fd = -1;
        }
        return *this;
    }
    int Get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    void Reset() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

class PosixStream final : public IByteStream {
public:
    bool Connect(std::wstring_view host, std::uint16_t port, std::uint32_t timeoutMs) override {
        Close();
        m_error = 0;
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(port);
        if (!ResolveFirst(host, peer.sin_addr)) return false;
        Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!s) return Fail(errno);
        if (::connect(s.Get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
            if (errno != EINPROGRESS) return Fail(errno);
            pollfd p{s.Get(), POLLOUT, 0};
            const int ready = ::poll(&p, 1, PollTimeout(timeoutMs));
            if (ready < 0) return Fail(errno);
            if (ready == 0) return Fail(ETIMEDOUT);
            int pending = 0;
            socklen_t length = sizeof pending;
            ::getsockopt(s.Get(), SOL_SOCKET, SO_ERROR, &pending, &length);
            if (pending != 0) return Fail(pending);
        }
        ::fcntl(s.Get(), F_SETFL, ::fcntl(s.Get(), F_GETFL) & ~O_NONBLOCK);
        int one = 1;
        ::setsockopt(s.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (timeoutMs != net::kWaitForever) {
            timeval tv{static_cast<time_t>(timeoutMs / 1000), static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
            ::setsockopt(s.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        }
        m_fd = std::move(s);
        return true;
    }

    int Send(const std::uint8_t* data, std::size_t size) override {
        if (!m_fd) return Error(ENOTCONN);
        const ssize_t n = ::send(m_fd.Get(), data, size, MSG_NOSIGNAL);
        if (n < 0) return Error(errno);
        return static_cast<int>(n);
    }

    int Receive(std::uint8_t* buffer, std::size_t size, std::uint32_t timeoutMs) override {
        if (!m_fd) return Error(ENOTCONN);
        pollfd p{m_fd.Get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, PollTimeout(timeoutMs));
        if (ready < 0) return Error(errno);
        if (ready == 0) return 0;
        const ssize_t n = ::recv(m_fd.Get(), buffer, size, 0);
        if (n < 0) return Error(errno);
        return static_cast<int>(n);
    }

    bool ShutdownSend() override {
        if (!m_fd) return Fail(ENOTCONN);
        return ::shutdown(m_fd.Get(), SHUT_WR) == 0 || Fail(errno);
    }

    void Close() override { m_fd.Reset(); }
    int LastError() const override { return m_error; }

private:
    bool Fail(int error) {
        m_error = ToWinsock(error);
        return false;
    }

    int Error(int error) {
        Fail(error);
        return -1;
    }

    Fd m_fd;
    int m_error = 0;
};

class PosixDatagram final : public IDatagramSocket {
public:
    bool Open(std::string_view address, std::uint16_t port) override {
        m_peer = sockaddr_in{};
        m_peer.sin_family = AF_INET;
        m_peer.sin_port = htons(port);
        if (::inet_pton(AF_INET, std::string(address).c_str(), &m_peer.sin_addr) != 1) return false;
        m_fd = Fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        return static_cast<bool>(m_fd);
    }

    bool Send(std::span<const std::uint8_t> datagram) override {
        if (!m_fd) return false;
        const ssize_t n = ::sendto(m_fd.Get(), datagram.data(), datagram.size(), 0,
                                   reinterpret_cast<const sockaddr*>(&m_peer), sizeof m_peer);
        return n == static_cast<ssize_t>(datagram.size());
    }

    int Receive(std::uint8_t* buffer, std::size_t size, std::uint32_t timeoutMs) override {
        using Clock = std::chrono::steady_clock;
        if (!m_fd) return -1;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return 0;
            pollfd p{m_fd.Get(), POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left));
            if (ready < 0) return -1;
            if (ready == 0) return 0;
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(m_fd.Get(), buffer, size, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from),
                                         &fromLength);
            if (n < 0) {
                if (errno == ECONNREFUSED || errno == EINTR) continue;
                return -1;
            }
            if (from.sin_addr.s_addr != m_peer.sin_addr.s_addr || from.sin_port != m_peer.sin_port) continue;
            return static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(n), size));
        }
    }

private:
    Fd m_fd;
    sockaddr_in m_peer{};
};

}  // namespace

std::unique_ptr<IByteStream> PosixNetwork::NewStream() { return std::make_unique<PosixStream>(); }

std::unique_ptr<IDatagramSocket> PosixNetwork::NewDatagramSocket() { return std::make_unique<PosixDatagram>(); }

std::string PosixNetwork::ResolveIpv4(std::wstring_view host) {
    in_addr address{};
    if (!ResolveFirst(host, address)) return {};
    char text[INET_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET, &address, text, sizeof text) ? std::string(text) : std::string();
}
