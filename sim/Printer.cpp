// The printer's update cycle and records. Time-driven steps (installing, restarting) are
// taken lazily: every call first advances the state to the present moment.
#include "sim/Printer.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "sim/FirmwareCheck.h"
#include "sim/Log.h"

namespace sim {
namespace {

// Enough for a full transfer of a large package with every block retried.
constexpr std::size_t kMaxPanelEvents = 40000;

std::string Hex4(std::uint16_t code) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", code);
    return text;
}

}  // namespace

const char* StateName(PrinterState state) {
    switch (state) {
        case PrinterState::Ready: return "ready";
        case PrinterState::UpdateMode: return "update-mode";
        case PrinterState::Receiving: return "receiving";
        case PrinterState::Installing: return "installing";
        case PrinterState::Accepted: return "accepted";
        case PrinterState::Restarting: return "restarting";
    }
    return "?";
}

Printer::Printer(std::string address, PrinterSettings settings, std::function<void()> connectionsWaiting)
    : m_address(std::move(address)), m_settings(std::move(settings)), m_connectionsWaiting(std::move(connectionsWaiting)) {}

PrinterSettings Printer::Settings() {
    std::lock_guard lock(m_mutex);
    return m_settings;
}

std::string Printer::Set(const std::string& key, const std::string& value) {
    std::lock_guard lock(m_mutex);
    std::string error = ApplySetting(m_settings, key, value);
    if (!error.empty()) return error;
    if (key == "ack_fault" || key == "ack_fault_at") m_acksSent = 0;
    if (key == "opcode45_ms" && m_state != PrinterState::Ready) {
        m_opcode45Ends = Clock::now() + std::chrono::milliseconds(m_settings.faults.opcode45Ms);
    }
    Log(m_address, "set %s = %s", key.c_str(), value.c_str());
    // `silent` takes effect before the answer to the change goes out; a shorter restart_ms, or
    // never_back off, may end the restart now.
    AdvanceLocked();
    UpdateSocketsLocked();
    return {};
}

void Printer::AdvanceLocked() {
    const Clock::time_point now = Clock::now();
    if (m_state == PrinterState::Installing && now >= m_stateSince + std::chrono::milliseconds(m_settings.installMs)) {
        m_state = PrinterState::Accepted;
        Log(m_address, "firmware installed, waiting for the restart request");
    }
    if (m_state == PrinterState::Restarting && !m_settings.faults.neverBack &&
        now >= m_stateSince + std::chrono::milliseconds(m_settings.restartMs)) {
        if (!m_settings.faults.keepOldVersion) {
            if (!m_newFirmware.empty()) m_settings.firmware = m_newFirmware;
            if (!m_newPanel.empty()) m_settings.panel = m_newPanel;
        }
        m_newFirmware.clear();
        m_newPanel.clear();
        m_panelInstall = PanelInstall::No;
        m_state = PrinterState::Ready;
        ++m_boot;
        Log(m_address, "back after restart: firmware %s, panel %s", m_settings.firmware.c_str(),
            m_settings.panel.c_str());
        UpdateSocketsLocked();
    }
}

bool Printer::ReachableLocked() const { return m_state != PrinterState::Restarting && !m_settings.faults.silent; }

void Printer::UpdateSocketsLocked() {
    const bool silent = !ReachableLocked();
    const bool fallingSilent = silent && !m_silent;
    if (m_silent && !silent) m_answeringSince = Clock::now();
    m_silent = silent;
    int reset = 0;
    for (HeldSocket& s : m_sockets) {
        if (!silent && s.connection && s.boot != m_boot && !s.reset) {
            s.reset = true;
            if (ResetConnection(s.fd.Get())) ++reset;
        }
        if (s.silenced == silent) continue;
        if (SetDropAll(s.fd.Get(), silent)) {
            s.silenced = silent;
        } else {
            Log(m_address, "cannot %s a socket: %s", silent ? "silence" : "unsilence", std::strerror(errno));
        }
    }
    if (reset > 0) Log(m_address, "%d connection(s) from before the restart reset", reset);
    if (!fallingSilent) return;
    // Connections the kernel completed before the listeners fell silent but nobody accepted yet
    // would take in data unfiltered: take them now, silenced like the rest.
    const std::size_t before = m_accepted.size();
    const std::size_t listeners = m_sockets.size();  // AcceptLocked appends connections
    for (std::size_t i = 0; i < listeners; ++i) {
        if (m_sockets[i].connection) continue;
        for (;;) {
            AcceptedConnection accepted = AcceptLocked(m_sockets[i].id, m_sockets[i].fd.Get());
            if (!accepted.socket.Valid()) break;
            m_accepted.push_back(std::move(accepted));
        }
    }
    if (m_accepted.size() == before) return;
    Log(m_address, "took in %zu connection(s) not yet accepted", m_accepted.size() - before);
    if (m_connectionsWaiting) m_connectionsWaiting();
}

