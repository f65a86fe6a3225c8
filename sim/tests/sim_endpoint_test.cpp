// The simulator as a process, over loopback: SNMP, the controller protocol with the whole update
// cycle, firmware on TCP 9100 (plain, update-mode frame, TLS), the certificate, bad input and
// stopping.
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/wait.h>
#include <chrono>
#include <unistd.h>
#include <arpa/inet.h>
#include <poll.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include "controller/ControllerProtocol.h"
#include "ports/PanelFrame.h"
#include "ports/UpdateModeFrame.h"
#include "sim/tests/Clients.h"
#include "sim/tests/SimProcess.h"

namespace {

using simtest::ControllerClient;
using simtest::PrinterAddress;
using simtest::SimProcess;

enum class Reach { kConnected, kRefused, kSilent };

// A connection attempt that gives up after `timeoutMs`: a silent printer lets it time out.
Reach TryConnect(const std::string& address, int port, int timeoutMs = 300) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    const sim::Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return Reach::kConnected;
    if (errno != EINPROGRESS) return Reach::kRefused;
    pollfd p{fd.Get(), POLLOUT, 0};
    if (poll(&p, 1, timeoutMs) != 1) return Reach::kSilent;
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &size);
    return error == 0 ? Reach::kConnected : Reach::kRefused;
}

// True when nothing at all arrives on `fd` for `ms`: no data, no close, no reset.
bool Quiet(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

// Bytes sent on `fd` that the peer has not acknowledged yet.
int Unacknowledged(int fd) {
    int bytes = -1;
    ioctl(fd, SIOCOUTQ, &bytes);
    return bytes;
}

// True when the peer resets the connection (within the guard).
bool ResetByPeer(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, simtest::kGuardMs) != 1) return false;
    std::uint8_t byte;
    return recv(fd, &byte, 1, 0) < 0 && errno == ECONNRESET;
}

// A silent printer: a connection attempt on any of its TCP ports times out (no reset), and SNMP
// is not answered.
void ExpectNoAnswerAtAll(const std::string& address) {
    for (const int port : {int{ctl::kControllerPort}, 9100, 57602}) {
        EXPECT_EQ(TryConnect(address, port), Reach::kSilent) << address << ":" << port;
    }
    std::string text;
    EXPECT_FALSE(simtest::SnmpGet(address, "cvn", text, 300)) << address;
}

void ExpectAnswering(const std::string& address) {
    for (const int port : {int{ctl::kControllerPort}, 9100, 57602}) {
        EXPECT_EQ(TryConnect(address, port, 1000), Reach::kConnected) << address << ":" << port;
    }
    std::string text;
    EXPECT_TRUE(simtest::SnmpGet(address, "cvn", text, simtest::kGuardMs)) << address;
}

// An installer command on the panel port that the panel only acknowledges.
std::vector<std::uint8_t> PanelCommand() { return panel::EncodePanelFrame(0xE012, 0, 0, std::vector<std::uint8_t>(15, ' ')); }

bool SendPlain(const std::string& address, const std::vector<std::uint8_t>& bytes) {
    const sim::Fd fd = simtest::ConnectTcp(address, 9100);
    return fd.Valid() && simtest::SendAll(fd.Get(), bytes);
}

// One TLS 1.2 handshake on `address`:9100, as the installer's stack makes it. With `trusted` the
// client accepts only a certificate that chains to it and names `address`.
struct Handshake {
    bool done = false;
    long verifyResult = X509_V_OK;
    std::unique_ptr<X509, decltype(&X509_free)> peer{nullptr, X509_free};
};

Handshake TlsHandshake(const std::string& address, X509* trusted) {
    Handshake result;
    const sim::Fd fd = simtest::ConnectTcp(address, 9100);
    if (!fd.Valid()) return result;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION);
    if (trusted) {
        X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx.get()), trusted);
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    }
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
    if (trusted) X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), address.c_str());
    SSL_set_fd(ssl.get(), fd.Get());
    result.done = SSL_connect(ssl.get()) == 1;
    result.verifyResult = SSL_get_verify_result(ssl.get());
    result.peer.reset(SSL_get1_peer_certificate(ssl.get()));
    if (result.done) SSL_shutdown(ssl.get());
    return result;
}

// How a TLS client leaves its connection.
enum class TlsEnd { kCloseNotify, kClose, kReset };

