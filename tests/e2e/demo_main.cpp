// The demo's driver: walks the installer through an installation, as a user would, printing each
// step and the progress, and saving a screenshot of each screen; or, with --by-hand, opens it for
// the user and waits for its end. Then it runs the installer in quiet mode over the demo's printers
// and prints the result lines as they come. Runs on the namespace harness (scripts/demo).
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "app/resource.h"
#include "tests/e2e/QuietInstaller.h"
#include "tests/e2e/UiDriver.h"
#include "tests/windows/SimControl.h"

namespace {

const std::wstring kTitle = L"Corvane Firmware Installer";
// How long the user may keep the installer open (the harness gives the demo an hour).
constexpr DWORD kByHandBoundMs = 3500 * 1000;
constexpr DWORD kQuietBoundMs = 600 * 1000;
int g_step = 0;

void Step(const std::string& what) { std::printf("demo: %d. %s\n", ++g_step, what.c_str()); std::fflush(stdout); }
void Show(const std::string& what) { std::printf("demo:      %s\n", what.c_str()); std::fflush(stdout); }

std::wstring Env(const wchar_t* name) {
    const wchar_t* value = _wgetenv(name);
    return value ? value : L"";
}

// Saves the screen as "<n>-<what>.png", numbered in the order taken.
void Screenshot(const std::wstring& what) {
    static int taken = 0;
    const std::wstring folder = Env(L"E2E_SCREENSHOTS");
    if (folder.empty()) return;
    const std::wstring name = std::to_wstring(++taken) + L"-" + what + L".png";
    if (ui::SaveScreenshot(ui::WindowsPath(folder) + L"\\" + name)) Show("screenshot " + ui::Utf8(name));
}

int Fail(const std::string& what) {
    std::fprintf(stderr, "demo: failed: %s: %s\n", what.c_str(), ui::LastErrorUtf8().c_str());
    return 1;
}

std::string Text(HWND dialog, int id) { return ui::Utf8(ui::ControlText(dialog, id).value_or(L"?")); }

void ShowPrinterDetails(HWND dialog) {
    Show("Model:         " + Text(dialog, IDC_MODEL_NAME));
    Show("Firm Version:  " + Text(dialog, IDC_FIRM_VERSION));
    Show("Panel Version: " + Text(dialog, IDC_PANEL_VERSION));
    Show("Port:          " + Text(dialog, IDC_PORT_NAME));
}

std::string Quoted(const std::wstring& text) {
    std::string quoted(1, '"');
    for (char c : ui::Utf8(text)) quoted += c == '\n' ? ' ' : c;
    quoted += '"';
    return quoted;
}

std::string ProgressName(const std::wstring& status) {
    if (status.rfind(L"Rebooting", 0) == 0 || status.rfind(L"Waiting for the printer", 0) == 0) {
        return "restart and verification";
    }
    if (status.find(L"panelapplication") != std::wstring::npos) return "panel application transfer";
    return "firmware transfer";
}

// Follows the installation to its end: answers the time question with Yes and the last message
// with OK, prints each progress dialog and its progress as it changes. The demo's result.
int FollowInstallation(ui::Process& process) {
    HWND current = nullptr;
    std::wstring status, percent;
    int dialogs = 0;
    const ULONGLONG deadline = ::GetTickCount64() + 300000;
    while (process.Running() && ::GetTickCount64() < deadline) {
        for (HWND window : ui::TopLevelWindows(process.Id())) {
            if (!::IsWindowVisible(window)) continue;
            if (ui::IsMessageBox(window)) {
                const auto box = ui::ReadMessageBox(window);
                if (!box) continue;
                Step("Message: " + Quoted(box->text));
                const bool question = box->buttons.size() == 2;
                Screenshot(question ? L"question" : L"outcome");
                Show(question ? "answering Yes" : "pressing OK");
                if (!ui::AnswerMessageBox(window, question ? IDYES : IDOK)) return Fail("answer");
                break;
            }
            if (!::GetDlgItem(window, IDC_PROGRESS)) continue;
            const auto label = ui::ControlText(window, IDC_STEP_LABEL);
            const auto text = ui::ControlText(window, IDC_STATUS_TEXT);
            const auto shown = ui::ControlText(window, IDC_PERCENT);
            if (window != current && label && text && !text->empty()) {
                current = window;
                ++dialogs;
                status = *text;
                percent.clear();
                Step("Progress dialog " + ui::Utf8(*label) + ": " + ProgressName(*text));
                Show(Quoted(*text));
                Screenshot(L"progress-" + std::to_wstring(dialogs));
            } else if (window == current && text && !text->empty() && *text != status) {
                status = *text;
                Show(Quoted(status));
            }
            // The bar's progress in steps of a tenth at least.
            if (window == current && shown && *shown != percent) {
                const long before = std::wcstol(percent.c_str(), nullptr, 10);
                const long now = std::wcstol(shown->c_str(), nullptr, 10);
                if (percent.empty() || now / 10 != before / 10 || now == 100) Show(ui::Utf8(*shown));
                percent = *shown;
            }
        }
        ::Sleep(50);
    }
    const auto code = process.WaitForExit(15000);
    if (!code) return Fail("exit");
    Show("the installer ended with exit code " + std::to_string(*code) + (*code == 0 ? " (installed)" : ""));
    return *code == 0 ? 0 : 1;
}

// What the simulated printer reports once it is back from its restart.
void ShowPrinterAfterRestart(const std::string& address) {
    SimControl sim;
    if (!sim.Connected() || !sim.WaitFor(address, "state", "ready")) return;
    Step("The printer is back from its restart");
    Show("it reports firmware " + sim.Show(address, "firmware") + " and panel application " + sim.Show(address, "panel"));
    Show("it received " + sim.Show(address, "firmware_size") + " bytes of firmware (" +
         sim.Show(address, "firmware_result") + ") and a package of " + sim.Show(address, "package_size") +
         " bytes (" + sim.Show(address, "package_result") + ")");
}

// The whole installation onto `printer`, driven step by step; 0 when it succeeded.
int DriveInstallation(const std::wstring& installer, const std::wstring& printer) {
    Step("Starting the installer; its window opens at once and it searches the network for printers for two seconds");
    auto process = ui::Process::Start(ui::Process::Quote(installer));
    if (!process) return Fail("start");
    const HWND dialog = ui::FindTopLevel(kTitle, L"#32770", process->Id(), 20000);
    if (!dialog) return Fail("main dialog");
    Show("the window is there at once; its list says that the search is running");
    if (!ui::WaitForEnabled(dialog, IDOK, true, 20000)) return Fail("the end of the search");

    Step("The main dialog lists the printers it found");
    const auto rows = ui::ComboRows(dialog, IDC_PRINTER_LIST);
    if (!rows) return Fail("printer list");
    int chosen = -1;
    for (std::size_t i = 0; i < rows->size(); ++i) {
        Show("row " + std::to_string(i) + ": \"" + ui::Utf8((*rows)[i]) + "\"");
    }
    ShowPrinterDetails(dialog);
    Screenshot(L"printers");

    Step("Choosing the printer at " + ui::Utf8(printer) + " (typed into the address field) and pressing Next");
    chosen = static_cast<int>(rows->size()) - 1;  // the row for typing an address
    if (!ui::SelectComboRow(dialog, IDC_PRINTER_LIST, chosen)) return Fail("choose the address row");
    if (!ui::SetIpAddress(dialog, IDC_IP_ADDRESS, printer, true)) return Fail("type the address");
    if (!ui::Click(dialog, IDOK)) return Fail("Next");
    std::wstring button;
    if (!ui::WaitForText(dialog, IDOK, L"Install", 20000, &button)) {
        if (auto box = ui::FindMessageBox(process->Id(), 1000)) Show("message: " + ui::Utf8(box->text));
        return Fail("identification");
    }

    Step("The printer is identified: what it has and what the installer would install");
    ShowPrinterDetails(dialog);
    Screenshot(L"identified");

    Step("Install: the installer asks for the time it takes, then runs its progress dialogs");
    if (!ui::Click(dialog, IDOK)) return Fail("Install");
    const int result = FollowInstallation(*process);
    if (result == 0) ShowPrinterAfterRestart(ui::Utf8(printer));
    return result;
}

// Quiet mode over `printers`: nothing shown, one result line per printer as it ends, then the
// summary; each line printed as it comes. 0 when the run ended by itself with its summary.
int RunQuietMode(const std::wstring& installer, const std::vector<std::wstring>& printers) {
    std::vector<std::wstring> arguments{L"/q"};
    std::string shown = "FirmwareInstaller.exe /q";
    for (const std::wstring& printer : printers) {
        arguments.insert(arguments.end(), {L"-i", printer});
        shown += " -i " + ui::Utf8(printer);
    }
    Step("Quiet mode, as an administrator runs it over many printers: " + shown);
    Show("nothing is shown; each printer is installed on a thread of its own, up to 32 at once, and gets");
    Show("one line of JSON as it ends, then the summary (its output goes to a file here, printed as it comes):");
    const quiet::ScratchFolder scratch(L"demo-quiet");
    if (scratch.Path().empty()) return Fail("a folder for the result lines");
    quiet::Installer run(installer, arguments, scratch.File(L"results.jsonl"), scratch.File(L"errors.txt"));
    if (!run.Started()) {
        std::fprintf(stderr, "demo: failed: %s\n", ui::Utf8(run.StartError()).c_str());
        return 1;
    }
    std::size_t printed = 0;
    const auto printNew = [&] {
        const std::vector<std::string> lines = run.OutputLines();
        for (; printed < lines.size(); ++printed) Show(lines[printed]);
    };
    const std::optional<DWORD> code = run.Wait(kQuietBoundMs, printNew, 200);
    printNew();
    if (run.WindowSeen()) {
        std::fprintf(stderr, "demo: failed: quiet mode showed a window, and was ended: %s\n%s",
                     ui::Utf8(run.WindowText()).c_str(), run.Errors().c_str());
        return 1;
    }
    if (!code) {
        std::fprintf(stderr, "demo: failed: quiet mode still ran after %lu s and was ended\n%s",
                     static_cast<unsigned long>(kQuietBoundMs / 1000), run.Errors().c_str());
        return 1;
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", run.Seconds());
    Show("quiet mode ended with exit code " + std::to_string(*code) + " after " + seconds + " s" +
         (*code == 0   ? " (every printer installed or up to date)"
          : *code == 4 ? " (not every printer was installed or up to date: see the lines above)"
                       : ""));
    Show("each line is also in the history, %LOCALAPPDATA%\\Corvane\\Firmware Installer\\history.jsonl");
    const bool summarized = printed > 0 && run.OutputLines().back().find("\"summary\":true") != std::string::npos;
    if (!summarized) {
        std::fprintf(stderr, "demo: failed: quiet mode ended without its summary line\n%s", run.Errors().c_str());
        return 1;
    }
    return 0;
}

// The installer opened for the user on their display; its exit code once they close it.
int OpenForTheUser(const std::wstring& installer) {
    Step("The installer is open on your display; close it when you are done (the demo goes on then)");
    auto process = ui::Process::Start(ui::Process::Quote(installer));
    if (!process) return Fail("start");
    const auto code = process->WaitForExitOrKill(kByHandBoundMs);
    if (!code) return Fail("the installer was still open after " + std::to_string(kByHandBoundMs / 1000) + " s");
    Show("the installer ended with exit code " + std::to_string(*code));
    return static_cast<int>(*code);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: demo INSTALLER.exe PRINTER_ADDRESS [--by-hand] [--quiet PRINTER_ADDRESS...]\n");
        return 2;
    }
    const std::wstring installer = ui::WindowsPath(argv[1]);
    const std::wstring printer = argv[2];
    bool byHand = false;
    std::vector<std::wstring> quietPrinters;
    for (int i = 3; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument == L"--by-hand") {
            byHand = true;
        } else if (argument == L"--quiet") {
            for (++i; i < argc; ++i) quietPrinters.push_back(argv[i]);
        } else {
            std::fprintf(stderr, "demo: unknown argument %s\n", ui::Utf8(argument).c_str());
            return 2;
        }
    }

    if (byHand) {
        OpenForTheUser(installer);
        return quietPrinters.empty() ? 0 : RunQuietMode(installer, quietPrinters);
    }
    const int result = DriveInstallation(installer, printer);
    if (result != 0 || quietPrinters.empty()) return result;
    return RunQuietMode(installer, quietPrinters);
}
