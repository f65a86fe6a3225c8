// How the ports and the controller library reach the network: TCP byte streams, UDP datagram
// sockets and name resolution. The Windows implementation is in network/win32/; tests use
// recording fakes or POSIX sockets.
//
// Error numbers are Winsock's (10060 time-out, 10061 refused, ...), whatever the platform, so that
// the ports' last-error codes read the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/PeerTrust.h"

namespace net {

inline constexpr int kErrorWouldBlock = 10035;  // WSAEWOULDBLOCK
inline constexpr int kErrorTimedOut = 10060;    // WSAETIMEDOUT
inline constexpr int kErrorRefused = 10061;     // WSAECONNREFUSED
inline constexpr std::uint32_t kWaitForever = 0xFFFFFFFF;

}  // namespace net

// One TCP connection. Not thread-safe; one owner at a time. Destruction closes the connection.
class IByteStream {
public:
    virtual ~IByteStream() = default;

    // Resolves `host` (dotted IPv4 text or a name; IPv4 only, the first address found) and
    // connects to `port`, giving up after `timeoutMs` (net::kWaitForever: the system's own
    // limit). Afterwards a blocking send waits at most `timeoutMs` too. False when the name does
    // not resolve (LastError() 0 then) or the connection fails (LastError() tells why).
    virtual bool Connect(std::wstring_view host, std::uint16_t port, std::uint32_t timeoutMs) = 0;

    // One send: the number of bytes the system accepted (1..size), or -1 on failure.
    virtual int Send(const std::uint8_t* data, std::size_t size) = 0;

    // Waits up to `timeoutMs` for data, then reads once, at most `size` bytes: the count read,
    // 0 when nothing arrived in time or the peer closed its side, -1 on failure.
    virtual int Receive(std::uint8_t* buffer, std::size_t size, std::uint32_t timeoutMs) = 0;

    // Half-closes the connection for sending. True on success.
    virtual bool ShutdownSend() = 0;

    // Closes the connection; harmless when not connected.
    virtual void Close() = 0;

    // The error number of the last failed call.
    virtual int LastError() const = 0;
};

// A TLS connection. Connect runs the TLS handshake after the TCP connection (each handshake read
// waiting at most 1000 ms, the whole handshake at most 10 s) and reports a time-out, of either, as net::kErrorTimedOut; Send,
// Receive and ShutdownSend work on the decrypted stream, Send taking all bytes at once.
// ShutdownSend ends the TLS session before it half-closes the connection. The peer's certificate is
// not checked by Connect: its owner shows it to an IPeerTrust before it sends anything.
class ISecureStream : public IByteStream {
public:
    // After a successful Connect: the certificate the peer presented, with `vouched` set when a
    // root the system trusts vouches for it and it carries one of `names` (an IPv4 address in
    // dotted text, or a host name). False when the connection yields none.
    virtual bool PeerCertificate(const std::vector<std::wstring>& names, PresentedCertificate& certificate) = 0;
};

// Makes an unconnected TLS stream; null when none can be made.
using SecureStreamFactory = std::function<std::unique_ptr<ISecureStream>()>;

// Sends all `size` bytes with as many Send calls as it takes. False on the first failure.
bool SendAll(IByteStream& stream, const std::uint8_t* data, std::size_t size);

// A UDP socket that talks to one peer. Destruction closes it.
class IDatagramSocket {
public:
    virtual ~IDatagramSocket() = default;

    // Creates the socket for the peer at dotted IPv4 `address` and `port`. False on failure.
    virtual bool Open(std::string_view address, std::uint16_t port) = 0;

    // Sends one datagram to the peer. False on failure.
    virtual bool Send(std::span<const std::uint8_t> datagram) = 0;

    // Waits up to `timeoutMs` for one datagram from the peer (datagrams from anyone else, and
    // error reports such as an unreachable port, are skipped while the wait goes on). Its size
    // (truncated to `size`), 0 when none came in time, -1 on failure.
    virtual int Receive(std::uint8_t* buffer, std::size_t size, std::uint32_t timeoutMs) = 0;
};

// Makes the sockets. One instance serves the whole process; safe to use from any thread.
class INetwork {
public:
    virtual ~INetwork() = default;

    virtual std::unique_ptr<IByteStream> NewStream() = 0;
    virtual std::unique_ptr<IDatagramSocket> NewDatagramSocket() = 0;

    // The first IPv4 address of `host` (dotted text or a name) as dotted text; empty when it does
    // not resolve.
    virtual std::string ResolveIpv4(std::wstring_view host) = 0;
};
