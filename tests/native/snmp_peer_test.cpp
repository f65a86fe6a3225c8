// The SNMP codec against a real agent: net-snmp's snmpd on a loopback port, serving a fixed text
// at the status object for the maker's community only.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ports/SnmpCodec.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Generous guards against a hang; nothing here is timed.
constexpr auto kStartGuard = std::chrono::seconds(20);
constexpr auto kAnswerGuard = std::chrono::seconds(10);

std::string StatusText() {
    std::string text = "MDL:Zentil-640;VER:3.40;PANEL:3.0.1;MODE:NORMAL;SECURITY:0.00;";
    text += "NOTE:" + std::string(300, 'x') + ";";  // long enough for long-form lengths
    return text;
}

// A UDP socket connected to 127.0.0.1:port, closed on destruction.
class UdpClient {
public:
    explicit UdpClient(std::uint16_t port) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in agent{};
        agent.sin_family = AF_INET;
        agent.sin_port = htons(port);
        agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&agent), sizeof agent) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~UdpClient() {
        if (fd_ >= 0) close(fd_);
    }
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;

    bool ok() const { return fd_ >= 0; }

    bool Send(const Bytes& datagram) {
        return send(fd_, datagram.data(), datagram.size(), 0) == static_cast<ssize_t>(datagram.size());
    }

    // The next datagram, or nothing when none came within `wait`.
    std::optional<Bytes> Receive(std::chrono::milliseconds wait) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
        Bytes buffer(65536);
        const ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
        if (n < 0) return std::nullopt;
        buffer.resize(static_cast<std::size_t>(n));
        return buffer;
    }

private:
    int fd_ = -1;
};

// A free UDP port on 127.0.0.1 at the time of asking.
std::uint16_t FreeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    std::uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