// One TLS connection on `address`:9100 of exactly `version` that sends `bytes` and ends as `end`
// says. True when the handshake and the sending succeeded.
bool TlsSend(const std::string& address, int version, std::span<const std::uint8_t> bytes, TlsEnd end) {
    const sim::Fd fd = simtest::ConnectTcp(address, 9100);
    if (!fd.Valid()) return false;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    SSL_CTX_set_min_proto_version(ctx.get(), version);
    SSL_CTX_set_max_proto_version(ctx.get(), version);
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
    SSL_set_fd(ssl.get(), fd.Get());
    if (SSL_connect(ssl.get()) != 1) return false;
    if (!bytes.empty() && SSL_write(ssl.get(), bytes.data(), static_cast<int>(bytes.size())) != static_cast<int>(bytes.size())) {
        return false;
    }
    if (end == TlsEnd::kCloseNotify) SSL_shutdown(ssl.get());
    if (end == TlsEnd::kReset) {
        const linger reset{1, 0};
        setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    return true;  // the socket closes here, after the TLS object, which sends nothing more
}

TEST(SimSnmp, AnswersConfiguredCommunitiesOnly) {
    const std::string both = PrinterAddress(0), publicOnly = PrinterAddress(1), silent = PrinterAddress(2);
    SimProcess sim({"--printer", both, "--printer", publicOnly + ",communities=public", "--printer", silent + ",communities=none"});
    ASSERT_TRUE(sim.Started());
    struct Case {
        std::string address;
        const char* community;
        bool answers;
    };
    const Case cases[] = {{both, "cvn", true},        {both, "public", true},       {both, "private", false},
                          {publicOnly, "cvn", false}, {publicOnly, "public", true}, {silent, "public", false}};
    for (const Case& c : cases) {
        std::string text;
        EXPECT_EQ(simtest::SnmpGet(c.address, c.community, text, c.answers ? simtest::kGuardMs : 300), c.answers)
            << c.address << " " << c.community;
        if (c.answers) EXPECT_EQ(text.rfind("MDL:Zentil-640;", 0), 0u) << text;
    }
    std::string text;
    ASSERT_TRUE(simtest::SnmpGet(both, "public", text, simtest::kGuardMs, ".1.3.6.1.2.1.1.1.0"));
    EXPECT_EQ(text, "error 2");  // noSuchName
}

TEST(SimController, WholeUpdateCycle) {
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address + ",firmware=3.30,install_ms=3600000,restart_ms=3600000"});
    ASSERT_TRUE(sim.Started());
    {
        ControllerClient library(address);
        ASSERT_TRUE(library.Connected());
        EXPECT_EQ(library.Ask(ctl::kGetStatus)->result, ctl::kNotConnected);  // HELLO comes first
        EXPECT_FALSE(library.Hello("127.0.0.1"));                             // not this printer
        ASSERT_TRUE(library.Hello(address));
        EXPECT_EQ(library.Status(), 0u);
        EXPECT_NE(library.Ask(ctl::kGetInfo)->info.find("VER:3.30;PANEL:3.0.0;MODE:NORMAL;"), std::string::npos);
        EXPECT_EQ(library.Ask(ctl::kGetOperationCode)->operationCode, 0);

        EXPECT_EQ(sim.Show(address, "controller_connections"), "1");
        EXPECT_TRUE(library.Ask(ctl::Request{ctl::kStartUpdate, 0, {}, 0, true})->answer);
        EXPECT_EQ(library.Status(), 0x81000000u);
        std::string text;
        ASSERT_TRUE(simtest::SnmpGet(address, "cvn", text, simtest::kGuardMs));
        EXPECT_NE(text.find("PANEL:3.0.0;MODE:IPL;"), std::string::npos) << text;

        ASSERT_TRUE(SendPlain(address, simtest::MakeFirmware("041852", "3.40", 300000)));
        ASSERT_TRUE(sim.WaitFor(address, "state", "installing"));
        EXPECT_EQ(library.Status(), 0x83000000u);
        EXPECT_FALSE(library.Ask(ctl::kRequestReboot)->answer);  // not while installing
        sim.Control("set " + address + " install_ms 0");
        EXPECT_EQ(library.Status(), 0x86000000u);
        EXPECT_TRUE(library.Ask(ctl::kRequestReboot)->answer);
    }
    // Restarting it answers nothing (SimSilence below); back, it has the new version.
    EXPECT_EQ(sim.Show(address, "state"), "restarting");
    sim.Control("set " + address + " restart_ms 0");
    ControllerClient library(address);
    ASSERT_TRUE(library.Hello(address));
    EXPECT_EQ(library.Status(), 0u);
    EXPECT_NE(library.Ask(ctl::kGetInfo)->info.find("VER:3.40;PANEL:3.0.0;MODE:NORMAL;"), std::string::npos);
}

