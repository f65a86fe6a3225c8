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
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

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
    enum Kind : char { Command = 'C', Retry = 'R', Message = 'M', MessageAck = 'A' };
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

class Printer {
public:
    Printer(std::string address, PrinterSettings settings);
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;

    const std::string& Address() const { return m_address; }

    PrinterSettings Settings();
    // A "key = value" change at run time; empty on success, otherwise the problem.
    std::string Set(const std::string& key, const std::string& value);

    PrinterState State();
    // False while restarting: every endpoint then stays silent or refuses.
    bool Reachable();
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

    // A firmware transfer begins; true when the printer is in update mode and will take it.
    bool BeginFirmware();
    // The transfer ended with this verdict; accepted firmware starts installing.
    void EndFirmware(const FirmwareResult& result, bool began);

    // Panel side.
    AckAction NextCommandAck();
    void RecordPanel(const PanelEvent& event);
    void RecordPackage(const PackageResult& result, const std::string& announcedPanelVersion);
    // 0xE009 arrived: the accepted package (if any) is installed by the next restart.
    void StartPanelInstall();

    // A controller connection began (+1) or ended (-1); the count shows on the control port, so
    // that tests see the library close its connection.
    void CountControllerConnection(int change);
    // A connection on the data port got as far as carrying data (plain: accepted; TLS: handshake
    // done), so tests see how often a client connected, retries included.
    void CountDataConnection();

    // A datagram other than a DNS response reached the printer's mDNS socket or group.
    void RecordMdnsQuery(std::span<const std::uint8_t> datagram);

    // "key=value" lines for the control port, and the panel exchange one event a line.
    std::vector<std::string> Describe();
    std::vector<std::string> PanelLog();
    // Forgets what was received (the versions and settings stay).
    void ClearRecords();

private:
    using Clock = std::chrono::steady_clock;

    void AdvanceLocked();
    std::uint32_t StatusWordLocked();

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
    bool m_panelInstallStarted = false;
    std::vector<PanelEvent> m_panelEvents;
    int m_retries = 0;
    int m_acksSent = 0;          // command acknowledgements counted for the ack fault
    int m_updateModeRequests = 0;
    int m_rebootRequests = 0;
    int m_rebootsRefused = 0;
    int m_restarts = 0;
    int m_dataConnections = 0;
    int m_mdnsQueries = 0;
    std::string m_mdnsLastQuery;           // lower-case hex
    int m_controllerConnections = 0;  // open now; not a record, so "clear" leaves it
};

}  // namespace sim
