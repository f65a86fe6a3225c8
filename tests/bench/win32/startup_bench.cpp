// How long the installer takes from its start until its main dialog is visible, against the
// 2000 ms listening phase of the printer search that keeps the dialog hidden: the rest is what the
// installer adds (process start, restoring the firmware, the registered printers, the window).
// Runs in the namespace harness (run-scenario.sh), a few starts, the median counted. A second
// ratio leaves out what a bare start of the process costs (measured here too), which under Wine
// is about a tenth of the listening phase by itself.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/e2e/UiDriver.h"

namespace {

constexpr double kListeningPhaseMs = 2000.0;
constexpr int kRuns = 5;

double NowMs() {
    LARGE_INTEGER frequency, counter;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// One start: the time until the dialog is visible, or a negative value when it did not appear.
double TimeOneStart(const std::wstring& installer) {
    const double start = NowMs();
    auto process = ui::Process::Start(ui::Process::Quote(installer));
    if (!process) return -1;
    const HWND dialog = ui::FindTopLevel(L"Corvane Firmware Installer", L"#32770", process->Id(), 15000);
    if (!dialog) return -1;
    // FindTopLevel polls coarsely; its wait ends within one poll of the window appearing.
    const double shown = NowMs();
    ui::Click(dialog, IDCANCEL);
    if (process->WaitForExitOrKill(10000) != std::optional<DWORD>(1)) return -1;
    return shown - start;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: startup_bench INSTALLER.exe\n");
        return 2;
    }
    const std::wstring installer = ui::WindowsPath(argv[1]);

    // What starting a process costs before the installer does anything of its own: a start that
    // ends at the command line, before any window. Under Wine this is a good part of the total.
    std::vector<double> bare;
    for (int i = 0; i < 3; ++i) {
        const double start = NowMs();
        auto process = ui::Process::Start(ui::Process::Quote(installer) + L" -x");
        if (!process || process->WaitForExitOrKill(10000) != std::optional<DWORD>(3)) {
            std::fprintf(stderr, "startup_bench: the installer did not refuse the command line\n");
            return 1;
        }
        bare.push_back(NowMs() - start);
        std::printf("start and end without a window: %.0f ms\n", bare.back());
    }

    std::vector<double> times;
    for (int i = 0; i < kRuns; ++i) {
        const double ms = TimeOneStart(installer);
        if (ms < 0) {
            std::fprintf(stderr, "startup_bench: the main dialog did not appear: %s\n", ui::LastErrorUtf8().c_str());
            return 1;
        }
        std::printf("start %d: %.0f ms\n", i + 1, ms);
        times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    std::sort(bare.begin(), bare.end());
    std::printf("ratio startup_vs_listening_phase %.3f\n", median / kListeningPhaseMs);
    // The same without the bare start: what the installer itself adds to the listening phase.
    std::printf("ratio startup_beyond_process_start_vs_listening_phase %.3f\n",
                (median - bare[bare.size() / 2]) / kListeningPhaseMs);
    return 0;
}