TEST(SimController, OperationCodeAndRestartFaults) {
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address + ",opcode45_ms=3600000,refuse_reboots=1,restart_ms=3600000"});
    ASSERT_TRUE(sim.Started());
    ControllerClient library(address);
    ASSERT_TRUE(library.Hello(address));
    EXPECT_EQ(library.Ask(ctl::kGetOperationCode)->operationCode, 0);
    ASSERT_TRUE(library.Ask(ctl::Request{ctl::kStartUpdate, 0, {}, 0, true})->answer);
    EXPECT_EQ(library.Ask(ctl::kGetOperationCode)->operationCode, 45);
    sim.Control("set " + address + " opcode45_ms 0");
    EXPECT_EQ(library.Ask(ctl::kGetOperationCode)->operationCode, 0);
    sim.Control("set " + address + " opcode1 on");
    EXPECT_EQ(library.Ask(ctl::kGetOperationCode)->operationCode, 1);
    EXPECT_FALSE(library.Ask(ctl::kRequestReboot)->answer);
    EXPECT_TRUE(library.Ask(ctl::kRequestReboot)->answer);
    EXPECT_EQ(sim.Show(address, "reboots_refused"), "1");
}

// A restarting printer is silent, as a real one is: connection attempts go unanswered, and open
// connections get nothing back, not even a close once the idle time-out has passed. Back from
// the restart it answers again and resets the connections it had before: it has forgotten them,
// and keeps no descriptor of theirs.
TEST(SimSilence, ARestartingPrinterAnswersNothingThenForgetsItsConnections) {
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address + ",restart_ms=3600000", "--idle-timeout-ms", "300"});
    ASSERT_TRUE(sim.Started());
    const int descriptors = sim.Descriptors();
    {
        ControllerClient library(address), waiting(address);
        ASSERT_TRUE(library.Hello(address));
        ASSERT_TRUE(waiting.Hello(address));
        const sim::Fd panelPort = simtest::ConnectTcp(address, 57602);
        ASSERT_TRUE(panelPort.Valid());

        ASSERT_TRUE(library.Ask(ctl::kRequestReboot)->answer);  // its last word before it goes down
        ExpectNoAnswerAtAll(address);
        ASSERT_TRUE(waiting.Send(ctl::kGetStatus));
        ASSERT_TRUE(simtest::SendAll(panelPort.Get(), PanelCommand()));
        EXPECT_TRUE(Quiet(waiting.Fd(), 800));
        EXPECT_TRUE(Quiet(panelPort.Get(), 100));
        EXPECT_TRUE(Quiet(library.Fd(), 100));
        // Not even TCP acknowledges what they sent.
        EXPECT_EQ(Unacknowledged(waiting.Fd()), static_cast<int>(ctl::kRequestHeaderSize));
        EXPECT_EQ(Unacknowledged(panelPort.Get()), static_cast<int>(PanelCommand().size()));
        EXPECT_EQ(sim.Show(address, "controller_connections"), "2");

        sim.Control("set " + address + " restart_ms 0");
        for (const int fd : {library.Fd(), waiting.Fd(), panelPort.Get()}) EXPECT_TRUE(ResetByPeer(fd)) << fd;
        ExpectAnswering(address);
        ControllerClient back(address);
        ASSERT_TRUE(back.Hello(address));
        EXPECT_EQ(back.Status(), 0u);
        EXPECT_TRUE(sim.WaitFor(address, "controller_connections", "1"));
    }
    EXPECT_TRUE(sim.WaitForDescriptors(descriptors)) << sim.Descriptors() << " open, " << descriptors << " before";
}

