// Quiet mode's output on Windows: result lines, the history and the console's progress lines.
#include "app/win32/QuietMode.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/QuietInstall.h"
#include "app/win32/CertificateFile.h"
#include "app/win32/HistoryFile.h"
#include "app/win32/PrinterDetection.h"
#include "app/win32/Startup.h"
#include "common/Encoding.h"
#include "common/Text.h"
#include "common/win32/CodePage.h"
#include "common/win32/ModuleResources.h"
#include "common/win32/UniqueHandle.h"
#include "common/win32/UserMessage.h"
#include "update/Installation.h"

namespace {

constexpr DWORD kProgressRedrawMs = 250;
constexpr std::size_t kAddressColumn = 17;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The volume and index that tell a file from every other, whatever name reaches it; none when
// it cannot be opened (a file that does not exist yet is no other file).
std::optional<std::tuple<DWORD, DWORD, DWORD>> FileIdentity(const std::wstring& path) {
    const UniqueFile file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !::GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
    return std::make_tuple(info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow);
}

// The printer list (option l) that the result file (option o) would overwrite, if any.
std::optional<std::wstring> ListNamedAsResult(const QuietOptions& options) {
    if (options.resultFile.empty() || options.printerFiles.empty()) return std::nullopt;
    const auto result = FileIdentity(options.resultFile);
    if (!result) return std::nullopt;
    for (const std::wstring& list : options.printerFiles) {
        if (FileIdentity(list) == result) return list;
    }
    return std::nullopt;
}

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

// Where the result lines go: the file of option o (made anew), standard output, or the console of
// the program that started the installer when its output goes nowhere else.
class ResultOutput {
public:
    // False, with `error` saying why, when the file of option o cannot be made.
    bool Open(const std::wstring& file, std::wstring& error) {
        if (!file.empty()) {
            m_owned.reset(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!m_owned) {
                error = L"the result file \"" + file + L"\" cannot be written (error " +
                        std::to_wstring(::GetLastError()) + L")";
                return false;
            }
            m_handle = m_owned.get();
            return true;
        }
        m_handle = ::GetStdHandle(STD_OUTPUT_HANDLE);
        if (!m_handle || m_handle == INVALID_HANDLE_VALUE) {
            // A program of the Windows subsystem started from a console has no output of its own.
            m_handle = nullptr;
            if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
                m_owned.reset(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
                m_handle = m_owned.get();
            }
        }
        return true;
    }

    HANDLE Handle() const { return m_handle; }
    bool Console() const { return IsConsole(m_handle); }

    void WriteLine(const std::string& utf8) {
        if (!m_handle) return;
        if (Console()) {
            const std::wstring wide = text::FromUtf8(utf8) + L"\r\n";
            DWORD written = 0;
            ::WriteConsoleW(m_handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
            return;
        }
        const std::string line = utf8 + "\n";
        for (std::size_t done = 0; done < line.size();) {
            DWORD written = 0;
            if (!::WriteFile(m_handle, line.data() + done, static_cast<DWORD>(line.size() - done), &written, nullptr) ||
                written == 0) {
                return;
            }
            done += written;
        }
    }

private:
    UniqueFile m_owned;
    HANDLE m_handle = nullptr;
};

// One line per printer on the console, redrawn in place until the run ends.
class ConsoleProgress {
public:
    ConsoleProgress(HANDLE console, const std::vector<std::unique_ptr<QuietProgress>>& progress)
        : m_console(console), m_progress(progress), m_thread([this] { Loop(); }) {}
    ~ConsoleProgress() {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
        Draw();
    }
    ConsoleProgress(const ConsoleProgress&) = delete;
    ConsoleProgress& operator=(const ConsoleProgress&) = delete;

private:
    void Loop() {
        std::unique_lock lock(m_mutex);
        while (!m_stop) {
            lock.unlock();
            Draw();
            lock.lock();
            m_wake.wait_for(lock, std::chrono::milliseconds(kProgressRedrawMs), [this] { return m_stop; });
        }
    }

