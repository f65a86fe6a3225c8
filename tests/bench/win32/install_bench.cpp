// The whole installation's time against the waits it cannot avoid: the installer under Wine
// installs firmware and panel application onto a simulated printer (namespace harness, driven by
// the UI driver), and the wall time from pressing Install to the final message is divided by the
// sum of the waits the installation and the printer impose in that run:
//
//   the pause before update mode                                     1000 ms
//   the first tick of each of the three progress dialogs              3 x 50 ms
//   the firmware polls until the printer has installed the image      5000 ms x ceil(install_ms / 5000)
//   the panel exchange's opening pauses                               3 x 500 + 100 ms
//   the pause after the panel transfer's worker has started           100 ms
//   the panel package's blocks, each acknowledged before the next     blocks x one round trip
//   the final dialog's poll after the restart request                 50 ms
//   that poll's query, which the restarting (silent) printer leaves
//   unanswered: the controller connection's time-out                 3000 ms
//     (the printer's restart, also 3000 ms, runs meanwhile: success is reported only once the
//     printer is back and reports the installed versions, on the next poll)
//
// One round trip is measured in the same run against the same printer (single 1 KB data
// commands, as tests/bench/panel_transfer_bench.cpp does). Each installation runs on the printer
// put back to firmware 3.30 and panel application 3.0.0; the median of the runs is printed.
//
// Usage: install_bench INSTALLER.exe PRINTER_ADDRESS   (make bench, through run-scenario.sh)
// Prints: ratio install_vs_mandated_waits <value>   (target: at most 1.2)
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/MainDialog.h"
#include "app/SendStatusDlg.h"
#include "app/resource.h"
#include "controller/ControllerClient.h"
#include "tests/bench/PanelRoundTrip.h"
#include "tests/e2e/UiDriver.h"
#include "tests/windows/SimControl.h"
#include "update/PanelUpdater.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::wstring kTitle = L"Corvane Firmware Installer";
const std::wstring kTimeQuestion = L"The installation takes about 5 minutes.\nDo you want to continue?";
const std::wstring kSucceeded = L"The installation of firmware was successful.";
constexpr int kRuns = 3;
constexpr int kInstallMs = 3000;  // the printer's own time to install the firmware

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// One installation from Install to the final message; nullopt when it did not succeed.
std::optional<double> InstallSeconds(const std::wstring& installer, const std::string& address) {
    auto process = ui::Process::Start(ui::Process::Quote(installer) + L" -i " + ui::Process::Quote(Wide(address)));
    if (!process) return std::nullopt;
    const HWND dialog = ui::FindTopLevel(kTitle, L"#32770", process->Id(), 20000);
    if (!dialog || !ui::WaitForEnabled(dialog, IDOK, true, 20000)) return std::nullopt;  // the search's end
    if (ui::ComboSelection(dialog, IDC_PRINTER_LIST) < 0 &&
        !ui::SetIpAddress(dialog, IDC_IP_ADDRESS, Wide(address))) {
        return std::nullopt;
    }
    if (!ui::Click(dialog, IDOK) || !ui::WaitForText(dialog, IDOK, L"Install", 20000)) return std::nullopt;

    const Clock::time_point start = Clock::now();
    if (!ui::Click(dialog, IDOK)) return std::nullopt;
    for (;;) {
        const auto box = ui::FindMessageBox(process->Id(), 300000, kTitle);
        if (!box) return std::nullopt;
        if (box->text == kTimeQuestion) {
            if (!ui::AnswerMessageBox(box->window, IDYES)) return std::nullopt;
            continue;
        }
        const double seconds = Seconds(Clock::now() - start);
        ui::AnswerMessageBox(box->window, IDOK);
        const auto code = process->WaitForExit(15000);
        if (box->text != kSucceeded || code != std::optional<DWORD>(0)) {
            std::fprintf(stderr, "the installation ended with \"%s\" and exit code %ld\n", ui::Utf8(box->text).c_str(),
                         code ? static_cast<long>(*code) : -1L);
            return std::nullopt;
        }
        return seconds;
    }
}

// The sum of the waits above for `blocks` panel blocks, in seconds.
double MandatedSeconds(int blocks, double roundTrip) {
    const int firmwarePollMs = kFirmTicksPerPoll * kFirmPollTickMs;
    const int firmwarePolls = (kInstallMs + firmwarePollMs - 1) / firmwarePollMs;
    const double ms = kUpdateModePauseMs + 3 * kWaitTickMs + firmwarePolls * firmwarePollMs + 3 * kPanelFieldPauseMs +
                      kPanelClosingPauseMs + kPanelStartPauseMs + kWaitTickMs + ctl::kConnectTimeoutMs;
    return ms / 1000 + blocks * roundTrip;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: install_bench INSTALLER.exe PRINTER_ADDRESS\n");
        return 2;
    }
    const std::wstring installer = ui::WindowsPath(argv[1]);
    const std::string address = ui::Utf8(argv[2]);
    SimControl sim;
    if (!sim.Connected()) return 1;
    sim.Command("set " + address + " install_ms " + std::to_string(kInstallMs));

    const double roundTrip = PanelRoundTripSeconds(address);
    if (roundTrip <= 0) {
        std::fprintf(stderr, "the panel round trips failed\n");
        return 1;
    }
    std::vector<double> ratios;
    for (int run = 1; run <= kRuns; ++run) {
        // Back from the last run's restart first: the restart ends with the installed versions.
        if (!sim.WaitFor(address, "state", "ready")) return 1;
        sim.Command("set " + address + " firmware 3.30");
        sim.Command("set " + address + " panel 3.0.0");
        sim.Command("clear " + address);
        if (!sim.WaitFor(address, "state", "ready")) return 1;
        const std::optional<double> seconds = InstallSeconds(installer, address);
        if (!seconds) return 1;
        const int blocks = std::atoi(sim.Show(address, "package_blocks").c_str());
        const double mandated = MandatedSeconds(blocks, roundTrip);
        std::printf("run %d: Install to the final message %.2f s; waits %.2f s (%d blocks x %.1f us)\n", run,
                    *seconds, mandated, blocks, roundTrip * 1e6);
        ratios.push_back(*seconds / mandated);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("ratio install_vs_mandated_waits %.3f\n", ratios[ratios.size() / 2]);
    return 0;
}
