// The installer in quiet mode, started and watched from outside; see QuietInstaller.h.
#include "tests/e2e/QuietInstaller.h"

#include <atomic>

#include "tests/e2e/UiDriver.h"

namespace quiet {
namespace {

struct FindTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { ::FindClose(h); }
};

struct AttributeListTraits {
    using Handle = LPPROC_THREAD_ATTRIBUTE_LIST;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle list) noexcept {
        ::DeleteProcThreadAttributeList(list);
        ::HeapFree(::GetProcessHeap(), 0, list);
    }
};

constexpr DWORD kKillWaitMs = 5000;

std::string ReadWhole(const std::wstring& path) {
    // Shared every way: the installer may be writing it.
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    if (!file) return bytes;
    char buffer[16384];
    DWORD got = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    return bytes;
}

// A file the child writes to: made anew, its handle inheritable.
UniqueFile MakeInheritable(const std::wstring& path) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return UniqueFile(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::wstring ErrorText(const wchar_t* what, const std::wstring& subject) {
    return std::wstring(what) + L" " + subject + L" (error " + std::to_wstring(::GetLastError()) + L")";
}

}  // namespace

ScratchFolder::ScratchFolder(const std::wstring& prefix) {
    static std::atomic<int> made{0};
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
    if (n == 0 || n > MAX_PATH) return;
    std::wstring path = temp;
    if (!path.empty() && path.back() == L'\\') path.pop_back();
    path += L"\\" + prefix + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++made);
    if (::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS) m_path = path;
}

ScratchFolder::~ScratchFolder() {
    if (m_path.empty()) return;
    WIN32_FIND_DATAW found{};
    {
        const UniqueHandle<FindTraits> find(::FindFirstFileW((m_path + L"\\*").c_str(), &found));
        if (find) {
            do {
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ::DeleteFileW(File(found.cFileName).c_str());
            } while (::FindNextFileW(find.get(), &found));
        }
    }
    ::RemoveDirectoryW(m_path.c_str());
}

std::wstring ScratchFolder::Write(const std::wstring& name, const std::string& bytes) const {
    if (m_path.empty()) return {};
    const std::wstring path = File(name);
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    DWORD written = 0;
    if (!bytes.empty() && (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
                           written != bytes.size())) {
        return {};
    }
    return path;
}

std::vector<std::string> ReadLines(const std::wstring& path) {
    const std::string bytes = ReadWhole(path);
    std::vector<std::string> lines;
    for (std::size_t at = 0;;) {
        const std::size_t end = bytes.find('\n', at);
        if (end == std::string::npos) break;
        std::string line = bytes.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        at = end + 1;
    }
    return lines;
}

Installer::Installer(const std::wstring& exe, const std::vector<std::wstring>& arguments, const std::wstring& outputFile,
                     const std::wstring& errorFile)
    : m_outputFile(outputFile), m_errorFile(errorFile) {
    m_commandLine = ui::Process::Quote(exe);
    for (const std::wstring& argument : arguments) m_commandLine += L" " + ui::Process::Quote(argument);

    const UniqueFile output = MakeInheritable(outputFile);
    if (!output) {
        m_startError = ErrorText(L"cannot make", outputFile);
        return;
    }
    const UniqueFile errors = MakeInheritable(errorFile);
    if (!errors) {
        m_startError = ErrorText(L"cannot make", errorFile);
        return;
    }
    // The child inherits these two handles and nothing else of this process (its sockets to the
    // simulator, for one).
    HANDLE inherited[] = {output.get(), errors.get()};
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    const auto memory = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(::HeapAlloc(::GetProcessHeap(), 0, size));
    if (!memory || !::InitializeProcThreadAttributeList(memory, 1, 0, &size)) {
        if (memory) ::HeapFree(::GetProcessHeap(), 0, memory);
        m_startError = ErrorText(L"cannot prepare the start of", exe);
        return;
    }
    const UniqueHandle<AttributeListTraits> attributes(memory);
    if (!::UpdateProcThreadAttribute(attributes.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                     nullptr, nullptr)) {
        m_startError = ErrorText(L"cannot limit the handles of", exe);
        return;
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nullptr;
    startup.StartupInfo.hStdOutput = output.get();
    startup.StartupInfo.hStdError = errors.get();
    startup.lpAttributeList = attributes.get();
    std::wstring line = m_commandLine;  // CreateProcessW may write into it
    PROCESS_INFORMATION created{};
    m_start = std::chrono::steady_clock::now();
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                          &startup.StartupInfo, &created)) {
        m_startError = ErrorText(L"cannot start", m_commandLine);
        return;
    }
    ::CloseHandle(created.hThread);
    m_process.reset(created.hProcess);
    m_id = created.dwProcessId;
}

Installer::~Installer() {
    if (!Running()) return;
    ::TerminateProcess(m_process.get(), 0xDEAD);
    ::WaitForSingleObject(m_process.get(), kKillWaitMs);
}

bool Installer::Running() const {
    return m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT;
}

std::optional<DWORD> Installer::Wait(DWORD timeoutMs, const std::function<void()>& onPoll, DWORD pollMs) {
    if (!m_process) return std::nullopt;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    const auto kill = [this] {
        ::TerminateProcess(m_process.get(), 0xDEAD);
        ::WaitForSingleObject(m_process.get(), kKillWaitMs);
        m_end = std::chrono::steady_clock::now();
        return std::nullopt;
    };
    for (;;) {
        const bool ended = ::WaitForSingleObject(m_process.get(), pollMs) == WAIT_OBJECT_0;
        if (ended && !m_end) m_end = std::chrono::steady_clock::now();
        if (!ended) {
            if (const std::vector<HWND> windows = ui::TopLevelWindows(m_id); !windows.empty()) {
                m_windowSeen = true;
                m_windowText = L"\"" + ui::TextOf(windows.front()).value_or(L"") + L"\"";
                if (ui::IsMessageBox(windows.front())) {
                    if (const auto box = ui::ReadMessageBox(windows.front())) m_windowText += L": " + box->text;
                }
                return kill();
            }
        }
        if (onPoll) onPoll();
        if (ended) break;
        if (::GetTickCount64() >= deadline) return kill();
    }
    DWORD code = 0;
    if (!::GetExitCodeProcess(m_process.get(), &code)) return std::nullopt;
    return code;
}

std::string Installer::Errors() const { return ReadWhole(m_errorFile); }

double Installer::Seconds() const {
    const auto end = m_end.value_or(std::chrono::steady_clock::now());
    return std::chrono::duration<double>(end - m_start).count();
}

}  // namespace quiet
