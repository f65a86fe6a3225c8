// The simulator's line-based control protocol over Winsock.
#include "tests/windows/SimControl.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

constexpr DWORD kGuardMs = 10000;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

SimControl::SimControl() : m_net(Environment("SIM_NET")) {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    const std::string control = Environment("SIM_CONTROL");
    const std::size_t colon = control.rfind(':');
    if (!started || colon == std::string::npos || m_net.empty()) {
        ADD_FAILURE() << "run this test through with-sim.sh (SIM_CONTROL and SIM_NET are not set)";
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(static_cast<u_short>(std::atoi(control.c_str() + colon + 1)));
    ::inet_pton(AF_INET, control.substr(0, colon).c_str(), &address.sin_addr);
    UniqueSocket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s || ::connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "cannot reach the simulator's control port " << control;
        return;
    }
    const DWORD guard = kGuardMs;
    ::setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&guard), sizeof guard);
    m_socket = std::move(s);
}

std::string SimControl::Printer(int n) const {
    if (n < 1 || n > kMaxPrinters) {
        ADD_FAILURE() << "no printer @" << n << ": the printers are @1 to @" << kMaxPrinters;
        return {};
    }
    return m_net + "." + std::to_string(n);
}

bool SimControl::ReadLine(std::string& line) {
    for (;;) {
        const std::size_t end = m_pending.find('\n');
        if (end != std::string::npos) {
            line = m_pending.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            m_pending.erase(0, end + 1);
            return true;
        }
        char buffer[4096];
        const int n = ::recv(m_socket.get(), buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        m_pending.append(buffer, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> SimControl::Command(const std::string& line) {
    std::vector<std::string> answer;
    if (!m_socket) {
        ADD_FAILURE() << "no control connection for: " << line;
        return answer;
    }
    const std::string request = line + "\n";
    if (::send(m_socket.get(), request.data(), static_cast<int>(request.size()), 0) != static_cast<int>(request.size())) {
        ADD_FAILURE() << "control connection lost sending: " << line;
        return answer;
    }
    std::string reply;
    while (ReadLine(reply)) {
        if (reply == "OK") return answer;
        if (reply.rfind("ERR", 0) == 0) {
            ADD_FAILURE() << "simulator refused '" << line << "': " << reply;
            return answer;
        }
        answer.push_back(reply);
    }
    ADD_FAILURE() << "control connection lost waiting for: " << line;
    return answer;
}

std::string SimControl::Show(const std::string& address, const std::string& key) {
    const std::string prefix = key + "=";
    for (const std::string& line : Command("show " + address)) {
        if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
    }
    return {};
}

bool SimControl::WaitFor(const std::string& address, const std::string& key, const std::string& value) {
    const ULONGLONG deadline = ::GetTickCount64() + kGuardMs;
    do {
        if (Show(address, key) == value) return true;
        ::Sleep(20);
    } while (::GetTickCount64() < deadline);
    return false;
}