// snmpd in the foreground with a configuration of its own in a temporary folder. The destructor
// stops it and removes the folder, whatever the test's outcome.
class Snmpd {
public:
    Snmpd() {
        std::string pattern = (fs::temp_directory_path() / "snmp_peer_XXXXXX").string();
        if (!mkdtemp(pattern.data())) return;
        dir_ = pattern;
        port_ = FreeUdpPort();
        {
            std::ofstream conf(dir_ / "snmpd.conf");
            conf << "rocommunity " << snmp::kMakerCommunity << " 127.0.0.1\n"
                 << "override " << snmp::kStatusOidText << " octet_str \"" << StatusText() << "\"\n";
        }
        const std::string conf = (dir_ / "snmpd.conf").string();
        const std::string log = (dir_ / "snmpd.log").string();
        const std::string pidFile = (dir_ / "snmpd.pid").string();
        const std::string address = "udp:127.0.0.1:" + std::to_string(port_);
        std::string state = "SNMP_PERSISTENT_DIR=" + (dir_ / "state").string();
        std::vector<std::string> args = {SNMPD_PROGRAM, "-f", "-Lf", log, "-C", "-c", conf, "-r", "-p", pidFile, address};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::string mibs = "MIBS=";
        std::vector<char*> envp = {state.data(), mibs.data(), nullptr};
        if (posix_spawn(&pid_, SNMPD_PROGRAM, nullptr, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    }

    ~Snmpd() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            const auto deadline = Clock::now() + std::chrono::seconds(10);
            while (waitpid(pid_, nullptr, WNOHANG) == 0) {
                if (Clock::now() > deadline) {
                    kill(pid_, SIGKILL);
                    waitpid(pid_, nullptr, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        if (!dir_.empty()) {
            std::error_code ignored;
            fs::remove_all(dir_, ignored);
        }
    }

    Snmpd(const Snmpd&) = delete;
    Snmpd& operator=(const Snmpd&) = delete;

    std::uint16_t port() const { return port_; }

    // True once the agent answers a GET for the status object; false when it exited or never did.
    bool WaitUntilAnswering() {
        if (pid_ <= 0 || port_ == 0) return false;
        std::int32_t id = 1000;
        for (const auto deadline = Clock::now() + kStartGuard; Clock::now() < deadline; ++id) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            UdpClient client(port_);
            if (!client.ok() || !client.Send(snmp::EncodeGetRequest(snmp::kMakerCommunity, id, snmp::StatusOid()))) {
                return false;
            }
            // A refused datagram (nothing bound yet) makes recv fail at once; wait a little then.
            const auto answer = client.Receive(std::chrono::milliseconds(200));
            if (answer && snmp::DecodeGetResponse(*answer, id)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::string Log() const {
        std::ifstream in(dir_ / "snmpd.log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    fs::path dir_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

// Reads datagrams until one answers `id`; every datagram is offered to `seen` first.
template <typename Seen>
std::optional<snmp::GetResponse> AwaitAnswer(UdpClient& client, std::int32_t id, Seen seen) {
    for (const auto deadline = Clock::now() + kAnswerGuard; Clock::now() < deadline;) {
        const auto datagram = client.Receive(std::chrono::milliseconds(500));
        if (!datagram) continue;
        seen(*datagram);
        if (auto response = snmp::DecodeGetResponse(*datagram, id)) return response;
    }
    return std::nullopt;
}

class SnmpPeer : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(agent_.WaitUntilAnswering()) << "snmpd did not answer:\n" << agent_.Log(); }
    Snmpd agent_;
};

TEST_F(SnmpPeer, StatusObjectReadsBackAsText) {
    UdpClient client(agent_.port());
    ASSERT_TRUE(client.ok());
    ASSERT_TRUE(client.Send(snmp::EncodeGetRequest(snmp::kMakerCommunity, 0x7ABCDEF0, snmp::StatusOid())));
    const auto response = AwaitAnswer(client, 0x7ABCDEF0, [](const Bytes&) {});
    ASSERT_TRUE(response);
    EXPECT_EQ(response->community, snmp::kMakerCommunity);
    EXPECT_EQ(response->errorStatus, snmp::kNoError);
    EXPECT_EQ(response->oid, snmp::StatusOid());
    EXPECT_EQ(response->valueType, snmp::kTagOctetString);
    EXPECT_EQ(std::string(response->value.begin(), response->value.end()), StatusText());
}

TEST_F(SnmpPeer, UnknownObjectIsNoSuchName) {
    UdpClient client(agent_.port());
    ASSERT_TRUE(client.ok());
    const snmp::Oid unknown = *snmp::ParseOid(".1.3.6.1.4.1.58213.3.2.1.2");
    ASSERT_TRUE(client.Send(snmp::EncodeGetRequest(snmp::kMakerCommunity, -7, unknown)));
    const auto response = AwaitAnswer(client, -7, [](const Bytes&) {});
    ASSERT_TRUE(response);
    EXPECT_EQ(response->errorStatus, snmp::kNoSuchName);
    EXPECT_EQ(response->errorIndex, 1);
    EXPECT_EQ(response->oid, unknown);
}

// An agent stays silent for a community it does not know. The request in the right community
// sent after it is answered, and nothing came for the first one before that answer.
TEST_F(SnmpPeer, UnknownCommunityGetsNoAnswer) {
    UdpClient client(agent_.port());
    ASSERT_TRUE(client.ok());
    ASSERT_TRUE(client.Send(snmp::EncodeGetRequest(snmp::kDefaultCommunity, 100, snmp::StatusOid())));
    ASSERT_TRUE(client.Send(snmp::EncodeGetRequest(snmp::kMakerCommunity, 101, snmp::StatusOid())));
    bool answeredUnknown = false;
    const auto response =
        AwaitAnswer(client, 101, [&](const Bytes& d) { answeredUnknown |= snmp::DecodeGetResponse(d, 100).has_value(); });
    ASSERT_TRUE(response);
    EXPECT_FALSE(answeredUnknown);
}

}  // namespace
