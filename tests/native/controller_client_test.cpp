// The library's protocol client against a scripted printer: what goes on the wire, what each
// answer turns into, and how a broken exchange ends the connection until the next connect.
#include <gtest/gtest.h>

#include "tests/native/fakes/HexBytes.h"
#include "tests/native/fakes/ManualClock.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "controller/ControllerClient.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Hex(const std::uint8_t* data, std::size_t size) {
    std::ostringstream out;
    out << std::uppercase << std::hex;
    for (std::size_t i = 0; i < size; ++i) {
        if (i) out << ' ';
        out.width(2);
        out.fill('0');
        out << unsigned(data[i]);
    }
    return out.str();
}

// What the scripted printer does when the client next waits for data: send `bytes` after
// `delayMs` (when the client waits that long), close its side, or fail the socket.
struct Arrival {
    enum Kind { kData, kClose, kError } kind = kData;
    Bytes bytes;
    std::uint32_t delayMs = 0;
};

Arrival Data(const char* hex, std::uint32_t delayMs = 0) { return {Arrival::kData, HexBytes(hex), delayMs}; }
const Arrival kPeerCloses{Arrival::kClose, {}, 0};
const Arrival kSocketError{Arrival::kError, {}, 0};

// One scripted connection: whether it connects, what arrives, and which send fails (-1: none).
struct Peer {
    bool connects = true;
    std::deque<Arrival> arrivals;
    int failingSend = -1;
};

// Every stream the client opens takes the next scripted peer and records what happens to it as
// lines: "connect HOST PORT TIMEOUT", "send HEX", "wait MS", "close". Once the script is used up
// the printer says nothing more, so a wait lasts its whole time.
class ScriptNetwork final : public INetwork {
public:
    explicit ScriptNetwork(ManualClock& clock) : m_clock(clock) {}

    std::unique_ptr<IByteStream> NewStream() override { return std::make_unique<Stream>(*this); }
    std::unique_ptr<IDatagramSocket> NewDatagramSocket() override { return nullptr; }
    std::string ResolveIpv4(std::wstring_view) override { return {}; }

    std::deque<Peer> m_peers;
    std::vector<std::string> m_log;

private:
    class Stream final : public IByteStream {
    public:
        explicit Stream(ScriptNetwork& network) : m_network(network) {}
        ~Stream() override { Close(); }

        bool Connect(std::wstring_view host, std::uint16_t port, std::uint32_t timeoutMs) override {
            m_network.m_log.push_back("connect " + std::string(host.begin(), host.end()) + " " + std::to_string(port) +
                                      " " + std::to_string(timeoutMs));
            if (m_network.m_peers.empty()) return false;
            m_peer = std::move(m_network.m_peers.front());
            m_network.m_peers.pop_front();
            m_open = m_peer.connects;
            return m_open;
        }
        int Send(const std::uint8_t* data, std::size_t size) override {
            if (!m_open || m_sends++ == m_peer.failingSend) return -1;
            m_network.m_log.push_back("send " + Hex(data, size));
            return static_cast<int>(size);
        }
        int Receive(std::uint8_t* buffer, std::size_t size, std::uint32_t timeoutMs) override {
            m_network.m_log.push_back("wait " + std::to_string(timeoutMs));
            if (!m_open) return -1;
            if (m_peer.arrivals.empty() || m_peer.arrivals.front().delayMs > timeoutMs) {
                if (!m_peer.arrivals.empty()) m_peer.arrivals.front().delayMs -= timeoutMs;
                m_network.m_clock.Advance(timeoutMs);
                return 0;
            }
            Arrival next = std::move(m_peer.arrivals.front());
            m_peer.arrivals.pop_front();
            m_network.m_clock.Advance(next.delayMs);
            if (next.kind == Arrival::kClose) return 0;
            if (next.kind == Arrival::kError) return -1;
            EXPECT_LE(next.bytes.size(), size);
            std::copy(next.bytes.begin(), next.bytes.end(), buffer);
            return static_cast<int>(next.bytes.size());
        }
        bool ShutdownSend() override { return m_open; }
        void Close() override {
            if (m_open) m_network.m_log.push_back("close");
            m_open = false;
        }
        int LastError() const override { return 0; }

    private:
        ScriptNetwork& m_network;
        Peer m_peer;
        bool m_open = false;
        int m_sends = 0;
    };

    ManualClock& m_clock;
};

// The printer's answers and the client's requests, as in controller/README.md.
constexpr const char* kHelloReached = "43 52 01 01 00 00 00 01 00 00 01 01";
constexpr const char* kStatusReady = "43 52 01 03 00 00 00 02 00 00 09 01 00 00 00 00 00 00 00 00";
constexpr const char* kHelloRequest = "send 43 51 01 01 00 00 00 01 00 09 31 32 37 2E 30 2E 30 2E 32";
constexpr const char* kStatusRequest2 = "send 43 51 01 03 00 00 00 02 00 00";

class ControllerClientTest : public ::testing::Test {
protected:
    Peer& AddPeer(std::initializer_list<Arrival> arrivals) {
        Peer peer;
        peer.arrivals.assign(arrivals.begin(), arrivals.end());
        network.m_peers.push_back(std::move(peer));
        return network.m_peers.back();
    }
    std::vector<std::string> TakeLog() { return std::exchange(network.m_log, {}); }

