// The printer's endpoints, one function each: they serve one datagram or one connection for
// one printer and return when it is done, the peer misbehaves, it idles too long or the
// simulator stops. None of them throws or trusts what the peer sends.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/Certificates.h"
#include "sim/Net.h"
#include "sim/Printer.h"

namespace sim {

struct EndpointContext {
    const StopEvent& stop;
    Certificates& certificates;
    int idleTimeoutMs;
    std::size_t maxFirmwareBytes;
};

// SNMP on UDP 161: the answer to one datagram, or nothing (wrong community, malformed, printer
// not reachable). `note` says what happened, for the log.
std::vector<std::uint8_t> AnswerSnmp(Printer& printer, std::span<const std::uint8_t> datagram, std::string& note);

// mDNS on UDP 5353: what goes out for one datagram that reached the printer, on its own address
// or through the group, from `peerAddress`:`peerPort`. Queries are recorded; an answer goes to the
// service question of a query while the printer is reachable, shaped by the printer's mDNS
// settings and faults. DNS responses are passed over without a word (`note` stays empty).
struct MdnsReply {
    std::vector<std::vector<std::uint8_t>> datagrams;  // in the order they go out; none: no answer
    bool multicast = false;                            // to the group; otherwise back to the asker
    int copies = 1;                                    // each sender sends each datagram this often
    std::string alsoFrom;                              // another local address that sends them too
};
MdnsReply AnswerMdns(Printer& printer, std::span<const std::uint8_t> datagram, const std::string& peerAddress,
                     int peerPort, int mdnsPort, int dataPort, std::string& note);

// A connection as its printer holds it while it is served (Printer::Accept): it falls silent
// with the printer, and a restart resets it. Ending it waits while the printer answers nothing,
// for a close is an answer too; so the connection's stream must outlive this object (declared
// before it), or a TLS close would go out from a silent printer.
class HeldConnection {
public:
    HeldConnection(Printer& printer, std::uint64_t id, const StopEvent& stop);
    ~HeldConnection();
    HeldConnection(const HeldConnection&) = delete;
    HeldConnection& operator=(const HeldConnection&) = delete;

    // Waits while the printer answers nothing. False when the simulator stops, or when a restart
    // reset the connection meanwhile: what it carried is then forgotten, as on a real printer.
    bool AwaitAnswering();

private:
    Printer& m_printer;
    const StopEvent& m_stop;
    std::uint64_t m_id;
};

// The printer's TCP endpoints, each serving one connection that the printer holds as `held`.
// TCP 9180: the controller library's protocol.
void ServeController(Printer& printer, Fd socket, std::uint64_t held, const EndpointContext& context);

// TCP 9100: the update-mode frame or firmware data, plain or TLS by the printer's security.
void ServeData(Printer& printer, Fd socket, std::uint64_t held, const EndpointContext& context);

// TCP 57602: the operation panel, plain or TLS by the printer's security.
void ServePanel(Printer& printer, Fd socket, std::uint64_t held, const EndpointContext& context);

// The connection as a stream: through a TLS handshake when the printer is secure, presenting the
// certificate its settings name at this moment; plain otherwise. Null (the reason logged under
// `who`) when the handshake fails.
std::unique_ptr<Stream> AcceptStream(Printer& printer, Fd socket, const EndpointContext& context,
                                     const std::string& who);

// Waits `ms` unless the simulator stops first; false when it stopped.
bool Pause(int ms, const StopEvent& stop);

}  // namespace sim
