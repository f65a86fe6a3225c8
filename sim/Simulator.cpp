// One thread polls every listening socket and the stop event; SNMP datagrams are answered on
// it, and each accepted connection gets a thread of its own. A printer's connections are
// accepted through the printer; those it takes in by itself as it falls silent come to this
// thread through an eventfd it polls too. Connection threads share nothing but their printer
// (which locks itself) and the stop event, so stopping is: set the event, every wait returns,
// join.
#include "sim/Simulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <span>
#include <sstream>

#include "controller/ControllerProtocol.h"
#include "sim/Log.h"
#include "sim/MdnsMessage.h"

namespace sim {
namespace {

// Connections served at once, by each printer and by the control port: one more is refused
// with a reset. A limit per printer, so that a client flooding one printer cannot shut out the
// others, and so that every printer of a full run serves what an installer opens on it at once
// (a controller connection, a firmware stream, a panel connection, looks at its certificate, and
// connections a client has closed while the printer was silent, which linger until it answers).
constexpr std::size_t kMaxConnectionsPerPrinter = 64;
constexpr std::size_t kMaxControlConnections = 64;
constexpr std::size_t kMaxControlLine = 1024;

// Takes the datagrams waiting on `fd`, at most 64 a turn so that one busy socket cannot starve
// the others, and hands each to `handle` with its sender; one longer than `Capacity` bytes comes
// as oversized, without its bytes.
template <std::size_t Capacity, typename Handle>
void DrainDatagrams(int fd, Handle handle) {
    std::array<std::uint8_t, Capacity> buffer;
    for (int i = 0; i < 64; ++i) {
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        const ssize_t n =
            recvfrom(fd, buffer.data(), buffer.size(), MSG_TRUNC, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (n < 0) return;
        const bool oversized = static_cast<std::size_t>(n) > buffer.size();
        handle(std::span<const std::uint8_t>(buffer.data(), oversized ? 0 : static_cast<std::size_t>(n)), oversized,
               peer);
    }
}

const char* KindName(int kind) {
    static const char* const kNames[] = {"snmp", "controller", "data", "panel", "control", "mdns", "mdns"};
    return kNames[kind];
}

}  // namespace

Simulator::Simulator(SimOptions options)
    : m_options(std::move(options)), m_taken(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    const int taken = m_taken.Get();
    const auto signal = [taken] {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(taken, &one, sizeof one);
    };
    for (const PrinterEntry& entry : m_options.printers) {
        m_printers.push_back(std::make_unique<Printer>(entry.address, entry.settings, signal));
    }
}

Simulator::~Simulator() {
    Stop();
    Reap(true);
}

std::string Simulator::Start() {
    if (!m_taken.Valid()) return std::string("eventfd: ") + std::strerror(errno);
    std::vector<std::string> addresses;
    for (const auto& printer : m_printers) addresses.push_back(printer->Address());
    m_certificates = std::make_unique<Certificates>(addresses);
    std::string error = m_certificates->Start(m_options);
    if (!error.empty()) return "TLS: " + error;
    m_context = std::make_unique<EndpointContext>(
        EndpointContext{m_stop, *m_certificates, m_options.idleTimeoutMs, m_options.maxFirmwareBytes});

    const int controllerPort = m_options.controllerPort ? m_options.controllerPort : ctl::kControllerPort;
    for (const auto& printer : m_printers) {
        const std::pair<Endpoint::Kind, int> ports[] = {{Endpoint::Snmp, m_options.snmpPort},
                                                        {Endpoint::Controller, controllerPort},
                                                        {Endpoint::Data, m_options.dataPort},
                                                        {Endpoint::Panel, m_options.panelPort}};
        for (const auto& [kind, port] : ports) {
            Fd fd = kind == Endpoint::Snmp ? BindUdp(printer->Address(), port, error)
                                           : ListenTcp(printer->Address(), port, error);
            if (!fd.Valid()) return error;
            // The printer holds its listeners, so that they fall silent the moment it does.
            const std::uint64_t held = kind == Endpoint::Snmp ? 0 : printer->HoldListener(fd.Get());
            if (kind != Endpoint::Snmp && held == 0) return "cannot hold the listener on " + printer->Address();
            m_endpoints.push_back({kind, printer.get(), std::move(fd), -1, held});
        }
        // mDNS: unicast queries arrive on the printer's own address; multicast ones only on a
        // socket bound to the group, which hears the group on the printer's interface alone.
        Fd mdns = BindUdp(printer->Address(), m_options.mdnsPort, error);
        if (!mdns.Valid()) return error;
        const std::string who = printer->Address() + " mdns:";
        if (!SetMulticastSender(mdns.Get(), printer->Address(), error)) Log(who, "%s", error.c_str());
        const int replyFd = mdns.Get();
        m_endpoints.push_back({Endpoint::Mdns, printer.get(), std::move(mdns), replyFd});
        Fd group = BindMulticastGroup(kMdnsGroup, printer->Address(), m_options.mdnsPort, error);
        if (group.Valid()) {
            m_endpoints.push_back({Endpoint::MdnsGroup, printer.get(), std::move(group), replyFd});
        } else {
            Log(who, "no multicast queries (%s): unicast queries only", error.c_str());
        }
        error.clear();

        const PrinterSettings s = printer->Settings();
        Log(printer->Address(), "%s, serial %s, firmware %s, panel %s, model code %s, security %s, certificate %s",
            s.model.c_str(), s.serial.c_str(), s.firmware.c_str(), s.panel.c_str(), s.modelCode.c_str(),
            s.security.c_str(), s.certificate.c_str());
    }
    if (m_options.controlPort >= 0) {
        Fd fd = ListenTcp(m_options.controlAddress, m_options.controlPort, error);
        if (!fd.Valid()) return "control port: " + error;
        m_controlPort = LocalPort(fd.Get());
        m_endpoints.push_back({Endpoint::ControlPort, nullptr, std::move(fd)});
    }
    return {};
}

void Simulator::Run() {
    constexpr std::size_t kFirstEndpoint = 2;  // after the stop event and m_taken
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({m_stop.Fd(), POLLIN, 0});
        fds.push_back({m_taken.Get(), POLLIN, 0});
        for (const Endpoint& e : m_endpoints) fds.push_back({e.fd.Get(), POLLIN, 0});
        // A restart ends when the printer is next asked; with its listeners silent nobody may ask,
        // so the loop asks itself when the restart is due to end.
        int timeoutMs = 500;
        for (const auto& printer : m_printers) {
            const int left = printer->MsUntilRestartEnds();
            if (left >= 0) timeoutMs = std::min(timeoutMs, left + 1);
        }
        const int n = poll(fds.data(), fds.size(), timeoutMs);
        if (m_stop.IsSet()) break;
        if (n > 0) {
            if (fds[1].revents) AcceptTakenIn();
            for (std::size_t i = 0; i < m_endpoints.size(); ++i) {
                if (!fds[i + kFirstEndpoint].revents) continue;
                switch (m_endpoints[i].kind) {
                    case Endpoint::Snmp: ServeDatagrams(m_endpoints[i]); break;
                    case Endpoint::Mdns:
                    case Endpoint::MdnsGroup: ServeMdns(m_endpoints[i]); break;
                    default: Accept(m_endpoints[i]); break;
                }
            }
        }
        Reap(false);
    }
    Log("sim", "stopping");
    for (const Endpoint& e : m_endpoints) {
        if (e.held != 0) e.printer->ReleaseSocket(e.held);
    }
    for (const auto& printer : m_printers) {
        for (const AcceptedConnection& c : printer->TakeAccepted()) printer->ReleaseSocket(c.held);
    }
    m_endpoints.clear();  // closes every listener: new connections are refused from here on
    Reap(true);
    Log("sim", "stopped");
}

void Simulator::ServeDatagrams(Endpoint& endpoint) {
    DrainDatagrams<2048>(endpoint.fd.Get(), [&](std::span<const std::uint8_t> datagram, bool oversized,
                                                const sockaddr_in& peer) {
        std::string note;
        std::vector<std::uint8_t> answer;
        if (oversized) {
            note = "oversized datagram dropped";
        } else {
            answer = AnswerSnmp(*endpoint.printer, datagram, note);
        }
        Log(endpoint.printer->Address() + " snmp:", "%s", note.c_str());
        if (!answer.empty()) {
            sendto(endpoint.fd.Get(), answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
                   sizeof peer);
        }
    });
}

void Simulator::ServeMdns(Endpoint& endpoint) {
    DrainDatagrams<9000>(endpoint.fd.Get(), [&](std::span<const std::uint8_t> datagram, bool oversized,
                                                const sockaddr_in& peer) {
        char from[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, from, sizeof from);
        const std::string who = endpoint.printer->Address() + " mdns:";
        const char* via = endpoint.kind == Endpoint::MdnsGroup ? "multicast" : "unicast";
        if (oversized) {
            Log(who, "oversized datagram from %s:%d dropped", from, ntohs(peer.sin_port));
            return;
        }
        std::string note;
        const MdnsReply reply =
            AnswerMdns(*endpoint.printer, datagram, from, ntohs(peer.sin_port), m_options.mdnsPort, m_options.dataPort, note);
        if (!note.empty()) Log(who, "%s from %s:%d: %s", via, from, ntohs(peer.sin_port), note.c_str());
        if (!reply.datagrams.empty()) SendMdns(reply, endpoint, peer);
    });
}

void Simulator::SendMdns(const MdnsReply& reply, const Endpoint& endpoint, const sockaddr_in& peer) {
    const std::string who = endpoint.printer->Address() + " mdns:";
    sockaddr_in to = peer;
    if (reply.multicast) {
        to.sin_port = htons(static_cast<std::uint16_t>(m_options.mdnsPort));
        inet_pton(AF_INET, kMdnsGroup, &to.sin_addr);
    }
    auto sendFrom = [&](int fd, const std::string& from) {
        for (const std::vector<std::uint8_t>& datagram : reply.datagrams) {
            for (int copy = 0; copy < reply.copies; ++copy) {
                if (sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) <
                    0) {
                    Log(who, "sending from %s failed: %s", from.c_str(), std::strerror(errno));
                }
            }
        }
    };
    sendFrom(endpoint.replyFd, endpoint.printer->Address());
    if (reply.alsoFrom.empty()) return;

