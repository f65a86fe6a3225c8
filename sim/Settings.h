// What one simulated printer is and which faults it shows, and the simulator's own options: read
// from the command line and from scenario files, and changed at run time by the control port.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

// What the printer does to the n-th acknowledgement of an installer command on the panel port.
enum class AckFault { None, Drop, Delay, Corrupt };

// Which SNMP communities get an answer.
enum class Communities { Both, DefaultOnly, MakerOnly, None };

// What the mDNS responder does with a query it would answer.
enum class MdnsFault {
    None,
    Silent,     // no answer at all
    Twice,      // the same answer datagram sent twice
    Malformed,  // an answer with a pointer cycle, and an SRV record reaching past the datagram's end
};

struct Faults {
    static constexpr int kRefuseAll = -1;

    AckFault ackFault = AckFault::None;
    int ackFaultAt = 1;          // 1-based, counted over the printer's command acknowledgements
    int ackDelayMs = 500;
    bool coalesceAck = false;    // an acknowledgement and the next panel message in one write
    std::uint16_t withheldMessage = 0;  // a panel message never sent (0: none)
    int closeAfterBlocks = -1;   // close the panel connection after this many data blocks
    bool rejectDigest = false;
    bool rejectFirmware = false;
    int opcode45Ms = 0;          // operation code 45 for this long after entering update mode
    bool opcode1 = false;
    int refuseReboots = 0;       // restart requests refused before one is accepted; kRefuseAll: every one
    bool neverBack = false;      // a restart does not end while this is on
    bool keepOldVersion = false; // come back from the restart with the old versions
    bool refuseInstall = false;  // the panel's 0xE009 is not acknowledged: it closes the connection
    bool silent = false;         // nothing answers, as while restarting, until switched off
    long long dataStallAfter = -1;  // TCP 9100 stops reading a connection after this many bytes
    int snmpError = 0;           // the status object is answered with this SNMP error status
    MdnsFault mdnsFault = MdnsFault::None;
    std::string mdnsAlsoFrom;    // another local address that sends every mDNS answer again
};

// Where the mDNS responder sends its answer to a query from the mDNS port.
enum class MdnsReplyRoute {
    Asked,      // as the query asks: unicast for the question's unicast-response bit, else multicast
    Multicast,  // always to the group with ID 0, as responders answer a query first heard
};

struct PrinterSettings {
    std::string model = "Zentil-640";
    std::string serial = "ZT640-000001";
    std::string firmware = "3.30";
    std::string panel = "3.0.0";
    std::string modelCode = "041852";
    std::string security = "0.00";
    bool subPower = false;       // SUB power on: the information reply says "not ready"
    bool iplMode = false;        // the information reply says "IPL" from the start
    int installMs = 3000;
    int restartMs = 3000;
    Communities communities = Communities::Both;
    std::string mdnsName;  // the mDNS instance name; empty: "Corvane <model> (<serial>)"
    std::string mdnsHost;  // the host name before ".local"; empty: the serial's letters and digits
    MdnsReplyRoute mdnsReply = MdnsReplyRoute::Asked;
    bool mdnsSplit = false;        // the answer's records in three datagrams
    int mdnsTxtPad = 0;            // bytes of extra TXT strings
    std::string mdnsIgnoreFrom;    // queries from this address are recorded but not answered
    // The certificate TLS connections get: "shared", "issued", "issued-elsewhere", or the name
    // of a self-signed one (sim/Certificates.h).
    std::string certificate = "shared";
    Faults faults;

    bool Secure() const { return !security.empty() && security != "0.00"; }
};

// The names the mDNS responder announces, with the defaults filled in; each fits one DNS label
// (at most 63 bytes).
std::string MdnsInstanceName(const PrinterSettings& settings);
std::string MdnsHostName(const PrinterSettings& settings);

// Applies one "key = value" setting (the keys of sim/README.md). Empty on success, otherwise
// what is wrong; the settings are unchanged then.
std::string ApplySetting(PrinterSettings& settings, std::string_view key, std::string_view value);

struct PrinterEntry {
    std::string address;  // dotted IPv4
    PrinterSettings settings;
};

struct SimOptions {
    std::vector<PrinterEntry> printers;
    std::string controlAddress = "127.0.0.1";
    int controlPort = -1;  // -1: no control port; 0: any free port (reported at start)
    std::string logFile;
    std::string certFile;
    std::string keyFile;
    bool certExpired = false;  // the self-signed certificate made at start is already expired
    std::string issuerOut;     // where the test authority's certificate goes (PEM); empty: nowhere
    int idleTimeoutMs = 30000;
    std::size_t maxFirmwareBytes = 64u << 20;
    int snmpPort = 161;
    int dataPort = 9100;
    int panelPort = 57602;
    int controllerPort = 0;  // 0: the controller protocol's own port
    int mdnsPort = 5353;
};

// Reads a scenario file: "[ADDRESS]" starts a printer, "key = value" lines set it, '#' starts
// a comment. Empty on success, otherwise the first problem with its line number.
std::string LoadScenario(const std::string& path, SimOptions& options);
std::string ParseScenario(std::string_view text, SimOptions& options);

// Reads the command line (see sim/README.md). Empty on success, otherwise the problem.
std::string ParseCommandLine(int argc, const char* const* argv, SimOptions& options);

// True for dotted IPv4 text inside 127.0.0.0/8 or any other address the caller accepts.
bool IsDottedIpv4(std::string_view text);

}  // namespace sim