    ManualClock clock;
    ScriptNetwork network{clock};
    ctl::ControllerClient client{network, clock};
};

TEST_F(ControllerClientTest, WalksEveryRequestWithIdsFromOne) {
    AddPeer({Data(kHelloReached),
             Data("43 52 01 02 00 00 00 02 00 00 07 4D 44 4C 3A 5A 54 3B"),
             Data("43 52 01 03 00 00 00 03 00 00 09 01 86 00 00 00 00 00 00 06"),
             Data("43 52 01 04 00 00 00 04 00 00 01 01"),
             Data("43 52 01 05 00 00 00 05 00 00 01 00"),
             Data("43 52 01 06 00 00 00 06 00 00 04 00 00 00 2D")});

    ASSERT_TRUE(client.Connect("127.0.0.2"));
    EXPECT_EQ(client.GetInfo(), "MDL:ZT;");
    const auto status = client.GetStatus();
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->answer);
    EXPECT_EQ(status->status, 0x86000000u);
    EXPECT_EQ(status->detail, 6u);
    EXPECT_TRUE(client.StartUpdate(0));
    EXPECT_FALSE(client.RequestReboot()) << "the printer refused";
    EXPECT_EQ(client.GetOperationCode(), 45);
    EXPECT_TRUE(client.Connected());

    const std::vector<std::string> expected = {
        "connect 127.0.0.2 9180 3000",
        kHelloRequest,
        "wait 5000",
        "send 43 51 01 02 00 00 00 02 00 00",
        "wait 5000",
        "send 43 51 01 03 00 00 00 03 00 00",
        "wait 5000",
        "send 43 51 01 04 00 00 00 04 00 04 00 00 00 00",
        "wait 5000",
        "send 43 51 01 05 00 00 00 05 00 00",
        "wait 5000",
        "send 43 51 01 06 00 00 00 06 00 00",
        "wait 5000",
    };
    EXPECT_EQ(TakeLog(), expected);
}

TEST_F(ControllerClientTest, ResponseArrivingInPiecesIsReassembled) {
    AddPeer({Data("43"), Data("52 01 01 00 00", 1000), Data("00 01 00 00 01", 1000), Data("01", 1000)});
    ASSERT_TRUE(client.Connect("127.0.0.2"));
    const std::vector<std::string> expected = {"connect 127.0.0.2 9180 3000", kHelloRequest, "wait 5000",
                                               "wait 5000", "wait 4000", "wait 3000"};
    EXPECT_EQ(TakeLog(), expected) << "each wait is what is left of the response's time";
}

// A broken exchange closes the connection, and every later request fails without traffic.
TEST_F(ControllerClientTest, BrokenExchangeClosesTheConnection) {
    const struct {
        const char* what;
        std::vector<Arrival> answer;  // to GET_STATUS, id 2
        int failingSend = -1;
    } cases[] = {
        {"no answer at all", {}},
        {"answer after the time-out", {Data(kStatusReady, 5001)}},
        {"answer trickling past the time-out",
         {Data("43 52 01 03", 2000), Data("00 00 00 02", 2000), Data("00 00 09 01 00 00", 2000), Data("00 00 00 00 00 00")}},
        {"answer incomplete when the time is up",
         {Data("43 52 01 03 00 00 00 02", 2000), Data("00 00 09 01 00 00", 3000), Data("00 00 00 00 00 00")}},
        {"another id", {Data("43 52 01 03 00 00 00 07 00 00 09 01 00 00 00 00 00 00 00 00")}},
        {"another type", {Data("43 52 01 02 00 00 00 02 00 00 00")}},
        {"a request's magic", {Data("43 51 01 03 00 00 00 02 00 00")}},
        {"status words short", {Data("43 52 01 03 00 00 00 02 00 00 08 01 00 00 00 00 00 00 00")}},
        {"bytes after the response", {Data("43 52 01 03 00 00 00 02 00 00 09 01 00 00 00 00 00 00 00 00 43")}},
        {"truncated, then closed", {Data("43 52 01 03 00 00 00 02 00 00 09 01"), kPeerCloses}},
        {"closed by the printer", {kPeerCloses}},
        {"socket error", {kSocketError}},
        {"send fails", {Data(kStatusReady)}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Peer& peer = AddPeer({Data(kHelloReached)});
        peer.arrivals.insert(peer.arrivals.end(), c.answer.begin(), c.answer.end());
        peer.failingSend = c.failingSend;
        ASSERT_TRUE(client.Connect("127.0.0.2"));
        TakeLog();

        EXPECT_FALSE(client.GetStatus());
        EXPECT_FALSE(client.Connected());
        std::vector<std::string> log = TakeLog();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), "close");
        if (c.failingSend < 0) {
            EXPECT_EQ(log.front(), kStatusRequest2);
        }

        EXPECT_FALSE(client.GetInfo());
        EXPECT_FALSE(client.GetStatus());
        EXPECT_FALSE(client.StartUpdate(0));
        EXPECT_FALSE(client.RequestReboot());
        EXPECT_FALSE(client.GetOperationCode());
        EXPECT_TRUE(TakeLog().empty());
    }
}