// The `silent` fault, given at start or set at run time, silences the printer as a restart does,
// from the moment the control port has confirmed it; switched off, the printer answers again and
// open connections carry on, their requests of the silent time answered late (once the client
// sends them again: the idle time-out is the default here, longer than the client's back-off).
TEST(SimSilence, TheSilentFaultUntilSwitchedOff) {
    const std::string address = PrinterAddress(0), fromStart = PrinterAddress(1);
    SimProcess sim({"--printer", address, "--printer", fromStart + ",silent=on"});
    ASSERT_TRUE(sim.Started());
    ExpectNoAnswerAtAll(fromStart);

    ControllerClient library(address);
    ASSERT_TRUE(library.Hello(address));
    const sim::Fd panelPort = simtest::ConnectTcp(address, 57602);
    ASSERT_TRUE(panelPort.Valid());
    sim.Control("set " + address + " silent on");
    ExpectNoAnswerAtAll(address);
    ASSERT_TRUE(library.Send(ctl::kGetStatus));
    const std::vector<std::uint8_t> command = PanelCommand();
    ASSERT_TRUE(simtest::SendAll(panelPort.Get(), command));
    EXPECT_TRUE(Quiet(library.Fd(), 800));
    EXPECT_TRUE(Quiet(panelPort.Get(), 100));
    EXPECT_EQ(Unacknowledged(library.Fd()), static_cast<int>(ctl::kRequestHeaderSize));

    sim.Control("set " + address + " silent off");
    const std::optional<ctl::Response> status = library.Receive();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->type, ctl::kGetStatus);
    EXPECT_TRUE(panel::IsCommandAck(simtest::ReceiveExactly(panelPort.Get(), panel::kCommandAckSize), command));
    ExpectAnswering(address);
    sim.Control("set " + fromStart + " silent off");
    ExpectAnswering(fromStart);
}

// A restart ends by itself once restart_ms has passed, with nobody asking the printer anything:
// the connection it had before is reset then, and the printer answers a new one.
TEST(SimRestart, EndsByItselfAfterRestartMs) {
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address + ",restart_ms=2000"});
    ASSERT_TRUE(sim.Started());
    ControllerClient library(address);
    ASSERT_TRUE(library.Hello(address));
    ASSERT_TRUE(library.Ask(ctl::kRequestReboot)->answer);
    EXPECT_EQ(TryConnect(address, ctl::kControllerPort), Reach::kSilent);
    EXPECT_TRUE(ResetByPeer(library.Fd()));
    ControllerClient back(address);
    EXPECT_TRUE(back.Hello(address));
    EXPECT_EQ(sim.Show(address, "restarts"), "1");
}

// `never_back`, given at start or set at run time: the printer takes the restart request and does
// not come back, its restart_ms long past, until the fault is switched off; then it is back at
// once and has forgotten its connections.
TEST(SimRestart, NeverBackUntilSwitchedOff) {
    const std::string fromStart = PrinterAddress(0), atRunTime = PrinterAddress(1);
    SimProcess sim({"--printer", fromStart + ",restart_ms=0,never_back=on", "--printer", atRunTime + ",restart_ms=0"});
    ASSERT_TRUE(sim.Started());
    sim.Control("set " + atRunTime + " never_back on");
    for (const std::string& address : {fromStart, atRunTime}) {
        SCOPED_TRACE(address);
        ControllerClient library(address);
        ASSERT_TRUE(library.Hello(address));
        ASSERT_TRUE(library.Ask(ctl::kRequestReboot)->answer);
        ExpectNoAnswerAtAll(address);
        EXPECT_TRUE(Quiet(library.Fd(), 100));
        EXPECT_EQ(sim.Show(address, "state"), "restarting");

        sim.Control("set " + address + " never_back off");
        EXPECT_TRUE(ResetByPeer(library.Fd()));
        EXPECT_EQ(sim.Show(address, "state"), "ready");
        ExpectAnswering(address);
    }
}

