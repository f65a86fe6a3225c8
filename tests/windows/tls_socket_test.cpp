// The TLS socket's record logic over a scripted security package (ScriptedSecurity.h) and a real
// loopback connection: how Send cuts records, how Recieve hands out records that TCP delivers
// whole, cut or together, renegotiation, the peer's close, the wrong-state checks, the order of
// releases on destruction, and the diagnostic lines.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <numeric>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/tls/ClientSocket.h"
#include "common/tls/Common.h"
#include "common/win32/CodePage.h"
#include "common/win32/UniqueHandle.h"
#include "ports/win32/TlsStream.h"
#include "tests/windows/LoopbackListener.h"
#include "tests/windows/ScriptedSecurity.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The other end of the connection: plain Winsock, driven by the test.
class Peer {
public:
    // A read for bytes that never come fails the test instead of hanging it.
    explicit Peer(UniqueSocket socket) : m_socket(std::move(socket)) {
        const DWORD guard = 5000;
        ::setsockopt(m_socket.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&guard), sizeof guard);
    }

    void Write(const Bytes& bytes) {
        ASSERT_EQ(::send(m_socket.get(), reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0),
                  static_cast<int>(bytes.size()));
    }

    // Exactly `size` bytes, or what came before the connection ended.
    Bytes Read(std::size_t size) {
        Bytes bytes(size);
        std::size_t got = 0;
        while (got < size) {
            const int n = ::recv(m_socket.get(), reinterpret_cast<char*>(bytes.data() + got), static_cast<int>(size - got), 0);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
        return bytes;
    }

    // Everything until the client half-closes.
    Bytes ReadToEnd() {
        Bytes all;
        char chunk[4096];
        for (;;) {
            const int n = ::recv(m_socket.get(), chunk, sizeof chunk, 0);
            if (n <= 0) return all;
            all.insert(all.end(), chunk, chunk + n);
        }
    }

    void Close() { m_socket.reset(); }

private:
    UniqueSocket m_socket;
};

class TlsRecords : public testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA data{};
        ::WSAStartup(MAKEWORD(2, 2), &data);
    }

    void SetUp() override {
        m_previousSink = Tls::SetLineSink([this](Tls::LineChannel, const std::wstring& line) { m_lines.push_back(line); });
        sockaddr_in address{};
        m_listener = ListenOnLoopback(4, address);
        ASSERT_TRUE(m_listener);
        m_port = ::ntohs(address.sin_port);
    }

    void TearDown() override { Tls::SetLineSink(std::move(m_previousSink)); }

    UniqueSocket Accept() { return UniqueSocket(::accept(m_listener.get(), nullptr, nullptr)); }

    // A socket in state 3 and its peer, after the toy handshake in which the peer answers with
    // `answer` in one send. The peer goes first at the end, so that the socket's close finds it
    // gone instead of waiting for it.
    struct Connection {
        std::unique_ptr<Tls::ClientSocket> client;
        std::unique_ptr<Peer> peer;
    };
    Connection Secure(const Bytes& answer = BytesOf("WELCOME")) {
        auto client = std::make_unique<Tls::ClientSocket>(m_package.Table());
        EXPECT_EQ(client->GetState(), Tls::ClientSocket::kReady);
        auto handshake = std::async(std::launch::async, [this, &answer] {
            auto accepted = std::make_unique<Peer>(Accept());
            const Bytes hello = accepted->Read(5);
            accepted->Write(answer);
            const Bytes done = accepted->Read(4);
            return std::make_tuple(std::move(accepted), hello, done);
        });
        EXPECT_EQ(client->Connect(L"127.0.0.1", m_port), 0);
        auto [accepted, hello, done] = handshake.get();
        EXPECT_EQ(hello, BytesOf("HELLO"));
        EXPECT_EQ(done, BytesOf("DONE"));
        EXPECT_EQ(client->GetState(), Tls::ClientSocket::kSecure);
        // A read of the socket that should not happen fails the test instead of hanging it.
        const DWORD guard = 3000;
        ::setsockopt(client->Handle(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&guard), sizeof guard);
        m_package.log.clear();
        m_lines.clear();
        return Connection{std::move(client), std::move(accepted)};
    }

    // The ports' stream through the same toy handshake; its peer, or null when it did not connect.
    std::unique_ptr<Peer> ConnectStream(TlsStream& stream) {
        auto handshake = std::async(std::launch::async, [this] {
            auto accepted = std::make_unique<Peer>(Accept());
            accepted->Read(5);
            accepted->Write(BytesOf("WELCOME"));
            accepted->Read(4);
            return accepted;
        });
        const bool connected = stream.Connect(L"127.0.0.1", m_port, 2000);
        std::unique_ptr<Peer> peer = handshake.get();
        return connected ? std::move(peer) : nullptr;
    }

    bool HasLine(const std::wstring& function, const std::wstring& detail) const {
        return std::any_of(m_lines.begin(), m_lines.end(), [&](const std::wstring& line) {
            return line.find(L" : " + function + L" : ") != std::wstring::npos && line.ends_with(L" : " + detail);
        });
    }

    ScriptedSecurity m_package;
    UniqueSocket m_listener;
    u_short m_port = 0;
    std::vector<std::wstring> m_lines;
    Tls::LineSink m_previousSink;
};