// An error result is an answer: the request fails, the connection stays in step and the next
// request goes out with the next id.
TEST_F(ControllerClientTest, ErrorResultsFailButKeepTheConnection) {
    for (const char* result : {"01", "02", "03", "04"}) {
        SCOPED_TRACE(result);
        const std::string failed = std::string("43 52 01 06 00 00 00 02 ") + result + " 00 00";
        AddPeer({Data(kHelloReached), Data(failed.c_str()), Data("43 52 01 06 00 00 00 03 00 00 04 FF FF FF FE")});
        ASSERT_TRUE(client.Connect("127.0.0.2"));
        EXPECT_FALSE(client.GetOperationCode());
        EXPECT_TRUE(client.Connected());
        EXPECT_EQ(client.GetOperationCode(), -2);
        EXPECT_EQ(TakeLog().back(), "wait 5000");
    }
}

TEST_F(ControllerClientTest, ConnectFailsCleanly) {
    const struct {
        const char* what;
        std::string address;
        bool connects;
        std::vector<Arrival> answer;  // to HELLO
        std::vector<std::string> log;
    } cases[] = {
        {"another printer's address", "127.0.0.2", true, {Data("43 52 01 01 00 00 00 01 00 00 01 00")},
         {"connect 127.0.0.2 9180 3000", kHelloRequest, "wait 5000", "close"}},
        {"HELLO refused", "127.0.0.2", true, {Data("43 52 01 01 00 00 00 01 02 00 00")},
         {"connect 127.0.0.2 9180 3000", kHelloRequest, "wait 5000", "close"}},
        {"HELLO unanswered", "127.0.0.2", true, {}, {"connect 127.0.0.2 9180 3000", kHelloRequest, "wait 5000", "close"}},
        {"nobody listening", "127.0.0.2", false, {}, {"connect 127.0.0.2 9180 3000"}},
        {"empty address", "", true, {}, {}},
        {"address with a space", "127.0.0.2 ", true, {}, {}},
        {"address too long", std::string(65, '1'), true, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        network.m_peers.clear();
        Peer& peer = AddPeer({});
        peer.connects = c.connects;
        peer.arrivals.assign(c.answer.begin(), c.answer.end());

        EXPECT_FALSE(client.Connect(c.address));
        EXPECT_FALSE(client.Connected());
        EXPECT_EQ(TakeLog(), c.log);
        EXPECT_FALSE(client.GetInfo());
        EXPECT_TRUE(TakeLog().empty());
    }
}

TEST_F(ControllerClientTest, RequestsBeforeAnyConnectFailWithoutTraffic) {
    EXPECT_FALSE(client.GetInfo());
    EXPECT_FALSE(client.GetStatus());
    EXPECT_FALSE(client.StartUpdate(0));
    EXPECT_FALSE(client.RequestReboot());
    EXPECT_FALSE(client.GetOperationCode());
    EXPECT_TRUE(network.m_log.empty());
}

TEST_F(ControllerClientTest, ConnectReplacesTheConnectionAndRestartsIds) {
    AddPeer({Data(kHelloReached), Data(kStatusReady)});
    AddPeer({Data(kHelloReached), Data(kStatusReady)});
    ASSERT_TRUE(client.Connect("127.0.0.2"));
    ASSERT_TRUE(client.GetStatus());
    ASSERT_TRUE(client.Connect("127.0.0.2"));
    ASSERT_TRUE(client.GetStatus()) << "id 2 again on the new connection";
    const std::vector<std::string> connection = {"connect 127.0.0.2 9180 3000", kHelloRequest, "wait 5000",
                                                 kStatusRequest2, "wait 5000"};
    std::vector<std::string> expected = connection;
    expected.push_back("close");
    expected.insert(expected.end(), connection.begin(), connection.end());
    EXPECT_EQ(TakeLog(), expected);
}

TEST_F(ControllerClientTest, ReconnectAfterATimeOutStartsAfresh) {
    AddPeer({Data(kHelloReached)});
    AddPeer({Data(kHelloReached), Data(kStatusReady)});
    ASSERT_TRUE(client.Connect("127.0.0.2"));
    EXPECT_FALSE(client.GetStatus());
    EXPECT_FALSE(client.GetStatus());
    TakeLog();
    ASSERT_TRUE(client.Connect("127.0.0.2"));
    EXPECT_TRUE(client.GetStatus());
    const std::vector<std::string> expected = {"connect 127.0.0.2 9180 3000", kHelloRequest, "wait 5000",
                                               kStatusRequest2, "wait 5000"};
    EXPECT_EQ(TakeLog(), expected);
}

TEST_F(ControllerClientTest, DestructionClosesTheConnection) {
    AddPeer({Data(kHelloReached)});
    {
        ctl::ControllerClient scoped(network, clock);
        ASSERT_TRUE(scoped.Connect("127.0.0.2"));
    }
    EXPECT_EQ(TakeLog().back(), "close");
}

}  // namespace
