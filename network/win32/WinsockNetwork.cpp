// Winsock streams and datagram sockets. Every wait is a select() with the caller's time-out, so a
// silent peer can never block a caller longer than it asked for.
#include "network/win32/WinsockNetwork.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>

#include <algorithm>
#include <vector>

#include "common/win32/CodePage.h"
#include "common/win32/UniqueHandle.h"

namespace {

// select()'s time-out for `timeoutMs`; null (wait without end) for net::kWaitForever.
timeval* ToTimeval(std::uint32_t timeoutMs, timeval& tv) {
    if (timeoutMs == net::kWaitForever) return nullptr;
    tv.tv_sec = static_cast<long>(timeoutMs / 1000);
    tv.tv_usec = static_cast<long>((timeoutMs % 1000) * 1000);
    return &tv;
}

// The first IPv4 address of `host`; false when it does not resolve.
bool ResolveFirst(std::wstring_view host, in_addr& address) {
    const std::string ansi = WideToCodePage(CP_THREAD_ACP, host.substr(0, 1024));
    if (ansi.empty() || ansi.find('\0') != std::string::npos) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(ansi.c_str(), nullptr, &hints, &result) != 0 || !result) return false;
    address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
    ::freeaddrinfo(result);
    return true;
}

bool SetBlocking(SOCKET s, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ::ioctlsocket(s, FIONBIO, &nonBlocking) == 0;
}

class WinsockStream final : public IByteStream {
public:
    bool Connect(std::wstring_view host, std::uint16_t port, std::uint32_t timeoutMs) override {
        Close();
        m_error = 0;
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = ::htons(port);
        if (!ResolveFirst(host, peer.sin_addr)) return false;

        UniqueSocket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (!s) return Fail();
        if (!SetBlocking(s.get(), false)) return Fail();
        bool connected = ::connect(s.get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0;
        if (!connected) {
            if (::WSAGetLastError() != WSAEWOULDBLOCK) return Fail();
            connected = AwaitConnection(s.get(), timeoutMs);
            if (!connected) return false;
        }
        if (!SetBlocking(s.get(), true)) return Fail();

        // Stop-and-wait exchanges send small frames: never hold one back waiting for an ACK.
        BOOL noDelay = TRUE;
        ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
        if (timeoutMs != net::kWaitForever) {
            const DWORD t = timeoutMs;
            ::setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&t), sizeof t);
            ::setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&t), sizeof t);
        }
        m_socket = std::move(s);
        return true;
    }

    int Send(const std::uint8_t* data, std::size_t size) override {
        if (!m_socket) return NotConnected();
        const int chunk = static_cast<int>(std::min<std::size_t>(size, 0x7FFFFFFF));
        const int n = ::send(m_socket.get(), reinterpret_cast<const char*>(data), chunk, 0);
        if (n == SOCKET_ERROR) {
            m_error = ::WSAGetLastError();
            return -1;
        }
        return n;
    }

    int Receive(std::uint8_t* buffer, std::size_t size, std::uint32_t timeoutMs) override {
        if (!m_socket) return NotConnected();
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_socket.get(), &readable);
        timeval tv{};
        const int ready = ::select(0, &readable, nullptr, nullptr, ToTimeval(timeoutMs, tv));
        if (ready == SOCKET_ERROR) {
            m_error = ::WSAGetLastError();
            return -1;
        }
        if (ready == 0) return 0;
        const int chunk = static_cast<int>(std::min<std::size_t>(size, 0x7FFFFFFF));
        const int n = ::recv(m_socket.get(), reinterpret_cast<char*>(buffer), chunk, 0);
        if (n == SOCKET_ERROR) {
            m_error = ::WSAGetLastError();
            return -1;
        }
        return n;
    }

    bool ShutdownSend() override {
        if (!m_socket) return NotConnected() == 0;
        if (::shutdown(m_socket.get(), SD_SEND) == 0) return true;
        m_error = ::WSAGetLastError();
        return false;
    }

    void Close() override { m_socket.reset(); }

    int LastError() const override { return m_error; }

