// The simulator: its printers, every listening socket, and the threads that serve connections.
// Start binds everything; Run serves until Stop (a signal, the control port's "stop"), then
// closes the listeners, ends every connection and joins every thread before it returns.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/Endpoints.h"
#include "sim/Net.h"
#include "sim/Printer.h"
#include "sim/Settings.h"

namespace sim {

class Simulator {
public:
    explicit Simulator(SimOptions options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Makes the certificates and binds every socket. Empty on success, otherwise the problem.
    std::string Start();
    // The control port actually bound (-1 without one).
    int ControlPort() const { return m_controlPort; }
    // Serves until Stop; returns once everything is closed and joined.
    void Run();
    // Safe from any thread and from a signal handler.
    void Stop() { m_stop.Set(); }

    // Lines of the control protocol's answer to one command line (ending "OK" or "ERR ...").
    std::vector<std::string> Control(const std::string& line);

private:
    struct Endpoint {
        enum Kind { Snmp, Controller, Data, Panel, ControlPort, Mdns, MdnsGroup } kind;
        Printer* printer;  // null for the control port
        Fd fd;
        int replyFd = -1;  // mDNS: the printer's own mDNS socket, which sends every answer
        std::uint64_t held = 0;  // TCP listeners: the printer's id for them (Printer::HoldListener)
    };
    struct Connection {
        const Printer* printer = nullptr;  // null for the control port
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void Accept(Endpoint& endpoint);
    // Serves the connections the printers took in as they fell silent.
    void AcceptTakenIn();
    void Serve(Endpoint::Kind kind, Printer& printer, AcceptedConnection connection);
    void ServeDatagrams(Endpoint& endpoint);
    void ServeMdns(Endpoint& endpoint);
    void SendMdns(const MdnsReply& reply, const Endpoint& endpoint, const sockaddr_in& peer);
    void ServeControl(Fd socket);
    // Whether `printer` (null: the control port) has as many connections as it may serve.
    bool AtConnectionLimit(const Printer* printer) const;
    void Spawn(const Printer* printer, std::function<void()> work);
    void Reap(bool all);
    Printer* Find(const std::string& address);

    SimOptions m_options;
    std::vector<std::unique_ptr<Printer>> m_printers;
    StopEvent m_stop;
    Fd m_taken;  // an eventfd: a printer took connections in (Printer::TakeAccepted)
    std::unique_ptr<Certificates> m_certificates;
    std::unique_ptr<EndpointContext> m_context;
    std::vector<Endpoint> m_endpoints;
    int m_controlPort = -1;
    std::list<std::unique_ptr<Connection>> m_connections;  // touched by the Run thread only
};

}  // namespace sim
