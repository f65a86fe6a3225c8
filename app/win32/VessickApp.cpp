// Start-up and end of the installer.
#include "app/win32/VessickApp.h"

#include <commctrl.h>
#include <shellapi.h>

#include <new>
#include <optional>

#include "app/CommandLine.h"
#include "app/TrustMessages.h"
#include "app/resource.h"
#include "app/win32/CertificateFile.h"
#include "app/win32/DialogBase.h"
#include "app/win32/HistoryFile.h"
#include "app/win32/PrinterDetection.h"
#include "app/win32/QuietMode.h"
#include "app/win32/Startup.h"
#include "app/win32/TextFileReader.h"
#include "app/win32/UiThreadMessages.h"
#include "app/win32/VessickDlg.h"
#include "common/win32/ModuleResources.h"
#include "common/win32/UserMessage.h"
#include "ports/DravonPort.h"
#include "update/Installation.h"

namespace {

// Every common control class: list view, tree view, bars, tabs, up-down, progress, hot-key and
// animation.
constexpr DWORD kCommonControlClasses = 0xFF;

struct LocalFreeTraits {
    using Handle = LPWSTR*;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { ::LocalFree(h); }
};

}  // namespace

std::vector<std::wstring> CommandLineArguments() {
    int count = 0;
    const UniqueHandle<LocalFreeTraits> argv(::CommandLineToArgvW(::GetCommandLineW(), &count));
    std::vector<std::wstring> arguments;
    for (int i = 1; argv && i < count; ++i) arguments.emplace_back(argv.get()[i]);
    return arguments;
}

bool CVessickApp::TakeSingleInstanceMutex(bool tellUser) {
    const std::wstring title = ApplicationTitle();
    m_mutex.reset(::CreateMutexW(nullptr, TRUE, title.c_str()));
    if (m_mutex && ::GetLastError() != ERROR_ALREADY_EXISTS) return true;
    if (!tellUser) return false;

    std::wstring text;
    ModuleResources().Load(IDS_ALREADY_RUNNING, text);
    ShowAppMessage(nullptr, text, MessageIcon::kStop, MessageButtons::kOk);
    return false;
}

BOOL CVessickApp::InitInstance(const std::vector<std::wstring>& arguments) {
    // Quiet mode is told apart before anything else: it shows nothing, not even the box about
    // another installer running.
    std::optional<CommandLineValues> quiet;
    try {
        CommandLineValues values = ReadCommandLine(arguments, &ReadTextFile);
        if (values.quiet) quiet = std::move(values);
    } catch (VessickExitCode::EXITCODE) {
        // Not quiet: the dialog's own reading of it reports the fault, as it always has.
    }
    if (quiet && !quiet->quietError.empty()) {
        WriteQuietRefusal(*quiet, quiet->quietError, VessickExitCode::ILLEGAL_PARAMETER);
        m_nExitCode = VessickExitCode::ILLEGAL_PARAMETER;
        return FALSE;
    }
    if (!TakeSingleInstanceMutex(!quiet)) {
        if (quiet) WriteQuietRefusal(*quiet, L"another installer is running", VessickExitCode::ALREADY_RUNNING);
        m_nExitCode = VessickExitCode::ALREADY_RUNNING;
        return FALSE;
    }

    INITCOMMONCONTROLSEX controls{sizeof(controls), kCommonControlClasses};
    ::InitCommonControlsEx(&controls);
    WSADATA data;
    m_bSocketReady = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;

    if (quiet) {
        // Nothing of a quiet run may end in a box: whatever escapes is its summary's error.
        try {
            m_nExitCode = RunQuietMode(*quiet, m_bSocketReady);
        } catch (...) {
            m_nExitCode = VessickExitCode::INIT_FAILED;
            try {
                WriteQuietRefusal(*quiet, L"the installer ran out of memory or failed unexpectedly", m_nExitCode);
            } catch (...) {
            }
        }
        return FALSE;
    }
    try {
        m_nExitCode = RunMainDialog(arguments);
    } catch (VessickExitCode::EXITCODE code) {
        m_nExitCode = code;
    } catch (const std::bad_alloc&) {
        ShowOutOfMemory(nullptr);
        m_nExitCode = VessickExitCode::INIT_FAILED;
    }
    return FALSE;
}

int CVessickApp::ForgetPrinterCertificate(const std::wstring& printer) {
    ModuleResources resources;
    const TrustMessage message = ForgetPrinter(resources, UserCertificateMemory(), printer);
    ShowAppMessage(nullptr, message.text, message.icon, MessageButtons::kOk);
    return message.exitCode;
}

int CVessickApp::RunMainDialog(const std::vector<std::wstring>& arguments) {
    const CommandLineValues values = ReadCommandLine(arguments);
    if (!values.forget.empty()) return ForgetPrinterCertificate(values.forget);

    ModuleResources resources;
    const ModuleResources english = EnglishModuleStrings();
    Win32PrinterDetection detection;
    const auto askUser = [](const std::wstring& question) {
        return ShowUserMessage(question, ApplicationTitle(), MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
    };
    // Every installation the user starts is kept in the history; one that cannot be written there
    // is still what it is.
    const auto keep = [](const InstallRecord& record) { KeepInHistory(RecordJsonLine(record)); };
    const MainDialogServices services{resources,
                                      resources,
                                      detection,
                                      [](std::uint32_t networkOrder) { return PortPtr(new CDravonPort(networkOrder)); },
                                      &UserCertificateMemory(),
                                      askUser,
                                      nullptr,
                                      &english,
                                      keep,
                                      nullptr,
                                      nullptr};
    // The installation goes before the process ends, which releases its printer's port.
    CInstallation installation;
    CMainDialogWindow dialog(services, installation);
    CVessickDlg& logic = dialog.Logic();
    logic.m_bSocketReady = m_bSocketReady;
    if (!values.address.empty()) {
        logic.m_dwPrinterAddress = ParseCommandLineAddress(values.address);
        logic.m_bCommandLine = true;
    } else if (!values.usbPort.empty()) {
        logic.m_strCmdUsbPort = values.usbPort;
        logic.m_bCommandLine = true;
    }
    const INT_PTR result = dialog.DoModal();
    return result < 0 ? VessickExitCode::INIT_FAILED : static_cast<int>(result);
}

int CVessickApp::ExitInstance() {
    FinishPlatform();
    if (m_bSocketReady) ::WSACleanup();
    return m_nExitCode;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    WirePlatform();
    CUiThreadMessages::Install();
    CVessickApp app;
    app.InitInstance(CommandLineArguments());
    return app.ExitInstance();
}