AcceptedConnection Printer::AcceptLocked(std::uint64_t listener, int fd) {
    AcceptedConnection accepted{listener, Fd(accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)), 0};
    if (!accepted.socket.Valid()) return accepted;
    HeldSocket held{m_nextSocketId, Fd(fcntl(accepted.socket.Get(), F_DUPFD_CLOEXEC, 0)), true, m_boot};
    if (!held.fd.Valid()) {
        // Not held, it could not be silenced: refused, as when there are too many connections.
        Log(m_address, "cannot hold a connection: %s", std::strerror(errno));
        Refuse(std::move(accepted.socket));
        return accepted;
    }
    if (m_silent) {
        held.silenced = SetDropAll(held.fd.Get(), true);
        if (!held.silenced) Log(m_address, "cannot silence a socket: %s", std::strerror(errno));
    }
    accepted.held = m_nextSocketId++;
    m_sockets.push_back(std::move(held));
    return accepted;
}

PrinterState Printer::State() {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    return m_state;
}

bool Printer::Reachable() {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    return ReachableLocked();
}

bool Printer::AnsweredThroughout(int ms) {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    return ReachableLocked() && Clock::now() - m_answeringSince >= std::chrono::milliseconds(ms);
}

int Printer::MsUntilRestartEnds() {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    if (m_state != PrinterState::Restarting || m_settings.faults.neverBack) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        m_stateSince + std::chrono::milliseconds(m_settings.restartMs) - Clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
}

std::string Printer::InfoText() {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    // Outside "ready" the printer runs its boot loader, which reports "IPL" and the panel
    // version it still has.
    const bool ipl = m_settings.iplMode || m_state != PrinterState::Ready;
    const std::uint32_t readyWord = m_settings.subPower ? 0x00000000u : 0x80000000u;
    char status[40];
    // A tag-0 item first (the detail word), then the tag-1 item with the status word.
    std::snprintf(status, sizeof status, "0008%08X0108%08X", static_cast<unsigned>(m_state), readyWord);
    return "MDL:" + m_settings.model + ";SN:" + m_settings.serial + ";VER:" + m_settings.firmware +
           ";PANEL:" + m_settings.panel + ";MODE:" + (ipl ? "IPL" : "NORMAL") + ";STATUS:" + status +
           ";SECURITY:" + m_settings.security + ";";
}

std::uint32_t Printer::StatusWordLocked() {
    switch (m_state) {
        case PrinterState::UpdateMode:
        case PrinterState::Receiving: return 0x81000000u;
        case PrinterState::Installing: return 0x83000000u;
        case PrinterState::Accepted: return 0x86000000u;
        case PrinterState::Ready:
        case PrinterState::Restarting: return 0;
    }
    return 0;
}

std::uint32_t Printer::StatusWord() {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    return StatusWordLocked();
}

std::uint32_t Printer::DetailWord() {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    return static_cast<std::uint32_t>(m_state);
}

int Printer::OperationCode() {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    if (m_settings.faults.opcode1) return 1;
    if (m_state != PrinterState::Ready && Clock::now() < m_opcode45Ends) return 45;
    return 0;
}

bool Printer::AnswersCommunity(const std::string& community) {
    std::lock_guard lock(m_mutex);
    switch (m_settings.communities) {
        case Communities::Both: return community == "cvn" || community == "public";
        case Communities::DefaultOnly: return community == "public";
        case Communities::MakerOnly: return community == "cvn";
        case Communities::None: return false;
    }
    return false;
}

bool Printer::EnterUpdateMode(const char* how) {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    ++m_updateModeRequests;
    if (m_state == PrinterState::Restarting) return false;
    if (m_state != PrinterState::Ready) {
        Log(m_address, "update mode requested (%s) while %s", how, StateName(m_state));
        return m_state == PrinterState::UpdateMode;
    }
    if (m_settings.subPower) {
        Log(m_address, "update mode refused (%s): SUB power is on", how);
        return false;
    }
    m_state = PrinterState::UpdateMode;
    m_opcode45Ends = Clock::now() + std::chrono::milliseconds(m_settings.faults.opcode45Ms);
    Log(m_address, "entered update mode (%s)", how);
    return true;
}

