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

#include <gtest/gtest.h>

#include "controller/ControllerProtocol.h"
#include "ports/UpdateModeFrame.h"
#include "sim/tests/SimProcess.h"

namespace {

using simtest::PrinterAddress;
using simtest::SimProcess;

// The controller library's side of the protocol, one request at a time.
class ControllerClient {
public:
    explicit ControllerClient(const std::string& address) : m_fd(simtest::ConnectTcp(address, ctl::kControllerPort)) {}
    bool Connected() const { return m_fd.Valid(); }

    std::optional<ctl::Response> Ask(ctl::Request request) {
        request.id = ++m_id;
        const std::vector<std::uint8_t> bytes = ctl::EncodeRequest(request);
        if (!simtest::SendAll(m_fd.Get(), bytes)) return std::nullopt;
        std::vector<std::uint8_t> received;
        for (;;) {
            const ctl::ResponseDecode decoded = ctl::DecodeResponse(received);
            if (decoded.status == ctl::DecodeStatus::kComplete) return decoded.response;
            if (decoded.status == ctl::DecodeStatus::kInvalid) return std::nullopt;
            const std::vector<std::uint8_t> more = simtest::ReceiveExactly(m_fd.Get(), 1);
            if (more.empty()) return std::nullopt;
            received.insert(received.end(), more.begin(), more.end());
        }
    }
    std::optional<ctl::Response> Ask(std::uint8_t type) { return Ask(ctl::Request{type, 0, {}, 0, true}); }
    bool Hello(const std::string& address) {
        const auto r = Ask(ctl::Request{ctl::kHello, 0, address, 0, true});
        return r && r->result == ctl::kOk && r->answer;
    }
    std::uint32_t Status() {
        const auto r = Ask(ctl::kGetStatus);
        return r && r->result == ctl::kOk ? r->statusWord : 0xDEADBEEF;
    }

private:
    sim::Fd m_fd;
    std::uint32_t m_id = 0;
};

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
        EXPECT_FALSE(library.Ask(ctl::kGetStatus).has_value());  // it went away
    }
    // Restarting, it answers nothing at all, as a real printer does: no refusal either (its
    // listeners fall silent within the simulator's 25 ms loop).
    usleep(100000);
    for (const int port : {9180, 9100, 57602}) EXPECT_EQ(TryConnect(address, port), Reach::kSilent) << port;
    std::string text;
    EXPECT_FALSE(simtest::SnmpGet(address, "cvn", text, 300));
    EXPECT_TRUE(sim.WaitFor(address, "controller_connections", "0"));

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

TEST(SimFaults, SilentForGoodAndAnSnmpErrorAnswer) {
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address + ",silent=on"});
    ASSERT_TRUE(sim.Started());
    std::string text;
    for (const int port : {9180, 9100, 57602}) EXPECT_EQ(TryConnect(address, port), Reach::kSilent) << port;
    EXPECT_FALSE(simtest::SnmpGet(address, "cvn", text, 300));
    sim.Control("set " + address + " silent off");
    EXPECT_TRUE(simtest::SnmpGet(address, "cvn", text));
    for (const int port : {9180, 9100, 57602}) EXPECT_EQ(TryConnect(address, port, 2000), Reach::kConnected) << port;

    sim.Control("set " + address + " snmp_error 5");
    ASSERT_TRUE(simtest::SnmpGet(address, "cvn", text));
    EXPECT_EQ(text, "error 5");
    sim.Control("set " + address + " snmp_error none");
    ASSERT_TRUE(simtest::SnmpGet(address, "cvn", text));
    EXPECT_NE(text.find("MDL:Zentil-640;"), std::string::npos);
}

TEST(SimFaults, TheDataPortStopsReadingPartWay) {
    const std::string address = PrinterAddress(0);
    SimProcess sim({"--printer", address + ",data_stall_after=100000"});
    ASSERT_TRUE(sim.Started());
    const sim::Fd fd = simtest::ConnectTcp(address, 9100);
    ASSERT_TRUE(fd.Valid());
    const int sendBuffer = 16 * 1024;
    setsockopt(fd.Get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    fcntl(fd.Get(), F_SETFL, O_NONBLOCK);
    const std::vector<std::uint8_t> chunk(4096, 0x5A);
    std::size_t sent = 0;
    // Sends until the printer has taken nothing for half a second.
    for (int idle = 0; idle < 10 && sent < 8u << 20;) {
        const ssize_t n = send(fd.Get(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            idle = 0;
        } else {
            ASSERT_EQ(errno, EAGAIN);
            ++idle;
            usleep(50000);
        }
    }
    EXPECT_GE(sent, 100000u);
    EXPECT_LT(sent, 1u << 20) << "the sender was not held back";
    // Stopping does not wait for the stalled connection.
    const auto start = std::chrono::steady_clock::now();
    const int status = sim.Terminate();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
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
