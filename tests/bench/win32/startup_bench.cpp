// How long the installer takes from its start until its main dialog is visible, and until its
// printer list is filled, against the 2000 ms listening phase of the printer search. The window
// shows at once, saying that the search is running; the list fills when the phase has ended, so
// the second figure is the phase plus what the installer adds (process start, restoring the
// firmware, the registered printers, the window). Runs in the namespace harness
// (run-scenario.sh), a few starts, the medians counted. A third ratio leaves out what a bare start
// of the process costs (measured here too), which under Wine is about a tenth of the listening
// phase by itself.
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

// One start: the times until the dialog is visible and until its list is filled (Next enabled).
struct StartTimes {
    double shown = -1;
    double filled = -1;
};

// Polls every millisecond: the figures are tenths of a second.
constexpr DWORD kPollMs = 1;

StartTimes TimeOneStart(const std::wstring& installer) {
    StartTimes times;
    const double start = NowMs();
    auto process = ui::Process::Start(ui::Process::Quote(installer));
    if (!process) return times;
    HWND dialog = nullptr;
    const auto visible = [&] {
        dialog = ui::FindTopLevel(L"Corvane Firmware Installer", L"#32770", process->Id(), 0);
        return dialog != nullptr;
    };
    if (!ui::WaitUntil(visible, 15000, kPollMs)) return times;
    times.shown = NowMs() - start;
    if (!ui::WaitUntil([&] { return ui::IsEnabled(dialog, IDOK); }, 15000, kPollMs)) return {};
    times.filled = NowMs() - start;
    ui::Click(dialog, IDCANCEL);
    if (process->WaitForExitOrKill(10000) != std::optional<DWORD>(1)) return {};
    return times;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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

    std::vector<double> shown, filled;
    for (int i = 0; i < kRuns; ++i) {
        const StartTimes times = TimeOneStart(installer);
        if (times.filled < 0) {
            std::fprintf(stderr, "startup_bench: the main dialog did not appear with its list: %s\n",
                         ui::LastErrorUtf8().c_str());
            return 1;
        }
        std::printf("start %d: shown after %.0f ms, list filled after %.0f ms\n", i + 1, times.shown, times.filled);
        shown.push_back(times.shown);
        filled.push_back(times.filled);
    }
    std::printf("ratio first_window_vs_listening_phase %.3f\n", Median(shown) / kListeningPhaseMs);
    std::printf("ratio startup_vs_listening_phase %.3f\n", Median(filled) / kListeningPhaseMs);
    // The same without the bare start: what the installer itself adds to the listening phase.
    std::printf("ratio startup_beyond_process_start_vs_listening_phase %.3f\n",
                (Median(filled) - Median(bare)) / kListeningPhaseMs);
    return 0;
}