    void Draw() {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (!::GetConsoleScreenBufferInfo(m_console, &info)) return;
        const SHORT width = std::max<SHORT>(20, static_cast<SHORT>(info.dwSize.X - 1));
        if (m_top < 0) m_top = info.dwCursorPosition.Y;
        ::SetConsoleCursorPosition(m_console, COORD{0, static_cast<SHORT>(m_top)});
        for (const auto& printer : m_progress) {
            std::wstring line = printer->address;
            line.resize(std::max(line.size() + 1, kAddressColumn), L' ');
            if (printer->ended) {
                const std::string_view outcome = OutcomeWord(printer->outcome.load());
                line += std::wstring(outcome.begin(), outcome.end());
            } else {
                const std::string_view stage = StageWord(printer->stage.load());
                line += std::wstring(stage.begin(), stage.end());
                if (const int percent = printer->percent; percent >= 0) line += L" " + std::to_wstring(percent) + L"%";
            }
            line.resize(static_cast<std::size_t>(width), L' ');
            line += L"\r\n";
            DWORD written = 0;
            ::WriteConsoleW(m_console, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        }
        // When the lines made the console scroll, they now start higher up.
        if (::GetConsoleScreenBufferInfo(m_console, &info)) {
            m_top = std::max<int>(0, info.dwCursorPosition.Y - static_cast<int>(m_progress.size()));
        }
    }

    HANDLE m_console;
    const std::vector<std::unique_ptr<QuietProgress>>& m_progress;
    int m_top = -1;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;  // last: it starts once the rest is ready
};

}  // namespace

void WriteQuietRefusal(const CommandLineValues& values, const std::wstring& error, int exitCode) {
    ResultOutput output;
    std::wstring openError;
    // A result file that cannot be made leaves standard output as the only place to say so.
    if (!output.Open(values.quiet ? values.quietOptions.resultFile : std::wstring(), openError)) {
        output.Open(std::wstring(), openError);
    }
    RunSummary summary;
    summary.startedMs = summary.endedMs = NowMs();
    summary.error = error;
    summary.exitCode = exitCode;
    output.WriteLine(SummaryJsonLine(summary));
}

int RunQuietMode(const CommandLineValues& values, bool socketReady) {
    const QuietOptions& options = values.quietOptions;
    ResultOutput output;
    std::wstring error;
    if (const std::optional<std::wstring> list = ListNamedAsResult(options)) {
        // Writing the results there would replace the list they were read from.
        WriteQuietRefusal(CommandLineValues{},
                          L"the result file \"" + options.resultFile + L"\" is the printer list \"" + *list +
                              L"\" (option l): name another one",
                          VessickExitCode::ILLEGAL_PARAMETER);
        return VessickExitCode::ILLEGAL_PARAMETER;
    }
    if (!output.Open(options.resultFile, error)) {
        WriteQuietRefusal(CommandLineValues{}, error, VessickExitCode::ILLEGAL_PARAMETER);
        return VessickExitCode::ILLEGAL_PARAMETER;
    }
    // Nobody could answer a box: whatever a lower layer would show goes to standard error.
    SetUserMessagePresenter(nullptr);

    const ModuleResources strings;
    const ModuleResources english = EnglishModuleStrings();
    Win32PrinterDetection detection;
    QuietServices services{strings, english, strings, detection, nullptr, nullptr, &UserCertificateMemory(),
                           socketReady, nullptr, nullptr};
    services.makePrinterPort = [](std::uint32_t networkOrder, const InstallWaits& waits) {
        return PortPtr(new CDravonPort(networkOrder, PlatformPrinterEnvironment(waits.transferStallMs)));
    };
    services.makeInstallation = [] { return std::make_unique<CInstallation>(); };

    CQuietRun run(services, options);
    // On a console the progress lines stand where the results will go: those follow the run.
    const bool console = output.Console();
    std::vector<std::string> held;
    RunSummary summary;
    {
        std::unique_ptr<ConsoleProgress> progress;
        if (console) progress = std::make_unique<ConsoleProgress>(output.Handle(), run.Progress());
        summary = run.Run([&](const InstallRecord& record) {
            const std::string line = RecordJsonLine(record);
            KeepInHistory(line);
            if (console) {
                held.push_back(line);
            } else {
                output.WriteLine(line);
            }
        });
    }
    for (const std::string& line : held) output.WriteLine(line);
    output.WriteLine(SummaryJsonLine(summary));
    return summary.exitCode;
}
