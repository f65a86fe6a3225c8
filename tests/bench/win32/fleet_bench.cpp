// Quiet mode onto a fleet against quiet mode onto one printer: the installer under Wine (namespace
// harness) runs /q with its defaults onto every printer given, each of which needs firmware and
// panel application, and then onto the first of them alone. The wall time of each run, from the
// process's start to its end, the search for printers included; each round puts the printers
// back to firmware 3.30 and panel application 3.0.0 before each run. The median of the rounds'
// ratios is printed.
//
// With the default of 32 installations at once, twenty printers go in one turn; what is left over
// the one printer's time is what the installations at once cost each other (the machine's CPU,
// under Wine chiefly the wineserver's work for every socket call of the panel package's
// acknowledged blocks).
//
// Usage: fleet_bench INSTALLER.exe PRINTER_ADDRESS...   (make bench, through run-scenario.sh)
// Prints: ratio fleet_vs_one_printer <value>   (target: at most 1.3 for twenty printers)
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/QuietInstaller.h"
#include "tests/e2e/UiDriver.h"
#include "tests/windows/SimControl.h"

namespace {

constexpr int kRounds = 3;
constexpr DWORD kRunBoundMs = 600000;

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Every printer back to the versions before an installation, its counters cleared, ready.
bool Reset(SimControl& sim, const std::vector<std::string>& printers) {
    for (const std::string& printer : printers) {
        // Back from the last run's restart first: the restart ends with the installed versions.
        if (!sim.WaitFor(printer, "state", "ready")) {
            std::fprintf(stderr, "%s is not ready\n", printer.c_str());
            return false;
        }
        sim.Command("set " + printer + " firmware 3.30");
        sim.Command("set " + printer + " panel 3.0.0");
        sim.Command("clear " + printer);
    }
    return true;
}

// One quiet run onto `printers`, timed; nullopt when it did not install onto every one of them.
std::optional<double> QuietRunSeconds(const std::wstring& installer, const std::vector<std::string>& printers,
                                      const quiet::ScratchFolder& scratch, int run) {
    std::vector<std::wstring> arguments{L"/q"};
    for (const std::string& printer : printers) arguments.insert(arguments.end(), {L"-i", Wide(printer)});
    const std::wstring name = L"run-" + std::to_wstring(run);
    quiet::Installer process(installer, arguments, scratch.File(name + L".out"), scratch.File(name + L".err"));
    if (!process.Started()) {
        std::fprintf(stderr, "%s\n", ui::Utf8(process.StartError()).c_str());
        return std::nullopt;
    }
    const std::optional<DWORD> code = process.Wait(kRunBoundMs);
    if (process.WindowSeen()) {
        std::fprintf(stderr, "quiet mode showed a window, and was ended: %s\n", ui::Utf8(process.WindowText()).c_str());
        return std::nullopt;
    }
    const std::vector<std::string> lines = process.OutputLines();
    const std::string installed = "\"installed\":" + std::to_string(printers.size()) + ",";
    if (code != std::optional<DWORD>(0) || lines.empty() || lines.back().find(installed) == std::string::npos) {
        std::fprintf(stderr, "the run onto %zu printers ended with exit code %ld:\n", printers.size(),
                     code ? static_cast<long>(*code) : -1L);
        for (const std::string& line : lines) std::fprintf(stderr, "  %s\n", line.c_str());
        std::fprintf(stderr, "%s", process.Errors().c_str());
        return std::nullopt;
    }
    return process.Seconds();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: fleet_bench INSTALLER.exe PRINTER_ADDRESS...\n");
        return 2;
    }
    const std::wstring installer = ui::WindowsPath(argv[1]);
    std::vector<std::string> fleet;
    for (int i = 2; i < argc; ++i) fleet.push_back(ui::Utf8(argv[i]));
    const std::vector<std::string> one{fleet.front()};
    SimControl sim;
    if (!sim.Connected()) return 1;
    const quiet::ScratchFolder scratch(L"fleet-bench");
    if (scratch.Path().empty()) return 1;

    std::vector<double> ratios;
    int run = 0;
    for (int round = 1; round <= kRounds; ++round) {
        if (!Reset(sim, fleet)) return 1;
        const std::optional<double> fleetSeconds = QuietRunSeconds(installer, fleet, scratch, ++run);
        if (!fleetSeconds || !Reset(sim, one)) return 1;
        const std::optional<double> oneSeconds = QuietRunSeconds(installer, one, scratch, ++run);
        if (!oneSeconds) return 1;
        std::printf("round %d: %zu printers %.2f s, one printer %.2f s\n", round, fleet.size(), *fleetSeconds,
                    *oneSeconds);
        std::fflush(stdout);
        ratios.push_back(*fleetSeconds / *oneSeconds);
    }
    const auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    std::printf("ratio fleet_vs_one_printer %.3f\n", median(ratios));
    return 0;
}