    // The second sender: a printer of ours has a socket there; any other local address gets a
    // socket for this one answer, and must exist on this machine.
    for (const Endpoint& other : m_endpoints) {
        if (other.kind == Endpoint::Mdns && other.printer->Address() == reply.alsoFrom) {
            sendFrom(other.fd.Get(), reply.alsoFrom);
            return;
        }
    }
    std::string error;
    Fd fd = BindUdp(reply.alsoFrom, m_options.mdnsPort, error);
    if (fd.Valid() && (!reply.multicast || SetMulticastSender(fd.Get(), reply.alsoFrom, error))) {
        sendFrom(fd.Get(), reply.alsoFrom);
    } else {
        Log(who, "cannot send from %s: %s", reply.alsoFrom.c_str(), error.c_str());
    }
}

void Simulator::Accept(Endpoint& endpoint) {
    if (endpoint.kind != Endpoint::ControlPort) {
        // Through the printer, which holds the connection from the start.
        AcceptedConnection connection = endpoint.printer->Accept(endpoint.held);
        if (connection.socket.Valid()) Serve(endpoint.kind, *endpoint.printer, std::move(connection));
        return;
    }
    Fd socket(accept4(endpoint.fd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!socket.Valid()) return;
    if (AtConnectionLimit(nullptr)) {
        Log("sim control:", "too many connections: refused");
        Refuse(std::move(socket));
        return;
    }
    // The descriptor moves into the thread; a shared holder keeps std::function copyable.
    auto held = std::make_shared<Fd>(std::move(socket));
    Spawn(nullptr, [this, held] { ServeControl(std::move(*held)); });
}

void Simulator::AcceptTakenIn() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(m_taken.Get(), &count, sizeof count);
    for (const auto& printer : m_printers) {
        for (AcceptedConnection& connection : printer->TakeAccepted()) {
            const auto listener = std::find_if(m_endpoints.begin(), m_endpoints.end(), [&](const Endpoint& e) {
                return e.printer == printer.get() && e.held == connection.listener;
            });
            if (listener != m_endpoints.end()) {
                Serve(listener->kind, *printer, std::move(connection));
            } else {
                printer->ReleaseSocket(connection.held);
            }
        }
    }
}