bool Printer::RequestReboot() {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    ++m_rebootRequests;
    if (m_state == PrinterState::Restarting) return false;
    if (m_state == PrinterState::Receiving || m_state == PrinterState::Installing) {
        Log(m_address, "restart refused while %s", StateName(m_state));
        return false;
    }
    int& refusals = m_settings.faults.refuseReboots;
    if (refusals != 0) {
        ++m_rebootsRefused;
        if (refusals == Faults::kRefuseAll) {
            Log(m_address, "restart refused (fault: every one)");
        } else {
            --refusals;
            Log(m_address, "restart refused (fault, %d more)", refusals);
        }
        return false;
    }
    m_state = PrinterState::Restarting;
    m_stateSince = Clock::now();
    ++m_restarts;
    if (m_settings.faults.neverBack) {
        Log(m_address, "restarting, not to come back while never_back is on (fault)");
    } else {
        Log(m_address, "restarting for %d ms", m_settings.restartMs);
    }
    UpdateSocketsLocked();
    return true;
}

bool Printer::BeginFirmware() {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    ++m_firmwareConnections;
    if (m_state != PrinterState::UpdateMode) {
        Log(m_address, "firmware data while %s: it will be rejected", StateName(m_state));
        return false;
    }
    m_state = PrinterState::Receiving;
    Log(m_address, "receiving firmware");
    return true;
}

void Printer::EndFirmware(const FirmwareResult& result, bool began) {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    m_firmwareSeen = true;
    m_firmware = result;
    if (result.accepted) {
        Log(m_address, "firmware accepted: %zu bytes, version %s, sha256 %s", result.size, result.version.c_str(),
            result.sha256.c_str());
    } else {
        Log(m_address, "firmware rejected: %s (%zu bytes, sha256 %s)", result.reason.c_str(), result.size,
            result.sha256.c_str());
    }
    if (!began || m_state != PrinterState::Receiving) return;
    if (result.accepted) {
        m_newFirmware = result.version;
        m_state = PrinterState::Installing;
        m_stateSince = Clock::now();
    } else {
        m_state = PrinterState::UpdateMode;
    }
}

AckAction Printer::NextCommandAck() {
    std::lock_guard lock(m_mutex);
    ++m_acksSent;
    const Faults& f = m_settings.faults;
    if (f.ackFault == AckFault::None || m_acksSent != f.ackFaultAt) return {};
    return {f.ackFault, f.ackDelayMs};
}

void Printer::RecordPanel(const PanelEvent& event) {
    std::lock_guard lock(m_mutex);
    if (event.kind == PanelEvent::Retry) ++m_retries;
    if (m_panelEvents.size() < kMaxPanelEvents) m_panelEvents.push_back(event);
}

void Printer::RecordPackage(const PackageResult& result, const std::string& announcedPanelVersion) {
    std::lock_guard lock(m_mutex);
    m_packageSeen = true;
    m_package = result;
    m_announcedPanel = announcedPanelVersion;
    Log(m_address, "package %s: %zu bytes in %d blocks, md5 %s, announced %s", result.accepted ? "accepted" : "rejected",
        result.size, result.blocks, result.md5.c_str(), result.digest.c_str());
}

bool Printer::StartPanelInstall() {
    std::lock_guard lock(m_mutex);
    if (m_settings.faults.refuseInstall) {
        m_panelInstall = PanelInstall::Refused;
        Log(m_address, "panel application install refused (fault)");
        return false;
    }
    m_panelInstall = PanelInstall::Started;
    if (m_packageSeen && m_package.accepted && !m_announcedPanel.empty()) {
        m_newPanel = m_announcedPanel;
        Log(m_address, "installing panel application %s", m_newPanel.c_str());
    } else {
        Log(m_address, "install request without an accepted package");
    }
    return true;
}

void Printer::CountControllerConnection(int change) {
    std::lock_guard lock(m_mutex);
    m_controllerConnections += change;
}

void Printer::CountDataConnection() {
    std::lock_guard lock(m_mutex);
    ++m_dataConnections;
}

void Printer::CountStalledConnection(int change) {
    std::lock_guard lock(m_mutex);
    m_stalledConnections += change;
}

void Printer::RecordMdnsQuery(std::span<const std::uint8_t> datagram) {
    const std::string hex = ToHex(datagram.data(), datagram.size());
    std::lock_guard lock(m_mutex);
    ++m_mdnsQueries;
    m_mdnsLastQuery = hex;
}

void Printer::RecordMdnsAnswer(const std::string& sizes) {
    std::lock_guard lock(m_mutex);
    m_mdnsLastAnswer = sizes;
}

