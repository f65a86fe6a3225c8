// Test support: a simulator process of the test's own, addresses no other test uses, and small
// blocking clients for TCP and UDP on loopback. Every wait has a generous guard so that a broken
// simulator fails the test instead of hanging it; no test measures time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <sys/types.h>
#include <vector>

#include "ports/SnmpCodec.h"
#include "sim/Net.h"

namespace simtest {

constexpr int kGuardMs = 10000;

// Loopback addresses for printer `index` (0-2) of this test process, derived from the process
// id so that tests run side by side never share one.
std::string PrinterAddress(int index);
// Loopback addresses for `count` printers (1 to 32) of this test process, apart from those of
// PrinterAddress and of any other process's block.
std::vector<std::string> PrinterAddresses(int count);

// The simulator, started with `args` plus a control port; stopped (SIGTERM, then SIGKILL after
// the guard) by the destructor. It dies with the test process if that dies first.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool Started() const { return m_controlPort > 0; }
    pid_t Pid() const { return m_pid; }
    // One control command; its answer lines without the final "OK" (which must be there:
    // an "ERR" answer or a lost connection fails the current test).
    std::vector<std::string> Control(const std::string& command);
    // The value of `key` in "show ADDRESS", empty when absent.
    std::string Show(const std::string& address, const std::string& key);
    // Polls "show" until `key` has `value` (guarded); true when it did.
    bool WaitFor(const std::string& address, const std::string& key, const std::string& value);
    // Polls "panel ADDRESS" until its last line is `line` (guarded); the lines then, or the last
    // lines seen.
    std::vector<std::string> PanelLogUntil(const std::string& address, const std::string& line);
    // How many descriptors the simulator has open, counted once a control command has been
    // answered (so the control connection is among them); polls until there are `count`
    // (guarded), true when there were.
    int Descriptors();
    bool WaitForDescriptors(int count);
    // Sends SIGTERM and waits; the exit status as waitpid gives it, or -1 after the guard.
    int Terminate();

private:
    pid_t m_pid = -1;
    int m_controlPort = -1;
    sim::Fd m_control;
    std::string m_pending;
};

// A connected, blocking TCP socket with receive and send time-outs of the guard; invalid when
// the connection fails.
sim::Fd ConnectTcp(const std::string& address, int port);
bool SendAll(int fd, std::span<const std::uint8_t> bytes);
// Exactly `size` bytes, or fewer when the peer closes or the guard passes.
std::vector<std::uint8_t> ReceiveExactly(int fd, std::size_t size, int timeoutMs = kGuardMs);
// True when the peer has closed (or reset) the connection within the guard.
bool PeerCloses(int fd);

// An SNMP GET of the status object with `community`: the answer's text, or nothing when no
// answer came within `timeoutMs`.
bool SnmpGet(const std::string& address, const std::string& community, std::string& text, int timeoutMs = 1000,
             const char* oid = nullptr);
// The same GET (of the status object unless `oid` names another), with the whole response.
std::optional<snmp::GetResponse> SnmpExchange(const std::string& address, const std::string& community, int timeoutMs,
                                              const char* oid = nullptr);

// A firmware image as the printer receives it: header, `payloadSize` bytes, trailer.
std::vector<std::uint8_t> MakeFirmware(const std::string& modelCode, const std::string& version, std::size_t payloadSize);
std::string Sha256Hex(std::span<const std::uint8_t> bytes);
std::string Md5Hex(std::span<const std::uint8_t> bytes);

}  // namespace simtest
