// The panel port against a scripted peer: how it connects (SNMP security check, plain or TLS, the
// named mutex), the exact frames and acknowledgements, retries, the panel's messages, failures,
// and bytes that TCP delivers together or apart.
#include <gtest/gtest.h>

#include "ports/PanelFrame.h"
#include "ports/PanelNetworkPort.h"
#include "tests/native/fakes/RecordingTrust.h"
#include "tests/native/fakes/RecordingPanelSystem.h"
#include "tests/native/fakes/ScriptedNetwork.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string CommandAck(const char* digits) { return std::string("\x06") + digits; }

std::string Message(std::uint16_t command, std::uint8_t sequence, std::uint8_t attempt = 0) {
    return Text(panel::EncodePanelFrame(command, sequence, attempt, {}));
}

// Positions 9 to 12 of a frame: its sequence and attempt numbers in hex.
std::string SequenceAndAttempt(const Bytes& frame) { return Text(Bytes(frame.begin() + 9, frame.begin() + 13)); }

constexpr char kReady[] = "MDL:Zentil-640;VER:3.30;PANEL:3.0.0;MODE:NORMAL;SECURITY:0.00;";
constexpr char kSecure[] = "MDL:Zentil-640;VER:3.30;PANEL:3.0.0;MODE:NORMAL;SECURITY:1.00;";

class PanelNetworkPortTest : public testing::Test {
protected:
    void SetUp() override {
        m_script.snmpAnswer = kReady;
        m_port = MakePort(true);
    }

    std::unique_ptr<CZPanelNetworkPort> MakePort(bool withTls) {
        SecureStreamFactory tls;
        if (withTls) tls = [this] { return m_network.NewSecureStream(); };
        auto port = std::make_unique<CZPanelNetworkPort>(PanelPortEnvironment{m_network, m_clock, m_system, tls});
        port->setHost(L"192.168.0.10");
        port->setPeerTrust(m_trust);
        return port;
    }

    // A fresh port and peer for the next case of a table.
    void Restart(std::optional<std::string> answer, bool withTls = true) {
        m_port.reset();
        m_script = NetworkScript();
        m_script.snmpAnswer = std::move(answer);
        m_port = MakePort(withTls);
    }

    // Opens the port and forgets what that took, so the log shows only the exchange after it.
    void Open() {
        ASSERT_TRUE(m_port->open());
        m_script.log.clear();
        m_script.sent.clear();
    }

    bool Send(std::uint16_t command, const Bytes& data = {}) {
        return m_port->sendCommand(static_cast<std::uint16_t>(data.size()), command, 0, data.empty() ? nullptr : data.data());
    }

    void Peer(std::initializer_list<Incoming> incoming) { m_script.incoming.insert(m_script.incoming.end(), incoming); }

    ManualClock m_clock;
    ScriptedNetwork m_network{m_clock};
    NetworkScript& m_script = m_network.script;
    RecordingPanelSystem m_system;
    std::shared_ptr<RecordingTrust> m_trust = [] {
        auto trust = std::make_shared<RecordingTrust>();
        trust->names = {L"192.168.0.10"};
        return trust;
    }();
    std::unique_ptr<CZPanelNetworkPort> m_port;
};