void Simulator::Serve(Endpoint::Kind kind, Printer& printer, AcceptedConnection connection) {
    if (AtConnectionLimit(&printer)) {
        Log(printer.Address() + " " + KindName(kind) + ":", "too many connections: refused");
        Refuse(std::move(connection.socket));
        printer.ReleaseSocket(connection.held);  // the last descriptor: the reset goes out now
        return;
    }
    const int one = 1;
    setsockopt(connection.socket.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // The descriptor moves into the thread; a shared holder keeps std::function copyable.
    auto socket = std::make_shared<Fd>(std::move(connection.socket));
    const std::uint64_t held = connection.held;
    Printer* p = &printer;
    const EndpointContext& context = *m_context;
    switch (kind) {
        case Endpoint::Controller:
            Spawn(p, [p, socket, held, &context] { ServeController(*p, std::move(*socket), held, context); });
            break;
        case Endpoint::Data:
            Spawn(p, [p, socket, held, &context] { ServeData(*p, std::move(*socket), held, context); });
            break;
        case Endpoint::Panel:
            Spawn(p, [p, socket, held, &context] { ServePanel(*p, std::move(*socket), held, context); });
            break;
        case Endpoint::Snmp:
        case Endpoint::Mdns:
        case Endpoint::MdnsGroup:
        case Endpoint::ControlPort:
            printer.ReleaseSocket(held);
            break;
    }
}

bool Simulator::AtConnectionLimit(const Printer* printer) const {
    // Connections that are done but not yet reaped have let go of their socket: they do not count.
    const auto open = std::count_if(m_connections.begin(), m_connections.end(), [printer](const auto& c) {
        return c->printer == printer && !c->done.load();
    });
    return static_cast<std::size_t>(open) >= (printer ? kMaxConnectionsPerPrinter : kMaxControlConnections);
}

void Simulator::Spawn(const Printer* printer, std::function<void()> work) {
    auto connection = std::make_unique<Connection>();
    connection->printer = printer;
    Connection* raw = connection.get();
    connection->thread = std::thread([raw, work = std::move(work)] {
        work();
        raw->done.store(true);
    });
    m_connections.push_back(std::move(connection));
}

void Simulator::Reap(bool all) {
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        if (all || (*it)->done.load()) {
            (*it)->thread.join();
            it = m_connections.erase(it);
        } else {
            ++it;
        }
    }
}