// Connections the kernel completed just before the printer fell silent, which its accepting
// thread may not have come round to yet, fall silent with it: what is sent on them once the
// control port has confirmed `silent` is not acknowledged either. Many rounds, each opening
// connections right before the change, so that some are still waiting to be accepted.
TEST(SimSilence, ConnectionsNotYetAcceptedFallSilentToo) {
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address});
    ASSERT_TRUE(sim.Started());
    const std::vector<std::uint8_t> bytes = PanelCommand();
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        std::vector<sim::Fd> connections;
        for (const int port : {int{ctl::kControllerPort}, 9100, 57602}) {
            connections.push_back(simtest::ConnectTcp(address, port));
            ASSERT_TRUE(connections.back().Valid());
        }
        sim.Control("set " + address + " silent on");
        for (const sim::Fd& fd : connections) ASSERT_TRUE(simtest::SendAll(fd.Get(), bytes));
        EXPECT_TRUE(Quiet(connections.front().Get(), 60));
        for (const sim::Fd& fd : connections) EXPECT_EQ(Unacknowledged(fd.Get()), static_cast<int>(bytes.size()));
        sim.Control("set " + address + " silent off");
    }
}

// An agent that fails to get the status object: the error status, error index 1 and the binding
// echoed with a NULL value. Other objects are answered as before.
TEST(SimFaults, AnSnmpErrorAnswerForTheStatusObject) {
    const std::string address = PrinterAddress(0), fromStart = PrinterAddress(1);
    SimProcess sim({"--printer", address, "--printer", fromStart + ",snmp_error=2"});
    ASSERT_TRUE(sim.Started());
    const struct {
        std::string address;
        const char* value;  // set at run time, when given
        int status;
    } cases[] = {{fromStart, nullptr, 2}, {address, "5", 5}, {address, "18", 18}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address + " " + std::to_string(c.status));
        if (c.value) sim.Control("set " + c.address + " snmp_error " + c.value);
        const auto response = simtest::SnmpExchange(c.address, "cvn", simtest::kGuardMs);
        ASSERT_TRUE(response);
        EXPECT_EQ(response->errorStatus, c.status);
        EXPECT_EQ(response->errorIndex, 1);
        EXPECT_EQ(response->oid, snmp::StatusOid());
        EXPECT_EQ(response->valueType, snmp::kTagNull);
        EXPECT_TRUE(response->value.empty());
    }
    std::string text;
    ASSERT_TRUE(simtest::SnmpGet(address, "public", text, simtest::kGuardMs, ".1.3.6.1.2.1.1.1.0"));
    EXPECT_EQ(text, "error 2");  // noSuchName, as without the fault
    sim.Control("set " + address + " snmp_error none");
    ASSERT_TRUE(simtest::SnmpGet(address, "cvn", text, simtest::kGuardMs));
    EXPECT_EQ(text.rfind("MDL:Zentil-640;", 0), 0u) << text;
}

