// One simulated printer: its settings, where it stands in the update cycle and what it has
// received. Every endpoint of the printer (SNMP, controller, data port, panel) reads and
// changes it through these calls; each call takes the printer's lock, so it is safe from any
// connection thread.
//
// The cycle, as the installer reads it:
//   ready -> update mode -> receiving -> installing -> accepted -> restarting -> ready
// "ready" answers with the normal information reply; from update mode on the controller status
// word says where the printer is (state code 1: read the reply over SNMP, 3: installing,
// 6: accepted); while restarting nothing answers. Installing and restarting end by themselves
// once their configured times have passed since they began (a time changed meanwhile counts).
//
// The printer also holds its TCP sockets (listeners and connections), so that they fall silent
// at the very moment it does: while it cannot be reached a socket filter on each drops
// everything that arrives, and when a restart is over the connections from before it are reset.
// Its connections are accepted through it for the same reason: the moment it falls silent it
// takes in whatever its listeners have queued, so that no connection escapes the silence
// because the thread that accepts had not come round to it yet.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "sim/Net.h"
#include "sim/Settings.h"

namespace sim {

enum class PrinterState { Ready, UpdateMode, Receiving, Installing, Accepted, Restarting };

const char* StateName(PrinterState state);

// What the data port concluded about one firmware transfer.
struct FirmwareResult {
    std::size_t size = 0;
    std::string sha256;    // of every byte received, lower-case hex
    bool accepted = false;
    std::string reason;    // why it was rejected
    std::string version;   // the header's version, "x.yy", when accepted
};

// One line of the panel exchange as the printer saw it.
struct PanelEvent {
    enum Kind : char { Command = 'C', Retry = 'R', Message = 'M', MessageAck = 'A', Refused = 'N' };
    Kind kind;
    std::uint16_t code;   // command or panel message code (0 for an acknowledgement)
    int sequence;
    int attempt;
};

// The package as the panel received it.
struct PackageResult {
    std::size_t size = 0;
    std::size_t announcedSize = 0;
    int blocks = 0;
    std::string md5;        // of the bytes received, lower-case hex
    std::string digest;     // the digest text the installer announced
    bool accepted = false;
};

// What happens to one acknowledgement of an installer command.
struct AckAction {
    AckFault fault = AckFault::None;
    int delayMs = 0;
};

// A connection accepted on one of the printer's listeners, held by the printer from the start.
struct AcceptedConnection {
    std::uint64_t listener;  // the id of the listener it came in on
    Fd socket;
    std::uint64_t held;      // its id among the held sockets
};

class Printer {
public:
    // `connectionsWaiting` is called (under the printer's lock: it must only signal) when
    // connections were accepted for TakeAccepted.
    Printer(std::string address, PrinterSettings settings, std::function<void()> connectionsWaiting = {});
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;

    const std::string& Address() const { return m_address; }

    PrinterSettings Settings();
    // A "key = value" change at run time; empty on success, otherwise the problem.
    std::string Set(const std::string& key, const std::string& value);

    PrinterState State();
    // False while restarting or with the `silent` fault: every endpoint then answers nothing.
    bool Reachable();
    // Whether it has answered for at least the last `ms`: a connection idle for that long is closed
    // only then, since nothing could reach the printer while it was silent.
    bool AnsweredThroughout(int ms);
    // How long until a restart is due to end (at least 0); -1 when none is due (not restarting,
    // or kept from coming back by `never_back`).
    int MsUntilRestartEnds();
    // "MDL:...;VER:...;PANEL:...;MODE:...;STATUS:...;SECURITY:...;" as it stands now.
    std::string InfoText();
    // The controller library's two words: bit 31 with the state code in bits 24-27, and a
    // detail word holding the state number.
    std::uint32_t StatusWord();
    std::uint32_t DetailWord();
    int OperationCode();
    // Whether an SNMP request with this community gets an answer.
    bool AnswersCommunity(const std::string& community);

    // The request to enter update mode ("controller" or "frame"). False when the printer is not
    // ready for it (SUB power on) or cannot be reached; true again while already in it.
    bool EnterUpdateMode(const char* how);
    // A restart request: false while receiving or installing, or while refusals are configured.
    bool RequestReboot();

    // A connection's firmware data begins (counted); true when the printer is in update mode
    // and will take it.
    bool BeginFirmware();
    // The transfer ended with this verdict; accepted firmware starts installing.
    void EndFirmware(const FirmwareResult& result, bool began);