Printer* Simulator::Find(const std::string& address) {
    for (const auto& printer : m_printers) {
        if (printer->Address() == address) return printer.get();
    }
    return nullptr;
}

void Simulator::ServeControl(Fd socket) {
    std::unique_ptr<Stream> stream = MakePlainStream(std::move(socket), m_stop);
    std::string pending;
    char buffer[1024];
    for (;;) {
        std::size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::string answer;
            for (const std::string& out : Control(line)) answer += out + "\n";
            if (!stream->WriteAll(answer.data(), answer.size(), m_options.idleTimeoutMs)) return;
        }
        if (pending.size() > kMaxControlLine) {
            const std::string answer = "ERR line too long\n";
            stream->WriteAll(answer.data(), answer.size(), m_options.idleTimeoutMs);
            return;
        }
        // Test clients may sit idle between steps for a long time; only a stop ends this wait.
        const ssize_t n = stream->Read(buffer, sizeof buffer, 3600 * 1000);
        if (n <= 0) return;
        pending.append(buffer, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> Simulator::Control(const std::string& line) {
    std::istringstream in(line);
    std::string command, address, key, value;
    in >> command >> address >> key;
    std::getline(in >> std::ws, value);
    if (command.empty()) return {"ERR empty command"};
    if (command == "help") {
        return {"list", "show ADDRESS", "panel ADDRESS", "set ADDRESS KEY VALUE", "clear ADDRESS", "stop", "OK"};
    }
    if (command == "list") {
        std::vector<std::string> lines;
        for (const auto& printer : m_printers) lines.push_back(printer->Address() + " " + StateName(printer->State()));
        lines.push_back("OK");
        return lines;
    }
    if (command == "stop") {
        Log("sim", "stop requested on the control port");
        Stop();
        return {"OK"};
    }
    Printer* printer = Find(address);
    if (command != "show" && command != "panel" && command != "set" && command != "clear") {
        return {"ERR unknown command " + command};
    }
    if (!printer) return {"ERR no printer " + address};
    std::vector<std::string> lines;
    if (command == "show") {
        // The certificate's name and fingerprint from one reading of the settings, after security.
        const PrinterSettings settings = printer->Settings();
        std::string error;
        const std::shared_ptr<TlsServer> tls = m_certificates->For(settings, printer->Address(), error);
        if (!tls) return {"ERR certificate " + settings.certificate + ": " + error};
        lines = printer->Describe();
        const auto security = std::find_if(lines.begin(), lines.end(),
                                           [](const std::string& line) { return line.starts_with("security="); });
        lines.insert(security == lines.end() ? lines.end() : security + 1,
                     {"certificate=" + settings.certificate, "certificate_sha256=" + tls->CertificateSha256()});
    } else if (command == "panel") {
        lines = printer->PanelLog();
    } else if (command == "clear") {
        printer->ClearRecords();
    } else {
        if (key.empty() || value.empty()) return {"ERR set takes ADDRESS KEY VALUE"};
        const std::string error = printer->Set(key, value);
        if (!error.empty()) return {"ERR " + error};
    }
    lines.push_back("OK");
    return lines;
}

}  // namespace sim