// The data port stops reading a firmware connection after n bytes. Its receive window stays
// small, so the sender really blocks a little past n; the connection stays open, past the idle
// time-out, until the peer ends it; exactly the first n bytes were taken. Stopping the
// simulator does not wait for a stalled connection.
TEST(SimFaults, TheDataPortStopsReadingPartWay) {
    constexpr std::size_t kStallAfter = 1 << 20;
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address + ",data_stall_after=" + std::to_string(kStallAfter), "--idle-timeout-ms", "300"});
    ASSERT_TRUE(sim.Started());
    const auto frame = UpdateModeFrame();
    ASSERT_TRUE(SendPlain(address, std::vector<std::uint8_t>(frame.begin(), frame.end())));
    ASSERT_TRUE(sim.WaitFor(address, "state", "update-mode"));
    const std::vector<std::uint8_t> image = simtest::MakeFirmware("041852", "3.40", 4 << 20);

    // Sends what the connection takes until the printer says it stopped reading it and then
    // nothing more has gone for half a second (a printer that is merely slow is waited for).
    const auto Stall = [&](const sim::Fd& fd) {
        const int sendBuffer = 16 * 1024;
        setsockopt(fd.Get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        fcntl(fd.Get(), F_SETFL, O_NONBLOCK);
        std::size_t sent = 0;
        bool stalled = false;
        for (int idle = 0, waited = 0; idle < 10 && sent < image.size() && waited < simtest::kGuardMs;) {
            const ssize_t n = send(fd.Get(), image.data() + sent, std::min<std::size_t>(4096, image.size() - sent), MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                idle = 0;
                continue;
            }
            EXPECT_EQ(errno, EAGAIN);
            stalled = stalled || sim.Show(address, "stalled_connections") == "1";
            if (stalled) ++idle;
            usleep(50000);
            waited += 50;
        }
        EXPECT_TRUE(stalled);
        return sent;
    };
    sim::Fd fd = simtest::ConnectTcp(address, 9100);
    ASSERT_TRUE(fd.Valid());
    const std::size_t sent = Stall(fd);
    EXPECT_GE(sent, kStallAfter);
    EXPECT_LT(sent, kStallAfter + 192 * 1024) << "the printer's receive window grew";
    EXPECT_TRUE(Quiet(fd.Get(), 1000)) << "closed while stalled";
    EXPECT_EQ(send(fd.Get(), image.data() + sent, 4096, MSG_NOSIGNAL), -1);
    EXPECT_EQ(sim.Show(address, "state"), "receiving");

    const linger reset{1, 0};
    setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    fd.Reset();
    ASSERT_TRUE(sim.WaitFor(address, "firmware_reason", "the printer stopped reading"));
    EXPECT_EQ(sim.Show(address, "stalled_connections"), "0");
    EXPECT_EQ(sim.Show(address, "firmware_size"), std::to_string(kStallAfter));
    EXPECT_EQ(sim.Show(address, "firmware_sha256"), simtest::Sha256Hex(std::span(image).first(kStallAfter)));
    EXPECT_EQ(sim.Show(address, "state"), "update-mode");

    const sim::Fd again = simtest::ConnectTcp(address, 9100);
    ASSERT_TRUE(again.Valid());
    EXPECT_LT(Stall(again), image.size());
    const auto start = std::chrono::steady_clock::now();
    const int status = sim.Terminate();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(SimDataPort, FirmwareVerdicts) {
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address + ",install_ms=3600000"});
    ASSERT_TRUE(sim.Started());
    const std::vector<std::uint8_t> good = simtest::MakeFirmware("041852", "3.40", 200000);
    std::vector<std::uint8_t> corrupted = good;
    corrupted[100000] ^= 0x80;

    // Not in update mode yet: even a sound image is refused.
    EXPECT_EQ(sim.Show(address, "data_connections"), "0");
    ASSERT_TRUE(SendPlain(address, good));
    ASSERT_TRUE(sim.WaitFor(address, "firmware_reason", "not in update mode"));
    EXPECT_EQ(sim.Show(address, "state"), "ready");

    // The 25-byte frame puts it into update mode.
    const auto frame = UpdateModeFrame();
    ASSERT_TRUE(SendPlain(address, std::vector<std::uint8_t>(frame.begin(), frame.end())));
    ASSERT_TRUE(sim.WaitFor(address, "state", "update-mode"));
    EXPECT_EQ(sim.Show(address, "data_connections"), "2");  // the image's and the frame's
    EXPECT_EQ(sim.Show(address, "firmware_connections"), "1");
    EXPECT_EQ(sim.Show(address, "update_mode_requests"), "1");

    const std::pair<std::vector<std::uint8_t>, const char*> rejected[] = {
        {simtest::MakeFirmware("041999", "3.40", 200000), "model code 041999 is not this printer's 041852"},
        {corrupted, "SHA-256 mismatch"},
    };
    for (const auto& [image, reason] : rejected) {
        sim.Control("clear " + address);
        ASSERT_TRUE(SendPlain(address, image));
        ASSERT_TRUE(sim.WaitFor(address, "firmware_result", "rejected"));
        EXPECT_EQ(sim.Show(address, "firmware_reason"), reason);
        EXPECT_EQ(sim.Show(address, "data_connections"), "1");  // counted again from the clear
        EXPECT_EQ(sim.Show(address, "firmware_connections"), "1");
        EXPECT_EQ(sim.Show(address, "firmware_sha256"), simtest::Sha256Hex(image));
        EXPECT_EQ(sim.Show(address, "state"), "update-mode");  // ready for another try
    }

    sim.Control("set " + address + " reject_firmware on");
    ASSERT_TRUE(SendPlain(address, good));
    ASSERT_TRUE(sim.WaitFor(address, "firmware_reason", "rejected by fault setting"));
    sim.Control("set " + address + " reject_firmware off");

    sim.Control("clear " + address);
    ASSERT_TRUE(SendPlain(address, good));
    ASSERT_TRUE(sim.WaitFor(address, "firmware_result", "accepted"));
    EXPECT_EQ(sim.Show(address, "firmware_sha256"), simtest::Sha256Hex(good));
    EXPECT_EQ(sim.Show(address, "firmware_version"), "3.40");
    EXPECT_EQ(sim.Show(address, "state"), "installing");
}

