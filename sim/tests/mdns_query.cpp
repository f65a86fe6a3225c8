// sim_mdns_query: one mDNS query from a given local address, then one line per datagram that
// came back within the wait, decoded. For the multicast test, which runs it inside a network
// namespace of its own.
//
//   sim_mdns_query --from ADDRESS[:PORT] --to ADDRESS[:PORT] [--mdns-port N] [--id N] [--qu]
//                  [--wait-ms N]
//
// It listens on the mDNS group (joined on the interface of ADDRESS only) and on its own socket.
// Output: "query=HEX", then per datagram
//   via=multicast|unicast from=A.B.C.D:PORT id=N flags=XXXX questions=N problems=N bytes=N
//   a=A.B.C.D host=NAME instance=NAME
// (a, host and instance empty when the datagram has no A, SRV or PTR record).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/Net.h"
#include "sim/tests/DnsDecode.h"

namespace {

bool SplitAddress(const std::string& text, int defaultPort, sockaddr_in& out) {
    const std::size_t colon = text.find(':');
    out = {};
    out.sin_family = AF_INET;
    out.sin_port = htons(static_cast<std::uint16_t>(colon == std::string::npos ? defaultPort : std::atoi(text.c_str() + colon + 1)));
    return inet_pton(AF_INET, text.substr(0, colon).c_str(), &out.sin_addr) == 1;
}

std::string Text(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

int Usage() {
    std::fprintf(stderr, "usage: sim_mdns_query --from ADDRESS[:PORT] --to ADDRESS[:PORT] [--mdns-port N] [--id N] [--qu] [--wait-ms N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string from, to;
    int mdnsPort = 5353, id = 0, waitMs = 1500;
    bool qu = false;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--qu") {
            qu = true;
            continue;
        }
        if (i + 1 >= argc) return Usage();
        const std::string value = argv[++i];
        if (name == "--from") from = value;
        else if (name == "--to") to = value;
        else if (name == "--mdns-port") mdnsPort = std::atoi(value.c_str());
        else if (name == "--id") id = std::atoi(value.c_str());
        else if (name == "--wait-ms") waitMs = std::atoi(value.c_str());
        else return Usage();
    }
    sockaddr_in local{}, target{};
    if (!SplitAddress(from, 0, local) || !SplitAddress(to, mdnsPort, target)) return Usage();
    const std::string localAddress = from.substr(0, from.find(':'));

    sim::Fd sender(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int one = 1, zero = 0;
    setsockopt(sender.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(sender.Get(), IPPROTO_IP, IP_MULTICAST_LOOP, &zero, sizeof zero);
    std::string error;
    if (bind(sender.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        !sim::SetMulticastSender(sender.Get(), localAddress, error)) {
        std::fprintf(stderr, "sim_mdns_query: cannot use %s: %s %s\n", from.c_str(), std::strerror(errno), error.c_str());
        return 1;
    }
    sim::Fd group = sim::BindMulticastGroup("224.0.0.251", localAddress, mdnsPort, error);
    if (!group.Valid()) {
        std::fprintf(stderr, "sim_mdns_query: %s\n", error.c_str());
        return 1;
    }

    const std::vector<std::uint8_t> query =
        simtest::ServiceQuery(static_cast<std::uint16_t>(id), 12, qu ? 0x8001 : 0x0001);
    std::printf("query=%s\n", simtest::Hex(query).c_str());
    if (sendto(sender.Get(), query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target) < 0) {
        std::fprintf(stderr, "sim_mdns_query: send to %s: %s\n", to.c_str(), std::strerror(errno));
        return 1;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd p[2] = {{group.Get(), POLLIN, 0}, {sender.Get(), POLLIN, 0}};
        if (poll(p, 2, static_cast<int>(left)) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!p[i].revents) continue;
            std::uint8_t buffer[16384];
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            const ssize_t n = recvfrom(p[i].fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &length);
            if (n < 0) continue;
            const simtest::DnsMessage m = simtest::DecodeDns(std::span(buffer, static_cast<std::size_t>(n)));
            std::string address, host, instance;
            for (const simtest::DnsRecord& r : m.additional) {
                if (r.type == 1) address = r.address;
                if (r.type == 33) host = r.target;
            }
            if (!m.answers.empty()) instance = m.answers[0].target.substr(0, m.answers[0].target.find("._pdl-datastream"));
            std::printf("via=%s from=%s id=%u flags=%04x questions=%zu problems=%zu bytes=%zd a=%s host=%s instance=%s\n",
                        i == 0 ? "multicast" : "unicast", Text(peer).c_str(), m.id, m.flags, m.questions.size(),
                        m.problems.size(), n, address.c_str(), host.c_str(), instance.c_str());
        }
    }
    return 0;
}