    // Panel side.
    AckAction NextCommandAck();
    void RecordPanel(const PanelEvent& event);
    void RecordPackage(const PackageResult& result, const std::string& announcedPanelVersion);
    // 0xE009 arrived: the accepted package (if any) is installed by the next restart. False when
    // the panel refuses (`refuse_install`): then nothing is installed.
    bool StartPanelInstall();

    // A controller connection began (+1) or ended (-1); the count shows on the control port, so
    // that tests see the library close its connection.
    void CountControllerConnection(int change);
    // A connection on the data port got as far as carrying data (plain: accepted; TLS: handshake
    // done), so tests see how often a client connected, retries included.
    void CountDataConnection();
    // A connection on the data port stopped being read (+1, `data_stall_after`) or ended (-1).
    void CountStalledConnection(int change);

    // A datagram other than a DNS response reached the printer's mDNS socket or group.
    void RecordMdnsQuery(std::span<const std::uint8_t> datagram);
    // The sizes of the datagrams of the answer to it, comma-separated.
    void RecordMdnsAnswer(const std::string& sizes);

    // A listening TCP socket of this printer (non-blocking) falls silent with it from now on (at
    // once, if the printer is silent already). The printer keeps a duplicate of the descriptor
    // until ReleaseSocket. Returns its id, 0 when it cannot be held.
    std::uint64_t HoldListener(int fd);
    // The next connection waiting on a held listener, held from the start like the listener (its
    // socket invalid when none waits). A held connection is also reset when a restart that began
    // while it was open is over. The printer keeps a duplicate of its descriptor until
    // ReleaseSocket, so the connection stays open (and no close goes out) until then.
    AcceptedConnection Accept(std::uint64_t listener);
    // The connections the printer took from its listeners when it fell silent.
    std::vector<AcceptedConnection> TakeAccepted();
    void ReleaseSocket(std::uint64_t id);
    // Whether the restart reset this connection.
    bool SocketReset(std::uint64_t id);

    // "key=value" lines for the control port, and the panel exchange one event a line.
    std::vector<std::string> Describe();
    std::vector<std::string> PanelLog();
    // Forgets what was received (the versions and settings stay).
    void ClearRecords();

private:
    using Clock = std::chrono::steady_clock;

    struct HeldSocket {
        std::uint64_t id;
        Fd fd;             // a duplicate
        bool connection;
        int boot;          // connections: the printer's boot when it was opened
        bool silenced = false;
        bool reset = false;
    };
    enum class PanelInstall { No, Started, Refused };

    void AdvanceLocked();
    std::uint32_t StatusWordLocked();
    bool ReachableLocked() const;
    // Brings the held sockets in line with the printer: silenced while it cannot be reached;
    // once it can, the connections of an earlier boot are reset.
    void UpdateSocketsLocked();
    // Accepts one connection on the held listener `fd` and holds it; its socket is invalid when
    // none waits.
    AcceptedConnection AcceptLocked(std::uint64_t listener, int fd);

    const std::string m_address;
    std::mutex m_mutex;
    PrinterSettings m_settings;
    PrinterState m_state = PrinterState::Ready;
    Clock::time_point m_stateSince{};      // installing, restarting: they end after the
                                           // configured time, read when checked
    Clock::time_point m_opcode45Ends{};
    std::string m_newFirmware;             // version to come back with, empty: none
    std::string m_newPanel;

    bool m_firmwareSeen = false;
    FirmwareResult m_firmware;
    bool m_packageSeen = false;
    PackageResult m_package;
    std::string m_announcedPanel;
    PanelInstall m_panelInstall = PanelInstall::No;
    std::vector<PanelEvent> m_panelEvents;
    int m_retries = 0;
    int m_acksSent = 0;          // command acknowledgements counted for the ack fault
    int m_updateModeRequests = 0;
    int m_rebootRequests = 0;
    int m_rebootsRefused = 0;
    int m_restarts = 0;
    int m_dataConnections = 0;
    int m_firmwareConnections = 0;
    int m_mdnsQueries = 0;
    std::string m_mdnsLastQuery;           // lower-case hex
    std::string m_mdnsLastAnswer;          // the sizes of its datagrams
    int m_controllerConnections = 0;  // open now; not records, so "clear" leaves them
    int m_stalledConnections = 0;

    int m_boot = 0;                        // restarts completed, never cleared
    bool m_silent = false;                 // as the held sockets were last set
    Clock::time_point m_answeringSince{};  // when it last came out of silence
    std::vector<HeldSocket> m_sockets;
    std::uint64_t m_nextSocketId = 1;
    std::vector<AcceptedConnection> m_accepted;  // taken in when it fell silent, for TakeAccepted
    std::function<void()> m_connectionsWaiting;
};

}  // namespace sim