TEST(SimDataPort, FirmwareOverTls12) {
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address + ",tls=on,install_ms=0"});
    ASSERT_TRUE(sim.Started());
    ControllerClient library(address);
    ASSERT_TRUE(library.Hello(address));
    ASSERT_TRUE(library.Ask(ctl::Request{ctl::kStartUpdate, 0, {}, 0, true})->answer);

    const std::vector<std::uint8_t> image = simtest::MakeFirmware("041852", "3.41", 400000);
    const sim::Fd fd = simtest::ConnectTcp(address, 9100);
    ASSERT_TRUE(fd.Valid());
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION);  // what the installer's stack speaks
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
    SSL_set_fd(ssl.get(), fd.Get());
    ASSERT_EQ(SSL_connect(ssl.get()), 1);
    EXPECT_STREQ(SSL_get_version(ssl.get()), "TLSv1.2");
    for (std::size_t sent = 0; sent < image.size(); sent += 102400) {
        const int block = static_cast<int>(std::min<std::size_t>(102400, image.size() - sent));
        ASSERT_EQ(SSL_write(ssl.get(), image.data() + sent, block), block);
    }
    SSL_shutdown(ssl.get());
    ASSERT_TRUE(sim.WaitFor(address, "firmware_result", "accepted"));
    EXPECT_EQ(sim.Show(address, "firmware_sha256"), simtest::Sha256Hex(image));
    EXPECT_EQ(sim.Show(address, "data_connections"), "1");
    EXPECT_EQ(library.Status(), 0x86000000u);
}

// The certificate made at start is its own root and names the printer, so a client that trusts
// it decides on its dates alone: accepted normally, refused as expired with --cert-expired. The
// simulator still completes the handshake; only handshakes that succeeded count as connections.
TEST(SimTls, CertificateMadeAtStartValidOrExpired) {
    struct Case {
        bool expired;
        long verdict;
    };
    const Case cases[] = {{false, X509_V_OK}, {true, X509_V_ERR_CERT_HAS_EXPIRED}};
    for (int i = 0; i < 2; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.expired ? "--cert-expired" : "default certificate");
        const std::string address = PrinterAddress(i);
        std::vector<std::string> args = {"--printer", address + ",tls=on"};
        if (c.expired) args.push_back("--cert-expired");
        SimProcess sim(args);
        ASSERT_TRUE(sim.Started());

        const Handshake seen = TlsHandshake(address, nullptr);
        ASSERT_TRUE(seen.done);
        ASSERT_TRUE(seen.peer);
        X509* cert = seen.peer.get();
        EXPECT_EQ(X509_cmp_current_time(X509_get0_notAfter(cert)), c.expired ? -1 : 1);  // -1: in the past
        EXPECT_EQ(X509_cmp_current_time(X509_get0_notBefore(cert)), -1);

        const Handshake trusting = TlsHandshake(address, cert);
        EXPECT_EQ(trusting.done, !c.expired);
        EXPECT_EQ(trusting.verifyResult, c.verdict) << X509_verify_cert_error_string(trusting.verifyResult);
        EXPECT_TRUE(sim.WaitFor(address, "data_connections", c.expired ? "1" : "2"));
    }
}

