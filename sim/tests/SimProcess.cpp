// Test support: the simulator process and the small clients.
#include "sim/tests/SimProcess.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "ports/SnmpCodec.h"
#include "sim/FirmwareCheck.h"
#include "tools/FirmwareFormat.h"

namespace simtest {
namespace {

bool ReadLine(int fd, std::string& pending, std::string& line, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::size_t newline = pending.find('\n');
        if (newline != std::string::npos) {
            line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) return false;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        pending.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string Digest(const EVP_MD* md, std::span<const std::uint8_t> bytes) {
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, md, nullptr);
    return sim::ToHex(digest, length);
}

}  // namespace

std::string PrinterAddress(int index) {
    const unsigned pid = static_cast<unsigned>(getpid());
    return "127." + std::to_string(100 + ((pid >> 14) & 0x7F)) + "." + std::to_string((pid >> 6) & 0xFF) + "." +
           std::to_string((pid & 0x3F) * 3 + 10 + static_cast<unsigned>(index));
}

std::vector<std::string> PrinterAddresses(int count) {
    // 127.228.0.x to 127.255.255.x: above PrinterAddress's second bytes (100 to 227).
    const unsigned pid = static_cast<unsigned>(getpid());
    const std::string net = "127." + std::to_string(228 + (pid >> 8) % 28) + "." + std::to_string(pid & 0xFF) + ".";
    std::vector<std::string> addresses;
    for (int i = 1; i <= std::min(count, 32); ++i) addresses.push_back(net + std::to_string(i));
    return addresses;
}

SimProcess::SimProcess(const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) return;
    std::vector<std::string> all = {SIM_PATH, "--control", "127.0.0.1:0", "--idle-timeout-ms", "5000"};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t parent = getpid();
    m_pid = fork();
    if (m_pid == 0) {
        // The simulator must not outlive a test that crashes or is killed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    sim::Fd pipeFd(out[0]);
    std::string pending, line;
    if (m_pid > 0 && ReadLine(pipeFd.Get(), pending, line, kGuardMs) && line.rfind("ready control=", 0) == 0) {
        m_controlPort = std::atoi(line.c_str() + 14);
        m_control = ConnectTcp("127.0.0.1", m_controlPort);
    }
    if (!m_control.Valid()) m_controlPort = -1;
}

SimProcess::~SimProcess() { Terminate(); }

int SimProcess::Terminate() {
    if (m_pid <= 0) return -1;
    m_control.Reset();
    kill(m_pid, SIGTERM);
    int status = -1;
    for (int waited = 0; waited < kGuardMs; waited += 20) {
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    return -1;
}

std::vector<std::string> SimProcess::Control(const std::string& command) {
    std::vector<std::string> lines;
    const std::string text = command + "\n";
    if (!m_control.Valid() ||
        !SendAll(m_control.Get(), std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()))) {
        ADD_FAILURE() << "control connection lost at: " << command;
        return lines;
    }
    std::string line;
    while (ReadLine(m_control.Get(), m_pending, line, kGuardMs)) {
        if (line == "OK") return lines;
        if (line.rfind("ERR", 0) == 0) {
            ADD_FAILURE() << command << ": " << line;
            return lines;
        }
        lines.push_back(line);
    }
    ADD_FAILURE() << "no answer to: " << command;
    return lines;
}

std::string SimProcess::Show(const std::string& address, const std::string& key) {
    for (const std::string& line : Control("show " + address)) {
        if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 && line[key.size()] == '=') {
            return line.substr(key.size() + 1);
        }
    }
    return {};
}

bool SimProcess::WaitFor(const std::string& address, const std::string& key, const std::string& value) {
    for (int waited = 0; waited < kGuardMs; waited += 20) {
        if (Show(address, key) == value) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int SimProcess::Descriptors() {
    Control("list");
    const std::string path = "/proc/" + std::to_string(m_pid) + "/fd";
    DIR* dir = opendir(path.c_str());
    if (!dir) return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

bool SimProcess::WaitForDescriptors(int count) {
    for (int waited = 0; waited < kGuardMs; waited += 20) {
        if (Descriptors() == count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::vector<std::string> SimProcess::PanelLogUntil(const std::string& address, const std::string& line) {
    std::vector<std::string> log;
    for (int waited = 0; waited < kGuardMs; waited += 20) {
        log = Control("panel " + address);
        if (!log.empty() && log.back() == line) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return log;
}

sim::Fd ConnectTcp(const std::string& address, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) return sim::Fd();
    sim::Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const timeval guard{kGuardMs / 1000, 0};
    setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
    setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &guard, sizeof guard);
    if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return sim::Fd();
    return fd;
}

bool SendAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

std::vector<std::uint8_t> ReceiveExactly(int fd, std::size_t size, int timeoutMs) {
    std::vector<std::uint8_t> out(size);
    std::size_t got = 0;
    while (got < size) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) break;
        const ssize_t n = recv(fd, out.data() + got, size - got, 0);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return out;
}

bool PeerCloses(int fd) {
    std::uint8_t buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kGuardMs) != 1) return false;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return true;
    }
}

std::optional<snmp::GetResponse> SnmpExchange(const std::string& address, const std::string& community, int timeoutMs,
                                              const char* oid) {
    const snmp::Oid target = oid ? *snmp::ParseOid(oid) : snmp::StatusOid();
    const std::vector<std::uint8_t> request = snmp::EncodeGetRequest(community, 4711, target);
    sim::Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(snmp::kAgentPort);
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (sendto(fd.Get(), request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
        return std::nullopt;
    }
    pollfd p{fd.Get(), POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return std::nullopt;
    std::uint8_t buffer[2048];
    const ssize_t n = recv(fd.Get(), buffer, sizeof buffer, 0);
    if (n <= 0) return std::nullopt;
    return snmp::DecodeGetResponse(std::span(buffer, static_cast<std::size_t>(n)), 4711);
}

bool SnmpGet(const std::string& address, const std::string& community, std::string& text, int timeoutMs, const char* oid) {
    const auto response = SnmpExchange(address, community, timeoutMs, oid);
    if (!response) return false;
    text = response->errorStatus != snmp::kNoError ? "error " + std::to_string(response->errorStatus)
                                                   : std::string(response->value.begin(), response->value.end());
    return true;
}

std::vector<std::uint8_t> MakeFirmware(const std::string& modelCode, const std::string& version, std::size_t payloadSize) {
    using namespace firmware_format;
    std::string header = "PUF1" + modelCode + "MAIN FIRMWARE V" + version;
    header.resize(kHeaderSize, ' ');
    std::vector<std::uint8_t> image(header.begin(), header.end());
    std::uint32_t x = 0x12345678;
    for (std::size_t i = 0; i < payloadSize; ++i) {
        x = x * 1664525u + 1013904223u;
        image.push_back(static_cast<std::uint8_t>(x >> 24));
    }
    image.insert(image.end(), kTrailerMagic, kTrailerMagic + 4);
    for (int i = 0; i < 4; ++i) image.push_back(static_cast<std::uint8_t>(payloadSize >> (8 * i)));
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(image.data(), kHeaderSize + payloadSize, digest, &length, EVP_sha256(), nullptr);
    image.insert(image.end(), digest, digest + length);
    return image;
}

std::string Sha256Hex(std::span<const std::uint8_t> bytes) { return Digest(EVP_sha256(), bytes); }
std::string Md5Hex(std::span<const std::uint8_t> bytes) { return Digest(EVP_md5(), bytes); }

}  // namespace simtest
