// Test support for Windows tests run by with-sim.sh: the simulator's control port (SIM_CONTROL)
// and the addresses of this run's printers (SIM_NET). A failed or refused command fails the
// current test; every wait is guarded.
#pragma once

#include <string>
#include <vector>

#include "common/win32/UniqueHandle.h"

class SimControl {
public:
    SimControl();
    SimControl(const SimControl&) = delete;
    SimControl& operator=(const SimControl&) = delete;

    // True when the control port answered; tests should ASSERT on it.
    bool Connected() const { return static_cast<bool>(m_socket); }

    // The printers' addresses are @1 to @32 (with-netns.sh gives its bridge all of them).
    static constexpr int kMaxPrinters = 32;
    // "SIM_NET.n", the address the harness gave @n (127.A.B.n under with-sim.sh, 10.N.1.n under
    // with-netns.sh). Another n adds a test failure and gives an empty string.
    std::string Printer(int n) const;

    // One command; its answer lines without the final "OK". An "ERR" answer or a lost connection
    // adds a test failure and gives what was read.
    std::vector<std::string> Command(const std::string& line);

    // The value of `key` in "show ADDRESS", empty when absent.
    std::string Show(const std::string& address, const std::string& key);

    // Polls "show" until `key` has `value` (10 s guard). True when it did.
    bool WaitFor(const std::string& address, const std::string& key, const std::string& value);

    // The panel exchange log ("panel ADDRESS").
    std::vector<std::string> PanelLog(const std::string& address) { return Command("panel " + address); }

private:
    bool ReadLine(std::string& line);

    UniqueSocket m_socket;
    std::string m_net;
    std::string m_pending;
};