// A client that looks at the certificate before anything else completes a TLS handshake on 9100
// and leaves without sending a byte. That is a data connection and nothing more: no firmware
// stream, no verdict (the last one stays), no change of state, however the client leaves.
TEST(SimTls, AHandshakeWithoutDataIsNoFirmware) {
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address + ",tls=on"});
    ASSERT_TRUE(sim.Started());
    ControllerClient library(address);
    ASSERT_TRUE(library.Hello(address));
    const int descriptors = sim.Descriptors();
    ASSERT_TRUE(library.Ask(ctl::Request{ctl::kStartUpdate, 0, {}, 0, true})->answer);
    ASSERT_TRUE(TlsSend(address, TLS1_2_VERSION, simtest::MakeFirmware("041999", "3.40", 1000), TlsEnd::kCloseNotify));
    ASSERT_TRUE(sim.WaitFor(address, "firmware_result", "rejected"));
    ASSERT_TRUE(sim.WaitForDescriptors(descriptors));
    // What a firmware stream would change: the verdict, the count of streams, the state.
    const auto firmwareAndState = [&] {
        std::vector<std::string> kept;
        for (const std::string& line : sim.Control("show " + address)) {
            if (line.starts_with("firmware") || line.starts_with("state=") || line.starts_with("status_word=")) {
                kept.push_back(line);
            }
        }
        return kept;
    };
    const std::vector<std::string> before = firmwareAndState();
    ASSERT_EQ(sim.Show(address, "firmware_connections"), "1");
    ASSERT_EQ(sim.Show(address, "state"), "update-mode");

    struct Case {
        const char* how;
        int version;
        TlsEnd end;
    };
    const Case cases[] = {
        {"TLS 1.2, close_notify", TLS1_2_VERSION, TlsEnd::kCloseNotify},
        {"TLS 1.3, close_notify", TLS1_3_VERSION, TlsEnd::kCloseNotify},
        {"TLS 1.2, closed without close_notify", TLS1_2_VERSION, TlsEnd::kClose},
        {"TLS 1.2, reset", TLS1_2_VERSION, TlsEnd::kReset},
        {"TLS 1.3, reset", TLS1_3_VERSION, TlsEnd::kReset},
    };
    int connections = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        ASSERT_TRUE(TlsSend(address, c.version, {}, c.end));
        EXPECT_TRUE(sim.WaitFor(address, "data_connections", std::to_string(++connections)));
        EXPECT_TRUE(sim.WaitForDescriptors(descriptors)) << "the connection is still served";
        EXPECT_EQ(firmwareAndState(), before);
    }
}

TEST(SimRobustness, BadInputClosesTheConnectionOnly) {
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address + ",tls=off", "--printer", PrinterAddress(1) + ",tls=on", "--idle-timeout-ms", "500"});
    ASSERT_TRUE(sim.Started());
    std::vector<std::uint8_t> noise(3000);
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::uint8_t>(i * 131 + 7);
    const std::vector<std::uint8_t> hugeLength = {'C', 'Q', 1, 2, 0, 0, 0, 1, 0xFF, 0xFF};
    const std::string badFrame = "\x02" "0401E007000";  // more data than a frame may carry
    struct Case {
        std::string address;
        int port;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {address, ctl::kControllerPort, noise},
        {address, ctl::kControllerPort, hugeLength},
        {address, 57602, noise},
        {address, 57602, std::vector<std::uint8_t>(badFrame.begin(), badFrame.end())},
        {PrinterAddress(1), 57602, noise},  // not a TLS handshake
        {PrinterAddress(1), 9100, noise},
    };
    for (const Case& c : cases) {
        const sim::Fd fd = simtest::ConnectTcp(c.address, c.port);
        ASSERT_TRUE(fd.Valid());
        simtest::SendAll(fd.Get(), c.bytes);
        EXPECT_TRUE(simtest::PeerCloses(fd.Get())) << c.address << ":" << c.port;
    }
    EXPECT_EQ(sim.Show(PrinterAddress(1), "data_connections"), "0");  // its handshake failed
    // An idle connection is closed too.
    const sim::Fd idle = simtest::ConnectTcp(address, 57602);
    EXPECT_TRUE(simtest::PeerCloses(idle.Get()));

    // Noise on 9100 is only a rejected image; a garbage datagram gets no answer.
    ASSERT_TRUE(SendPlain(address, noise));
    ASSERT_TRUE(sim.WaitFor(address, "firmware_reason", "no PUF1 header"));
    std::string text;
    EXPECT_FALSE(simtest::SnmpGet(address, std::string(300, 'x'), text, 300));  // too long to encode: an empty datagram

    ControllerClient library(address);
    EXPECT_TRUE(library.Hello(address));
    EXPECT_TRUE(simtest::SnmpGet(address, "public", text, simtest::kGuardMs));
}

TEST(SimProcessLifetime, StopsCleanlyWithConnectionsOpen) {
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address});
    ASSERT_TRUE(sim.Started());
    const sim::Fd panel = simtest::ConnectTcp(address, 57602);
    const sim::Fd data = simtest::ConnectTcp(address, 9100);
    ControllerClient library(address);
    ASSERT_TRUE(library.Hello(address));
    const int status = sim.Terminate();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(simtest::PeerCloses(panel.Get()));
}

}  // namespace