private:
    bool Fail() {
        m_error = ::WSAGetLastError();
        return false;
    }

    int NotConnected() {
        m_error = WSAENOTCONN;
        return -1;
    }

    // Waits for a non-blocking connect to finish. True when connected.
    bool AwaitConnection(SOCKET s, std::uint32_t timeoutMs) {
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval tv{};
        const int ready = ::select(0, nullptr, &writable, &failed, ToTimeval(timeoutMs, tv));
        if (ready == SOCKET_ERROR) return Fail();
        if (ready == 0) {
            m_error = WSAETIMEDOUT;
            return false;
        }
        if (FD_ISSET(s, &writable)) return true;
        int pending = 0;
        int length = sizeof pending;
        ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &length);
        m_error = pending ? pending : WSAECONNREFUSED;
        return false;
    }

    UniqueSocket m_socket;
    int m_error = 0;
};

class WinsockDatagram final : public IDatagramSocket {
public:
    bool Open(std::string_view address, std::uint16_t port) override {
        m_socket.reset();
        m_peer = sockaddr_in{};
        m_peer.sin_family = AF_INET;
        m_peer.sin_port = ::htons(port);
        const std::string text(address);
        if (::inet_pton(AF_INET, text.c_str(), &m_peer.sin_addr) != 1) return false;
        UniqueSocket s(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
        if (!s) return false;
        // An unreachable port reported by ICMP would otherwise fail the next receive; the wait for
        // the real answer goes on instead.
        BOOL report = FALSE;
        DWORD returned = 0;
        ::WSAIoctl(s.get(), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
        m_socket = std::move(s);
        return true;
    }

    bool Send(std::span<const std::uint8_t> datagram) override {
        if (!m_socket || datagram.size() > 65507) return false;
        const int n = ::sendto(m_socket.get(), reinterpret_cast<const char*>(datagram.data()),
                               static_cast<int>(datagram.size()), 0, reinterpret_cast<const sockaddr*>(&m_peer),
                               sizeof m_peer);
        return n == static_cast<int>(datagram.size());
    }

    int Receive(std::uint8_t* buffer, std::size_t size, std::uint32_t timeoutMs) override {
        if (!m_socket) return -1;
        const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
        for (;;) {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= deadline) return 0;
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(m_socket.get(), &readable);
            timeval tv{};
            const int ready = ::select(0, &readable, nullptr, nullptr,
                                       ToTimeval(static_cast<std::uint32_t>(deadline - now), tv));
            if (ready == SOCKET_ERROR) return -1;
            if (ready == 0) return 0;
            sockaddr_in from{};
            int fromLength = sizeof from;
            const int chunk = static_cast<int>(std::min<std::size_t>(size, 65535));
            const int n = ::recvfrom(m_socket.get(), reinterpret_cast<char*>(buffer), chunk, 0,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
            int received = n;
            if (n == SOCKET_ERROR) {
                const int error = ::WSAGetLastError();
                if (error == WSAEMSGSIZE) {
                    received = chunk;  // truncated to the buffer
                } else if (error == WSAECONNRESET || error == WSAEWOULDBLOCK) {
                    continue;
                } else {
                    return -1;
                }
            }
            if (from.sin_addr.s_addr != m_peer.sin_addr.s_addr || from.sin_port != m_peer.sin_port) continue;
            return received;
        }
    }

private:
    UniqueSocket m_socket;
    sockaddr_in m_peer{};
};

}  // namespace

WinsockNetwork::WinsockNetwork() {
    WSADATA data{};
    m_started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

WinsockNetwork::~WinsockNetwork() {
    if (m_started) ::WSACleanup();
}

std::unique_ptr<IByteStream> WinsockNetwork::NewStream() { return std::make_unique<WinsockStream>(); }

std::unique_ptr<IDatagramSocket> WinsockNetwork::NewDatagramSocket() { return std::make_unique<WinsockDatagram>(); }

std::string WinsockNetwork::ResolveIpv4(std::wstring_view host) {
    in_addr address{};
    if (!ResolveFirst(host, address)) return {};
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &address, text, sizeof text)) return {};
    return text;
}

WinsockNetwork& ProcessNetwork() {
    static WinsockNetwork* network = new WinsockNetwork();
    return *network;
}