TEST_F(TlsRecords, SendCutsTheDataIntoRecordsOfTheLargestPiece) {
    auto [client, peer] = Secure();

    EXPECT_EQ(client->Send("x", 0), 0);
    EXPECT_EQ(m_package.Count("encrypt 0"), 0) << "no record for nothing";
    EXPECT_TRUE(m_package.encryptedPieces.empty());

    // Header 5, trailer 16, maximum message 16384: at most 16363 bytes a record.
    Bytes data(2 * 16363 + 100);
    std::iota(data.begin(), data.end(), std::uint8_t{7});
    ASSERT_EQ(client->Send(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    EXPECT_EQ(m_package.encryptedPieces, (std::vector<unsigned long>{16363, 16363, 100}));

    std::vector<Bytes> payloads;
    ASSERT_TRUE(ScriptedSecurity::ReadRecords(peer->Read(3 * 21 + data.size()), payloads));
    ASSERT_EQ(payloads.size(), 3u);
    Bytes received;
    for (const Bytes& p : payloads) received.insert(received.end(), p.begin(), p.end());
    EXPECT_EQ(received, data);
    EXPECT_TRUE(m_lines.empty());
}

TEST_F(TlsRecords, ARecordIsHandedOutInPiecesWithoutReadingAgain) {
    auto [client, peer] = Secure();
    const std::string text = "0123456789abcdefghijklmnopqrstuvwxyzABCD";  // 40 bytes
    peer->Write(ScriptedSecurity::DataRecord(text));

    std::string got;
    for (int expected : {16, 16, 8}) {
        char buffer[16];
        const int n = client->Recieve(buffer, sizeof buffer);
        ASSERT_EQ(n, expected);
        got.append(buffer, n);
    }
    EXPECT_EQ(got, text);
    EXPECT_EQ(m_package.Count("decrypt"), 1);
}

TEST_F(TlsRecords, OfTwoRecordsInOneSegmentTheSecondWaitsForTheNextCall) {
    auto [client, peer] = Secure();
    Bytes both = ScriptedSecurity::DataRecord("first ten.");
    const Bytes second = ScriptedSecurity::DataRecord("and the second: 20 b");
    both.insert(both.end(), second.begin(), second.end());
    peer->Write(both);

    char buffer[100];
    ASSERT_EQ(client->Recieve(buffer, sizeof buffer), 10);
    EXPECT_EQ(std::string(buffer, 10), "first ten.");
    EXPECT_EQ(client->Poll(0, 0), 1);
    ASSERT_EQ(client->Recieve(buffer, sizeof buffer), 20);
    EXPECT_EQ(std::string(buffer, 20), "and the second: 20 b");
}

TEST_F(TlsRecords, ARecordCutByTcpWaitsForItsRest) {
    auto [client, peer] = Secure();
    const Bytes record = ScriptedSecurity::DataRecord("whole at last");
    peer->Write(Bytes(record.begin(), record.begin() + 9));

    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(client->Poll(0, 300000), 0);
    EXPECT_GE(::GetTickCount64() - start, 250u);
    EXPECT_EQ(client->Recieve(nullptr, 0), 0) << "check-only: nothing whole has arrived";

    peer->Write(Bytes(record.begin() + 9, record.end()));
    EXPECT_EQ(client->Poll(5, 0), 1);
    char buffer[64];
    ASSERT_EQ(client->Recieve(buffer, sizeof buffer), 13);
    EXPECT_EQ(std::string(buffer, 13), "whole at last");
    EXPECT_TRUE(m_lines.empty());
}

TEST_F(TlsRecords, AnEmptyRecordIsNotTheEndOfTheStream) {
    auto [client, peer] = Secure();
    peer->Write(ScriptedSecurity::DataRecord(""));
    auto later = std::async(std::launch::async, [&] {
        ::Sleep(100);
        peer->Write(ScriptedSecurity::DataRecord("later"));
    });
    char buffer[64];
    EXPECT_EQ(client->Recieve(buffer, sizeof buffer), 5);
    later.get();
    EXPECT_EQ(std::string(buffer, 5), "later");
    EXPECT_EQ(client->GetState(), Tls::ClientSocket::kSecure);
}

TEST_F(TlsRecords, ARenegotiationRunsTheHandshakeAgainAndReadingGoesOn) {
    auto [client, peer] = Secure();
    peer->Write(ScriptedSecurity::Record(0x16, {}));
    auto server = std::async(std::launch::async, [&] {
        const Bytes hello = peer->Read(5);
        Bytes answer = BytesOf("WELCOME");
        const Bytes after = ScriptedSecurity::DataRecord("after renegotiation");
        answer.insert(answer.end(), after.begin(), after.end());
        peer->Write(answer);
        return hello;
    });
    char buffer[64];
    const int n = client->Recieve(buffer, sizeof buffer);
    EXPECT_EQ(server.get(), BytesOf("HELLO"));
    ASSERT_EQ(n, 19);
    EXPECT_EQ(std::string(buffer, 19), "after renegotiation");
    EXPECT_EQ(client->GetState(), Tls::ClientSocket::kSecure);
    EXPECT_EQ(peer->Read(4), BytesOf("DONE"));
}

TEST_F(TlsRecords, ThePeersCloseEndsTheSessionAfterTheDataBeforeIt) {
    for (const bool silentClose : {false, true}) {
        SCOPED_TRACE(silentClose ? "the package takes the close as an empty record" : "the package reports the close");
        m_package.closeAsEmptyRecord = silentClose;
        auto [client, peer] = Secure();
        Bytes bytes = ScriptedSecurity::DataRecord("bye");
        const Bytes close = ScriptedSecurity::Record(0x15, {});
        bytes.insert(bytes.end(), close.begin(), close.end());
        peer->Write(bytes);

        char buffer[64];
        ASSERT_EQ(client->Recieve(buffer, sizeof buffer), 3);
        EXPECT_EQ(client->Recieve(buffer, sizeof buffer), 0);
        EXPECT_EQ(client->GetState(), Tls::ClientSocket::kClosedByPeer);
        EXPECT_TRUE(m_lines.empty());

        EXPECT_EQ(client->Send("x", 1), -1);
        EXPECT_EQ(client->Recieve(buffer, sizeof buffer), -1);
        EXPECT_EQ(client->Poll(0, 0), -1);
        EXPECT_EQ(client->Shutdown(), -1);
        for (const wchar_t* function : {L"Tls::ClientSocket::Send", L"Tls::ClientSocket::Recieve",
                                        L"Tls::ClientSocket::Poll", L"Tls::ClientSocket::Shutdown"}) {
            EXPECT_TRUE(HasLine(function, L"ステータス異常")) << function;
        }
    }
}

TEST_F(TlsRecords, ACloseFoundWhileWaitingIsReportedByTheNextRead) {
    auto [client, peer] = Secure();
    peer->Write(ScriptedSecurity::Record(0x15, {}));
    EXPECT_EQ(client->Poll(2, 0), 0);  // nothing to read, and nothing will come
    EXPECT_EQ(client->GetState(), Tls::ClientSocket::kClosedByPeer);
    char buffer[8];
    EXPECT_EQ(client->Recieve(buffer, sizeof buffer), 0);
    EXPECT_TRUE(m_lines.empty());
}

TEST_F(TlsRecords, ConnectOnASecureSocketIsTheWrongState) {
    auto [client, peer] = Secure();
    EXPECT_EQ(client->Connect(L"127.0.0.1", m_port), -1);
    EXPECT_EQ(client->ConnectWithTimeout(L"127.0.0.1", 1000, m_port), -1);
    ASSERT_EQ(m_lines.size(), 2u);
    // file : function : its own source line : detail
    const std::wregex format(L"ClientSocket\\.cpp : Tls::ClientSocket::Connect : [0-9]+ : ステータス異常");
    EXPECT_TRUE(std::regex_match(m_lines[0], format)) << WideToCodePage(CP_UTF8, m_lines[0]);
    EXPECT_TRUE(HasLine(L"Tls::ClientSocket::ConnectWithTimeout", L"ステータス異常"));
    EXPECT_EQ(client->GetState(), Tls::ClientSocket::kSecure);
}

TEST_F(TlsRecords, DestroyingASecureSocketClosesTlsBeforeTheSocket) {
    auto [client, peer] = Secure();
    auto server = std::async(std::launch::async, [&] {
        Bytes all = peer->ReadToEnd();  // ends with the client's half-close
        peer->Close();
        return all;
    });
    client.reset();
    EXPECT_EQ(server.get(), ScriptedSecurity::Record(0x15, {}));
    EXPECT_EQ(m_package.log, (std::vector<std::string>{"apply control", "isc close", "delete context", "free credentials"}));
    EXPECT_TRUE(m_lines.empty());
}

TEST_F(TlsRecords, DestroyingASocketInTheHandshakeClosesOnlyTheSocket) {
    auto client = std::make_unique<Tls::ClientSocket>(m_package.Table());
    auto server = std::async(std::launch::async, [this] {
        Peer peer(Accept());
        const Bytes hello = peer.Read(5);
        peer.Close();  // hangs up in the middle of the handshake
        return hello;
    });
    EXPECT_EQ(client->Connect(L"127.0.0.1", m_port), -1);
    EXPECT_EQ(server.get(), BytesOf("HELLO"));
    EXPECT_EQ(client->GetState(), Tls::ClientSocket::kHandshaking);
    EXPECT_TRUE(HasLine(L"Tls::ClientSocket::Negotiate", L"recv : 接続クローズ"));
    EXPECT_TRUE(HasLine(L"Tls::ClientSocket::Connect", L"Negotiate"));

    m_package.log.clear();
    client.reset();
    EXPECT_EQ(m_package.log, (std::vector<std::string>{"delete context", "free credentials"}));
}

TEST_F(TlsRecords, AContextWithoutCertificateIsReportedAndNotTrusted) {
    auto [client, peer] = Secure();
    EXPECT_EQ(client->RetrieveServerCertificate(), nullptr);
    EXPECT_TRUE(HasLine(L"Tls::ClientSocket::RetrieveServerCertificate", L"QueryContextAttributes : 0x8009030e"));
}

// The ports' stream: connected through the same handshake, it shows no certificate for a context
// that yields none, and its half-close ends the TLS session first.
TEST_F(TlsRecords, TheStreamShowsNoCertificateWhereThereIsNoneAndClosesInOrder) {
    TlsStream stream(m_package.Table());
    std::unique_ptr<Peer> peer = ConnectStream(stream);
    ASSERT_TRUE(peer);
    PresentedCertificate certificate;
    EXPECT_FALSE(stream.PeerCertificate({L"127.0.0.1"}, certificate));

    peer->Write(ScriptedSecurity::DataRecord("ack"));
    std::uint8_t buffer[8];
    EXPECT_EQ(stream.Receive(buffer, sizeof buffer, 2000), 3);
    EXPECT_EQ(stream.Receive(buffer, sizeof buffer, 100), 0);

    auto server = std::async(std::launch::async, [&] {
        Bytes all = peer->ReadToEnd();
        peer->Close();
        return all;
    });
    EXPECT_TRUE(stream.ShutdownSend());
    EXPECT_EQ(server.get(), ScriptedSecurity::Record(0x15, {}));
    EXPECT_EQ(stream.Receive(buffer, sizeof buffer, 100), 0) << "the end of the stream, not a failure";
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The peer's handshake messages that came in one segment go to the package one call after the
// other, each call getting exactly what the one before left over, with no read in between: the
// peer sends nothing more until it has the client's answer, so a read would wait and fail.
TEST_F(TlsRecords, HandshakeMessagesThatCameTogetherAreTakenOneACallWithoutReadingAgain) {
    const Bytes first = ScriptedSecurity::CertificateMessage(10);
    const Bytes second = ScriptedSecurity::CertificateMessage(3);
    const Bytes welcome = BytesOf("WELCOME");
    struct Case {
        const char* name;
        Bytes answer;
        std::vector<std::string> inputs;
    };
    const Case cases[] = {
        {"one message ahead of the last", Join({first, welcome}), {Text(Join({first, welcome})), "WELCOME"}},
        {"two messages ahead of the last", Join({first, second, welcome}),
         {Text(Join({first, second, welcome})), Text(Join({second, welcome})), "WELCOME"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_package.handshakeInputs.clear();
        const ULONGLONG start = ::GetTickCount64();
        auto [client, peer] = Secure(c.answer);
        EXPECT_LT(::GetTickCount64() - start, Tls::ClientSocket::kReadTimeoutMs / 2);
        EXPECT_EQ(m_package.handshakeInputs, c.inputs);
        EXPECT_TRUE(m_lines.empty());
    }
}

TEST_F(TlsRecords, ARecordThatCameWithTheHandshakesLastMessageIsThereWithoutWaiting) {
    auto [client, peer] = Secure(Join({BytesOf("WELCOME"), ScriptedSecurity::DataRecord("early")}));
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(client->Poll(2, 0), 1);
    EXPECT_LT(::GetTickCount64() - start, 500u);
    char buffer[16];
    ASSERT_EQ(client->Recieve(buffer, sizeof buffer), 5);
    EXPECT_EQ(std::string(buffer, 5), "early");
}

TEST_F(TlsRecords, AHandshakeMessageLargerThanAnyFailsTheHandshake) {
    auto client = std::make_unique<Tls::ClientSocket>(m_package.Table());
    auto server = std::async(std::launch::async, [this] {
        UniqueSocket accepted = Accept();
        char hello[5];
        ::recv(accepted.get(), hello, sizeof hello, 0);
        // Says 2 MB and sends 1.2 MB of it; the client's close ends a send it no longer reads.
        const Bytes message = ScriptedSecurity::CertificateMessage(2 << 20, 1200 << 10);
        ::send(accepted.get(), reinterpret_cast<const char*>(message.data()), static_cast<int>(message.size()), 0);
    });
    EXPECT_EQ(client->Connect(L"127.0.0.1", m_port), -1);
    EXPECT_TRUE(HasLine(L"Tls::ClientSocket::Negotiate", L"recv : 受信データが大きすぎる"));
    EXPECT_EQ(client->GetState(), Tls::ClientSocket::kHandshaking);
    client.reset();
    server.get();
}

// The peer sends `bytes`: `lead` of them at once, then one every `intervalMs` (0: no more) until
// all are sent or it is told to stop.
struct Trickle {
    std::size_t lead;
    DWORD intervalMs;
};

std::future<void> SendTrickled(Peer& peer, Bytes bytes, Trickle trickle, std::shared_future<void> stop) {
    return std::async(std::launch::async, [&peer, bytes = std::move(bytes), trickle, stop] {
        const std::size_t lead = std::min(trickle.lead, bytes.size());
        if (lead > 0) peer.Write(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(lead)));
        for (std::size_t at = lead; at < bytes.size() && trickle.intervalMs > 0; ++at) {
            if (stop.wait_for(std::chrono::milliseconds(trickle.intervalMs)) == std::future_status::ready) return;
            peer.Write(Bytes{bytes[at]});
        }
    });
}

// A peer that stalls in the handshake, or trickles it, fails it with WSAETIMEDOUT: after the
// read time-out of silence, or at the handshake's whole bound.
TEST_F(TlsRecords, AHandshakeThatStallsFailsWithinItsBounds) {
    struct Case {
        const char* name;
        Trickle trickle;
        DWORD handshakeMs;
        DWORD failsAfterMs;
    };
    const Case cases[] = {
        {"cut short, then silent", {3, 0}, Tls::ClientSocket::kHandshakeTimeoutMs, Tls::ClientSocket::kReadTimeoutMs},
        {"a byte every 300 ms", {0, 300}, 1500, 1500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_lines.clear();
        Tls::ClientSocket client(m_package.Table());
        Tls::ClientSocket::Timeouts timeouts;
        timeouts.handshakeMs = c.handshakeMs;
        client.SetTimeouts(timeouts);
        std::promise<void> stop;
        auto server = std::async(std::launch::async, [&] {
            auto peer = std::make_unique<Peer>(Accept());
            peer->Read(5);
            SendTrickled(*peer, BytesOf("WELCOME"), c.trickle, stop.get_future().share()).get();
            return peer;
        });
        const ULONGLONG start = ::GetTickCount64();
        EXPECT_EQ(client.Connect(L"127.0.0.1", m_port), -1);
        EXPECT_EQ(::WSAGetLastError(), WSAETIMEDOUT);
        const ULONGLONG elapsed = ::GetTickCount64() - start;
        stop.set_value();
        server.get();
        EXPECT_GE(elapsed, c.failsAfterMs - 50);
        EXPECT_LT(elapsed, c.failsAfterMs + 500);
        EXPECT_TRUE(HasLine(L"Tls::ClientSocket::WaitToRead", L"recv : 10060"));
        EXPECT_TRUE(HasLine(L"Tls::ClientSocket::Connect", L"Negotiate"));
        EXPECT_EQ(client.GetState(), Tls::ClientSocket::kHandshaking);
    }
}

// After the handshake: the rest of a record, or a renegotiation's answer, that does not come
// fails the read within its bounds with WSAETIMEDOUT. The session is over then: destroying the
// socket sends nothing more, no TLS close, and waits for nothing.
TEST_F(TlsRecords, AReadThatStallsFailsWithinItsBoundsAndTheSocketClosesWithoutTls) {
    const Bytes record = ScriptedSecurity::DataRecord("forty bytes of a record the peer trickles");
    struct Case {
        const char* name;
        Bytes bytes;
        Trickle trickle;
        DWORD recordMs;
        bool poll;  // the wait is Poll's rather than Recieve's
        DWORD failsAfterMs;
        int state;
        std::string leftForPeer;  // what the client sent before it failed
    };
    const Case cases[] = {
        {"half a record, then silence", record, {9, 0}, Tls::ClientSocket::kRecordTimeoutMs, false,
         Tls::ClientSocket::kReadTimeoutMs, Tls::ClientSocket::kBroken, ""},
        {"a record, a byte every 300 ms", record, {0, 300}, 1500, false, 1500, Tls::ClientSocket::kBroken, ""},
        {"a renegotiation never answered", ScriptedSecurity::Record(0x16, {}), {SIZE_MAX, 0},
         Tls::ClientSocket::kRecordTimeoutMs, true, Tls::ClientSocket::kReadTimeoutMs,
         Tls::ClientSocket::kHandshaking, "HELLO"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto [client, peer] = Secure();
        Tls::ClientSocket::Timeouts timeouts;
        timeouts.recordMs = c.recordMs;
        client->SetTimeouts(timeouts);
        std::promise<void> stop;
        auto sending = SendTrickled(*peer, c.bytes, c.trickle, stop.get_future().share());

        const ULONGLONG start = ::GetTickCount64();
        char buffer[64];
        EXPECT_EQ(c.poll ? client->Poll(5, 0) : client->Recieve(buffer, sizeof buffer), -1);
        EXPECT_EQ(::WSAGetLastError(), WSAETIMEDOUT);
        const ULONGLONG elapsed = ::GetTickCount64() - start;
        stop.set_value();
        sending.get();
        EXPECT_GE(elapsed, c.failsAfterMs - 50);
        EXPECT_LT(elapsed, c.failsAfterMs + 500);
        EXPECT_TRUE(HasLine(L"Tls::ClientSocket::WaitToRead", L"recv : 10060"));
        EXPECT_EQ(client->GetState(), c.state);
        EXPECT_EQ(client->Recieve(buffer, sizeof buffer), -1) << "nothing more is read";

        const ULONGLONG closing = ::GetTickCount64();
        client.reset();
        EXPECT_LT(::GetTickCount64() - closing, 300u);
        EXPECT_EQ(m_package.Count("apply control"), 0);
        EXPECT_EQ(Text(peer->ReadToEnd()), c.leftForPeer);
    }
}

// A peer that stops reading: the stream's send fails after its time-out (2 s here, 60 s for the
// firmware), and the end of the stream sends nothing more and does not wait.
TEST_F(TlsRecords, AStreamWhosePeerStopsReadingFailsTheSendInTimeAndClosesAtOnce) {
    const int small = 16384;
    ::setsockopt(m_listener.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
    TlsStream stream(m_package.Table());
    std::unique_ptr<Peer> peer = ConnectStream(stream);
    ASSERT_TRUE(peer);
    ::setsockopt(stream.Socket()->Handle(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small);
    m_package.log.clear();
    m_package.encryptedPieces.clear();

    Bytes data(16 << 20);
    std::iota(data.begin(), data.end(), std::uint8_t{1});
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(stream.Send(data.data(), data.size()), -1);
    const ULONGLONG sendMs = ::GetTickCount64() - start;
    EXPECT_EQ(stream.LastError(), net::kErrorTimedOut);
    EXPECT_GE(sendMs, 1950u);
    EXPECT_LT(sendMs, 3500u);
    EXPECT_EQ(stream.Socket()->GetState(), Tls::ClientSocket::kBroken);
    EXPECT_TRUE(HasLine(L"Tls::SendAll", L"send : 10060"));

    const ULONGLONG closing = ::GetTickCount64();
    stream.Close();
    EXPECT_LT(::GetTickCount64() - closing, 500u);
    EXPECT_EQ(m_package.Count("apply control"), 0);

    // The peer gets the records up to where the send stopped, and nothing behind them.
    Bytes records;
    std::size_t offset = 0;
    for (const unsigned long piece : m_package.encryptedPieces) {
        const Bytes record = ScriptedSecurity::Record(
            0x17, Bytes(data.begin() + static_cast<std::ptrdiff_t>(offset),
                        data.begin() + static_cast<std::ptrdiff_t>(offset + piece)));
        records.insert(records.end(), record.begin(), record.end());
        offset += piece;
    }
    const Bytes received = peer->ReadToEnd();
    EXPECT_GT(received.size(), 0u);
    EXPECT_LT(received.size(), records.size());
    EXPECT_TRUE(std::equal(received.begin(), received.end(), records.begin()))
        << received.size() << " bytes of " << records.size();
}

// Without a sink the line goes to the process's standard error, in the system's ANSI code page:
// Shift_JIS bytes on a Japanese system, question marks where the code page has no such letters.
TEST(TlsDiagnostics, ALineGoesToStandardErrorInTheSystemsAnsiCodePage) {
    if (const char* expected = std::getenv("EXPECT_ACP")) {
        ASSERT_EQ(::GetACP(), std::strtoul(expected, nullptr, 10));
    }
    wchar_t folder[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, folder);
    const std::wstring path = std::wstring(folder) + L"tls-diagnostic-" + std::to_wstring(::GetCurrentProcessId());

    ScriptedSecurity package;
    Tls::ClientSocket socket(package.Table());
    std::fflush(stderr);
    const int saved = ::_dup(2);
    const int file = ::_wopen(path.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, 0600);
    ASSERT_GE(file, 0);
    ::_dup2(file, 2);
    EXPECT_EQ(socket.Send("x", 1), -1);  // state 1: the wrong state
    std::fflush(stderr);
    ::_dup2(saved, 2);
    ::_close(file);
    ::_close(saved);

    std::ifstream in(path.c_str(), std::ios::binary);
    const std::string written{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    in.close();
    ::DeleteFileW(path.c_str());
    const std::string detail = ::GetACP() == 932 ? "\x83\x58\x83\x65\x81\x5B\x83\x5E\x83\x58\x88\xD9\x8F\xED"
                                                 : std::string(7, '?');
    const std::regex line("ClientSocket\\.cpp : Tls::ClientSocket::Send : [0-9]+ : (.*)\r?\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(written, match, line)) << written;
    EXPECT_EQ(match[1].str(), detail);
}

}  // namespace
