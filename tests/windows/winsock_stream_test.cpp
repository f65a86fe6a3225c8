// The Winsock stream's receive against a loopback peer: what a wait that runs out, a look without a
// wait, the peer's end and a reset give, and that the connection goes on after a time-out.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "common/win32/UniqueHandle.h"
#include "network/win32/WinsockNetwork.h"
#include "tests/windows/LoopbackListener.h"

namespace {

// A stream connected to a peer socket the test drives.
struct Connection {
    std::unique_ptr<IByteStream> stream;
    UniqueSocket peer;

    void PeerSends(const std::string& text) {
        ASSERT_EQ(::send(peer.get(), text.data(), static_cast<int>(text.size()), 0), static_cast<int>(text.size()));
    }
};

Connection Connect() {
    Connection c;
    INetwork& network = ProcessNetwork();  // starts the socket library
    sockaddr_in address{};
    UniqueSocket listener = ListenOnLoopback(1, address);
    if (!listener) return c;
    c.stream = network.NewStream();
    if (!c.stream->Connect(L"127.0.0.1", ::ntohs(address.sin_port), 2000)) return c;
    c.peer.reset(::accept(listener.get(), nullptr, nullptr));
    return c;
}

// One receive: its result, the text read and how long it took.
struct Read {
    int result;
    std::string text;
    ULONGLONG ms;
};

Read ReceiveOnce(IByteStream& stream, std::uint32_t timeoutMs) {
    char buffer[64] = {};
    const ULONGLONG start = ::GetTickCount64();
    const int n = stream.Receive(reinterpret_cast<std::uint8_t*>(buffer), sizeof buffer, timeoutMs);
    return {n, n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string(), ::GetTickCount64() - start};
}

TEST(WinsockStream, AWaitThatRunsOutGivesNothingAndTheConnectionGoesOn) {
    Connection c = Connect();
    ASSERT_TRUE(c.stream && c.peer);

    // Waits of changing lengths, each kept to its own bound; a look without a wait returns at once.
    for (const std::uint32_t timeoutMs : {300u, 50u, 0u, 120u}) {
        SCOPED_TRACE(timeoutMs);
        const Read r = ReceiveOnce(*c.stream, timeoutMs);
        EXPECT_EQ(r.result, 0);
        EXPECT_GE(r.ms + 20, timeoutMs);  // the tick count moves in steps of up to 16 ms
        EXPECT_LT(r.ms, timeoutMs + 1000);
    }

    // Data sent after the time-outs arrives whole, by a waiting read and by a look alike.
    c.PeerSends("ack-1");
    EXPECT_EQ(ReceiveOnce(*c.stream, 2000).text, "ack-1");
    c.PeerSends("ack-2");
    ::Sleep(100);
    EXPECT_EQ(ReceiveOnce(*c.stream, 0).text, "ack-2");
    c.PeerSends("ack-3");
    EXPECT_EQ(ReceiveOnce(*c.stream, net::kWaitForever).text, "ack-3");
}

TEST(WinsockStream, ThePeersEndOrResetEndsTheReadAtOnce) {
    Connection ended = Connect();
    ASSERT_TRUE(ended.stream && ended.peer);
    ended.peer.reset();
    const Read r = ReceiveOnce(*ended.stream, 2000);
    EXPECT_EQ(r.result, 0);
    EXPECT_LT(r.ms, 1000u);  // the end is seen at once, not after the wait

    // A reset ends the reads at once too (Wine reports it as the end, Windows as WSAECONNRESET).
    Connection reset = Connect();
    ASSERT_TRUE(reset.stream && reset.peer);
    const LINGER abort{1, 0};  // closing with no linger sends a reset
    ::setsockopt(reset.peer.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    reset.peer.reset();
    const Read afterReset = ReceiveOnce(*reset.stream, 2000);
    EXPECT_LE(afterReset.result, 0);
    EXPECT_LT(afterReset.ms, 1000u);

    std::unique_ptr<IByteStream> unconnected = ProcessNetwork().NewStream();
    EXPECT_EQ(ReceiveOnce(*unconnected, 10).result, -1);
    EXPECT_EQ(unconnected->LastError(), WSAENOTCONN);
}

}  // namespace
