// The demo's driver: walks the installer through what it can do, as a user would, printing each
// step and saving a screenshot of each screen. Runs on the namespace harness (scripts/demo).
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/resource.h"
#include "tests/e2e/UiDriver.h"

namespace {

const std::wstring kTitle = L"Corvane Firmware Installer";
int g_step = 0;

void Step(const std::string& what) { std::printf("demo: %d. %s\n", ++g_step, what.c_str()); std::fflush(stdout); }
void Show(const std::string& what) { std::printf("demo:      %s\n", what.c_str()); std::fflush(stdout); }

std::wstring Env(const wchar_t* name) {
    const wchar_t* value = _wgetenv(name);
    return value ? value : L"";
}

void Screenshot(const std::wstring& name) {
    const std::wstring folder = Env(L"E2E_SCREENSHOTS");
    if (folder.empty()) return;
    const std::wstring path = ui::WindowsPath(folder) + L"\\" + name + L".png";
    if (ui::SaveScreenshot(path)) Show("screenshot " + ui::Utf8(name) + ".png");
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: demo INSTALLER.exe PRINTER_ADDRESS\n");
        return 2;
    }
    const std::wstring installer = ui::WindowsPath(argv[1]);
    const std::wstring printer = argv[2];

    Step("Starting the installer; it searches the network for printers for two seconds");
    auto process = ui::Process::Start(ui::Process::Quote(installer));
    if (!process) return Fail("start");
    const HWND dialog = ui::FindTopLevel(kTitle, L"#32770", process->Id(), 20000);
    if (!dialog) return Fail("main dialog");

    Step("The main dialog lists the printers it found");
    const auto rows = ui::ComboRows(dialog, IDC_PRINTER_LIST);
    if (!rows) return Fail("printer list");
    int chosen = -1;
    for (std::size_t i = 0; i < rows->size(); ++i) {
        Show("row " + std::to_string(i) + ": \"" + ui::Utf8((*rows)[i]) + "\"");
    }
    ShowPrinterDetails(dialog);
    Screenshot(L"1-printers");

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
    Screenshot(L"2-identified");

    Step("Cancel: the installer asks before it leaves without installing; answering Yes");
    if (!ui::Click(dialog, IDCANCEL)) return Fail("Cancel");
    auto box = ui::FindMessageBox(process->Id());
    if (!box) return Fail("question");
    Show("message: " + ui::Utf8(box->text));
    Screenshot(L"3-leaving");
    if (!ui::AnswerMessageBox(box->window, IDYES)) return Fail("answer");
    const auto code = process->WaitForExit(15000);
    if (!code) return Fail("exit");
    Show("the installer ended with exit code " + std::to_string(*code) + " (1: cancelled by the user)");
    return *code == 1 ? 0 : 1;
}