std::uint64_t Printer::HoldListener(int fd) {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    HeldSocket held{m_nextSocketId, Fd(fcntl(fd, F_DUPFD_CLOEXEC, 0)), false, m_boot};
    if (!held.fd.Valid()) {
        Log(m_address, "cannot hold a listener: %s", std::strerror(errno));
        return 0;
    }
    m_sockets.push_back(std::move(held));
    UpdateSocketsLocked();
    return m_nextSocketId++;
}

AcceptedConnection Printer::Accept(std::uint64_t listener) {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    for (const HeldSocket& s : m_sockets) {
        if (s.id == listener && !s.connection) return AcceptLocked(s.id, s.fd.Get());
    }
    return {listener, Fd(), 0};
}

std::vector<AcceptedConnection> Printer::TakeAccepted() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_accepted, {});
}

void Printer::ReleaseSocket(std::uint64_t id) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_sockets, [id](const HeldSocket& s) { return s.id == id; });
}

bool Printer::SocketReset(std::uint64_t id) {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    for (const HeldSocket& s : m_sockets) {
        if (s.id == id) return s.reset;
    }
    return false;
}

std::vector<std::string> Printer::Describe() {
    std::lock_guard lock(m_mutex);
    AdvanceLocked();
    char word[16];
    std::snprintf(word, sizeof word, "%08X", StatusWordLocked());
    std::vector<std::string> lines = {
        "address=" + m_address,
        "state=" + std::string(StateName(m_state)),
        "model=" + m_settings.model,
        "firmware=" + m_settings.firmware,
        "panel=" + m_settings.panel,
        "security=" + m_settings.security,
        "status_word=" + std::string(word),
        "update_mode_requests=" + std::to_string(m_updateModeRequests),
        "reboot_requests=" + std::to_string(m_rebootRequests),
        "reboots_refused=" + std::to_string(m_rebootsRefused),
        "restarts=" + std::to_string(m_restarts),
        "panel_retries=" + std::to_string(m_retries),
        "panel_install=" + std::string(m_panelInstall == PanelInstall::Started   ? "started"
                                        : m_panelInstall == PanelInstall::Refused ? "refused"
                                                                                  : "no"),
        "controller_connections=" + std::to_string(m_controllerConnections),
        "data_connections=" + std::to_string(m_dataConnections),
        "firmware_connections=" + std::to_string(m_firmwareConnections),
        "stalled_connections=" + std::to_string(m_stalledConnections),
        "mdns_queries=" + std::to_string(m_mdnsQueries),
        "mdns_last_query=" + m_mdnsLastQuery,
        "mdns_last_answer=" + m_mdnsLastAnswer,
    };
    if (m_firmwareSeen) {
        lines.push_back("firmware_result=" + std::string(m_firmware.accepted ? "accepted" : "rejected"));
        lines.push_back("firmware_reason=" + m_firmware.reason);
        lines.push_back("firmware_size=" + std::to_string(m_firmware.size));
        lines.push_back("firmware_sha256=" + m_firmware.sha256);
        lines.push_back("firmware_version=" + m_firmware.version);
    }
    if (m_packageSeen) {
        lines.push_back("package_result=" + std::string(m_package.accepted ? "accepted" : "rejected"));
        lines.push_back("package_size=" + std::to_string(m_package.size));
        lines.push_back("package_blocks=" + std::to_string(m_package.blocks));
        lines.push_back("package_md5=" + m_package.md5);
        lines.push_back("package_digest=" + m_package.digest);
        lines.push_back("panel_announced=" + m_announcedPanel);
    }
    return lines;
}

std::vector<std::string> Printer::PanelLog() {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> lines;
    lines.reserve(m_panelEvents.size());
    for (const PanelEvent& e : m_panelEvents) {
        char text[48];
        std::snprintf(text, sizeof text, "%c %s %02X %02X", static_cast<char>(e.kind), Hex4(e.code).c_str(),
                      e.sequence & 0xFF, e.attempt & 0xFF);
        lines.push_back(text);
    }
    return lines;
}

void Printer::ClearRecords() {
    std::lock_guard lock(m_mutex);
    m_firmwareSeen = m_packageSeen = false;
    m_firmware = {};
    m_package = {};
    m_panelEvents.clear();
    m_retries = m_updateModeRequests = m_rebootRequests = m_rebootsRefused = m_restarts = m_dataConnections = 0;
    m_firmwareConnections = 0;
    m_mdnsQueries = 0;
    m_mdnsLastQuery.clear();
    m_mdnsLastAnswer.clear();
}

}  // namespace sim