TEST_F(PanelNetworkPortTest, TheSecuritySettingChoosesPlainOrTls) {
    struct Case {
        const char* name;
        std::optional<std::string> answer;
        bool secure;
        std::vector<std::string> snmp;
    };
    const std::vector<Case> cases = {
        {"security 0.00", kReady, false, {"snmp 192.168.0.10:161 cvn"}},
        {"security 1.00", kSecure, true, {"snmp 192.168.0.10:161 cvn"}},
        {"any other text", std::string("MDL:Zentil-640;SECURITY:on;"), true, {"snmp 192.168.0.10:161 cvn"}},
        {"empty security", std::string("MDL:Zentil-640;SECURITY:;"), false, {"snmp 192.168.0.10:161 cvn"}},
        {"no security key", std::string("MDL:Zentil-640;VER:3.30;"), false, {"snmp 192.168.0.10:161 cvn"}},
        {"answer without pairs", std::string("nothing to see"), false, {"snmp 192.168.0.10:161 cvn"}},
        {"silent agent", std::nullopt, false, {"snmp 192.168.0.10:161 cvn", "snmp 192.168.0.10:161 public"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart(c.answer);
        ASSERT_TRUE(m_port->open());
        EXPECT_EQ(m_port->IsSecure(), c.secure);
        EXPECT_EQ(LogLines(m_script, "snmp"), c.snmp);
        EXPECT_EQ(LogLines(m_script, c.secure ? "tls connect " : "connect "),
                  std::vector<std::string>{std::string(c.secure ? "tls " : "") + "connect 192.168.0.10:57602 2000"});
        EXPECT_EQ(LogLines(m_script, c.secure ? "connect " : "tls ").size(), 0u) << "only one kind of connection";
    }
}

// Each TLS connection is shown to the trust before the first frame; a refusal is final (no second
// attempt), and a panel once seen with TLS gets no plain-text connection at all.
TEST_F(PanelNetworkPortTest, ThePanelIsSentNothingTheTrustRefuses) {
    Restart(kSecure);
    ASSERT_TRUE(m_port->open());
    EXPECT_EQ(m_script.log.back(), "peer certificate 192.168.0.10");
    EXPECT_EQ(m_trust->shown, std::vector<std::wstring>{FormatFingerprint(m_script.peerCertificate->sha256)});

    m_trust->trusts = false;
    Restart(kSecure);
    EXPECT_FALSE(m_port->open());
    EXPECT_EQ(LogLines(m_script, "tls connect ").size(), 1u);
    EXPECT_TRUE(m_script.sent.empty());
    EXPECT_FALSE(m_port->IsConnected());

    m_trust->allowsPlain = false;
    Restart(kReady);
    EXPECT_FALSE(m_port->open());
    EXPECT_TRUE(LogLines(m_script, "connect ").empty());
    EXPECT_EQ(m_trust->plainAsked, 1);

    m_port->setPeerTrust(nullptr);
    Restart(kSecure);
    m_port->setPeerTrust(nullptr);
    EXPECT_FALSE(m_port->open()) << "without a trust a TLS panel is not reached";
    EXPECT_TRUE(m_script.sent.empty());
}

TEST_F(PanelNetworkPortTest, AHostThatDoesNotResolveFailsWithoutSnmpTraffic) {
    m_port->setHost(L"panel.invalid");
    EXPECT_FALSE(m_port->open());
    EXPECT_EQ(m_port->getLastError(), 2);
    EXPECT_FALSE(m_port->IsConnected());
    EXPECT_EQ(LogLines(m_script, "snmp").size(), 0u);
    EXPECT_EQ(LogLines(m_script, "connected").size(), 0u);
}

TEST_F(PanelNetworkPortTest, OpenOnAConnectedPortAsksNothingAndTheMutexIsCreatedOnce) {
    Open();
    EXPECT_TRUE(m_port->open());
    EXPECT_TRUE(m_script.log.empty()) << "no SNMP query, no second connection";

    m_port->close();
    EXPECT_FALSE(m_port->IsConnected());
    ASSERT_TRUE(m_port->open());
    EXPECT_EQ(m_system.m_mutexNames, std::vector<std::wstring>{L"Global\\PanelUpdater"});
    EXPECT_EQ(*m_system.m_held, 1);

    m_port.reset();
    EXPECT_EQ(*m_system.m_held, 0) << "held until the port goes";
    EXPECT_EQ(m_script.streamsAlive, 0);
}

TEST_F(PanelNetworkPortTest, AMutexThatCannotBeCreatedIsAskedForAgainAndDoesNotStopTheConnection) {
    m_system.m_failMutex = true;
    ASSERT_TRUE(m_port->open());
    m_port->close();
    m_system.m_failMutex = false;
    ASSERT_TRUE(m_port->open());
    m_port->close();
    ASSERT_TRUE(m_port->open());
    EXPECT_EQ(m_system.m_mutexNames.size(), 2u);
    EXPECT_EQ(*m_system.m_held, 1);
}

TEST_F(PanelNetworkPortTest, TlsConnectionsRetryOnlyAfterTimeOuts) {
    struct Case {
        std::deque<int> results;
        bool opens;
        std::size_t attempts;
    };
    const std::vector<Case> cases = {
        {{}, true, 1},
        {{10060, 10060}, true, 3},
        {{10060, 10060, 10060}, false, 3},
        {{10061}, false, 1},
        {{10060, 10054}, false, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.results.size() << " failed attempts first");
        Restart(kSecure);
        m_script.connectResults = c.results;
        EXPECT_EQ(m_port->open(), c.opens);
        EXPECT_EQ(LogLines(m_script, "tls connect ").size(), c.attempts);
        EXPECT_EQ(m_script.streamsAlive, c.opens ? 1 : 0) << "failed sockets are released";
        if (!c.opens) {
            EXPECT_EQ(m_port->getLastError(), 2);
        }
    }
}

TEST_F(PanelNetworkPortTest, WithoutTlsASecurePrinterCannotBeReached) {
    m_script.snmpAnswer = kSecure;
    m_port = MakePort(false);
    EXPECT_FALSE(m_port->open());
    EXPECT_EQ(m_port->getLastError(), 2);
    EXPECT_EQ(LogLines(m_script, "connect ").size(), 0u) << "never falls back to plain TCP";
}

TEST_F(PanelNetworkPortTest, AFailedConnectionLeavesThePortClosed) {
    m_script.connectResults = {10061};
    EXPECT_FALSE(m_port->open());
    EXPECT_EQ(m_port->getLastError(), 2);
    EXPECT_FALSE(Send(0xE009));
    EXPECT_EQ(m_port->getLastError(), 2);
    EXPECT_FALSE(m_port->receiveReply(0xE00A, 16));
    EXPECT_TRUE(m_script.sent.empty());

    EXPECT_TRUE(m_port->open());
}

TEST_F(PanelNetworkPortTest, TheFirstCommandAndItsAcknowledgement) {
    Open();
    Peer({Incoming::Bytes(CommandAck("0000")), Incoming::Bytes(CommandAck("0100"))});
    ASSERT_TRUE(Send(0xE009));
    EXPECT_EQ(m_port->getLastError(), 0);
    ASSERT_TRUE(Send(0xE005));
    ASSERT_EQ(m_script.sent.size(), 2u);
    EXPECT_EQ(Text(m_script.sent[0]), "\x02" "0000E009000017" "\x03");
    EXPECT_EQ(SequenceAndAttempt(m_script.sent[1]), "0100") << "the next frame carries sequence 1";
    EXPECT_EQ(LogLines(m_script, "receive"), (std::vector<std::string>{"receive 2065 2000 -> 5", "receive 2065 2000 -> 5"}));
}

TEST_F(PanelNetworkPortTest, UnacknowledgedCommandsGoAgainWithTheNextAttemptNumber) {
    struct Case {
        const char* name;
        std::vector<Incoming> answers;
        std::vector<std::string> attemptsSent;
        bool acknowledged;
        int lastError;
    };
    const auto ack = [](const char* digits) { return Incoming::Bytes(CommandAck(digits)); };
    const std::vector<Case> cases = {
        {"wrong sequence", {ack("0100"), ack("0001")}, {"0000", "0001"}, true, 0},
        {"late acknowledgement of the first attempt", {Incoming::Silence(), ack("0000"), ack("0002")}, {"0000", "0001", "0002"}, true, 0},
        {"no acknowledgement in time", {Incoming::Silence(), ack("0001")}, {"0000", "0001"}, true, 0},
        {"something else than an acknowledgement", {Incoming::Bytes("\x15" "0000"), ack("0001")}, {"0000", "0001"}, true, 0},
        {"three wrong acknowledgements", {ack("0100"), ack("0100"), ack("0100")}, {"0000", "0001", "0002"}, false, 8},
        {"three time-outs", {Incoming::Silence(), Incoming::Silence(), Incoming::Silence()}, {"0000", "0001", "0002"}, false, 2},
        {"a cut-off acknowledgement", {Incoming::Bytes("\x06" "00"), Incoming::Silence(), ack("0001")}, {"0000", "0001"}, true, 0},
        {"a receive error", {Incoming::Error(), ack("0001")}, {"0000", "0001"}, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart(kReady, false);
        Open();
        m_script.incoming.assign(c.answers.begin(), c.answers.end());
        EXPECT_EQ(Send(0xE009), c.acknowledged);
        EXPECT_EQ(m_port->getLastError(), c.lastError);
        std::vector<std::string> attempts;
        for (const Bytes& frame : m_script.sent) attempts.push_back(SequenceAndAttempt(frame));
        EXPECT_EQ(attempts, c.attemptsSent);
        EXPECT_EQ(m_port->Sequence(), c.acknowledged ? 1 : 0);
    }
}

TEST_F(PanelNetworkPortTest, DataBlocksTravelUnencoded) {
    Open();
    Bytes block(1024);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 13 + 5);
    Peer({Incoming::Bytes(CommandAck("0000"))});
    ASSERT_TRUE(Send(0xE007, block));
    ASSERT_EQ(m_script.sent.size(), 1u);
    const Bytes& frame = m_script.sent[0];
    ASSERT_EQ(frame.size(), 1040u);
    EXPECT_EQ(Text(Bytes(frame.begin(), frame.begin() + 13)), "\x02" "0400E0070000");
    EXPECT_EQ(Bytes(frame.begin() + 13, frame.begin() + 1037), block);
    EXPECT_EQ(frame.back(), 0x03);
}

TEST_F(PanelNetworkPortTest, CommandsThatCannotBeFramedAreRefusedBeforeAnythingIsSent) {
    Open();
    const Bytes tooLong(1025, 'x');
    EXPECT_FALSE(m_port->sendCommand(1025, 0xE007, 0, tooLong.data()));
    EXPECT_EQ(m_port->getLastError(), 2);
    EXPECT_FALSE(m_port->sendCommand(4, 0xE007, 0, nullptr));
    EXPECT_TRUE(m_script.sent.empty());
}

TEST_F(PanelNetworkPortTest, APanelMessageIsAcknowledgedAndItsSequenceFollowed) {
    Open();
    Peer({Incoming::Bytes(Message(0xE00A, 5)), Incoming::Bytes(CommandAck("0600"))});
    ASSERT_TRUE(m_port->receiveReply(0xE00A, 16));
    EXPECT_EQ(m_port->getLastError(), 0);
    ASSERT_TRUE(Send(0xE00E, Bytes(15, ' ')));
    ASSERT_EQ(m_script.sent.size(), 2u);
    EXPECT_EQ(Text(m_script.sent[0]), "\x06" "0500FB" "\x03");
    EXPECT_EQ(SequenceAndAttempt(m_script.sent[1]), "0600");
}

TEST_F(PanelNetworkPortTest, AMessageThatIsNotTheExpectedOneIsNotAcknowledged) {
    struct Case {
        const char* name;
        std::vector<Incoming> incoming;
        int lastError;
        std::uint64_t waited;
    };
    const std::vector<Case> cases = {
        {"another command", {Incoming::Bytes(Message(0xE00A, 1))}, 8, 0},
        {"nothing for 40 s", {}, 2, 40000},
        {"a header cut short", {Incoming::Bytes("\x02" "0000E00")}, 8, 40000},
        {"lower-case digits", {Incoming::Bytes("\x02" "0000e00c010000" "\x03")}, 8, 0},
        {"a receive error", {Incoming::Error()}, 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart(kReady, false);
        Open();
        m_script.incoming.assign(c.incoming.begin(), c.incoming.end());
        const std::uint64_t start = m_clock.TickCount();
        EXPECT_FALSE(m_port->receiveReply(0xE00C, 16));
        EXPECT_EQ(m_port->getLastError(), c.lastError);
        EXPECT_EQ(m_clock.TickCount() - start, c.waited);
        EXPECT_TRUE(m_script.sent.empty());
        EXPECT_EQ(m_port->Sequence(), 0);
    }
}

TEST_F(PanelNetworkPortTest, BytesThatArriveTogetherOrApartMakeNoDifference) {
    const std::string ack = CommandAck("0000");
    const std::string hello = Message(0xE00A, 1);
    const std::string ready = Message(0xE00D, 2);
    struct Case {
        const char* name;
        std::vector<std::string> segments;
    };
    const std::vector<Case> cases = {
        {"one segment each", {ack, hello, ready}},
        {"acknowledgement and message together", {ack + hello, ready}},
        {"everything together", {ack + hello + ready}},
        {"a longer acknowledgement", {ack + "7F\x03" + hello, ready}},
        {"two messages together", {ack, hello + ready}},
        {"split acknowledgement", {ack.substr(0, 2), ack.substr(2) + hello.substr(0, 3), hello.substr(3), ready}},
        {"split message", {ack + hello.substr(0, 7), hello.substr(7) + ready.substr(0, 14), ready.substr(14)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart(kReady, false);
        Open();
        for (const std::string& segment : c.segments) Peer({Incoming::Bytes(segment)});
        const std::uint64_t start = m_clock.TickCount();
        EXPECT_TRUE(Send(0xE000, Bytes(15, ' ')));
        EXPECT_TRUE(m_port->receiveReply(0xE00A, 16));
        EXPECT_TRUE(m_port->receiveReply(0xE00D, 16));
        EXPECT_EQ(m_clock.TickCount(), start) << "nothing was waited for";
        ASSERT_EQ(m_script.sent.size(), 3u);
        EXPECT_EQ(Text(m_script.sent[1]), "\x06" "0100FF" "\x03");
        EXPECT_EQ(Text(m_script.sent[2]), "\x06" "0200FE" "\x03");
        EXPECT_EQ(m_port->Sequence(), 3);
    }
}

TEST_F(PanelNetworkPortTest, AFailedSendKeepsTheConnectedMarkUntilClose) {
    Open();
    m_script.failSendAt = m_script.sends;
    EXPECT_FALSE(Send(0xE009));
    EXPECT_EQ(m_port->getLastError(), 2);
    EXPECT_TRUE(m_port->IsConnected());
    EXPECT_EQ(m_script.streamsAlive, 0) << "the connection itself is gone";
    EXPECT_EQ(LogLines(m_script, "send").size(), 1u) << "the retries have no connection to go out on";

    EXPECT_TRUE(m_port->open()) << "still marked connected";
    EXPECT_FALSE(Send(0xE009));
    EXPECT_FALSE(m_port->receiveReply(0xE00A, 16));
    EXPECT_EQ(m_port->getLastError(), 2);
    EXPECT_EQ(LogLines(m_script, "connect ").size(), 0u);

    m_port->close();
    EXPECT_FALSE(m_port->IsConnected());
    Peer({Incoming::Bytes(CommandAck("0000"))});
    ASSERT_TRUE(m_port->open());
    EXPECT_TRUE(Send(0xE009));
}

TEST_F(PanelNetworkPortTest, TheSequenceSurvivesCloseAndOpenButUnreadBytesDoNot) {
    Open();
    Peer({Incoming::Bytes(CommandAck("0000") + Message(0xE00A, 1))});
    ASSERT_TRUE(Send(0xE000));
    m_port->close();
    ASSERT_TRUE(m_port->open());
    Peer({Incoming::Bytes(CommandAck("0100"))});
    ASSERT_TRUE(Send(0xE009)) << "the old connection's message is not read on the new one";
    EXPECT_EQ(SequenceAndAttempt(m_script.sent.back()), "0100");
    EXPECT_EQ(m_port->Sequence(), 2);
}

TEST_F(PanelNetworkPortTest, ShutdownHalfClosesAndReadsUntilThePanelCloses) {
    Open();
    Peer({Incoming::Bytes("late bytes"), Incoming::Bytes("more"), Incoming::Silence(), Incoming::Bytes("never read")});
    EXPECT_TRUE(m_port->shutdown());
    EXPECT_EQ(m_script.log, (std::vector<std::string>{"shutdown send", "receive 2065 2000 -> 10", "receive 2065 2000 -> 4",
                                                      "receive 2065 2000 -> 0", "close"}));
    EXPECT_FALSE(m_port->IsConnected());

    m_script.log.clear();
    EXPECT_TRUE(m_port->shutdown()) << "nothing to end";
    EXPECT_TRUE(m_script.log.empty());
}

}  // namespace
