// Win32 side of the controller library's host.
#include "ports/win32/ControllerHost.h"

#include <algorithm>
#include <memory>
#include <new>

#include "common/ConfigurationIds.h"
#include "common/win32/CodePage.h"
#include "common/win32/ModuleResources.h"
#include "common/win32/UniqueHandle.h"
#include "common/win32/UserMessage.h"

namespace {

struct LocalFreer {
    void operator()(void* memory) const noexcept { ::LocalFree(memory); }
};

// A file that is already gone needs no further attempt.
bool DeleteOrGone(const std::wstring& path) {
    if (::DeleteFileW(path.c_str())) return true;
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::wstring FileErrorReport(const std::wstring& path, DWORD error) {
    return L"Cannot write " + path + L": " + SystemErrorText(error);
}

// While it lives, the system reports a drive that is not ready or an image it cannot load to the
// caller instead of asking the user in a box of its own. The thread's mode before is restored.
class QuietSystemErrors {
public:
    QuietSystemErrors() {
        if (!::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &m_previous)) m_restore = false;
    }
    ~QuietSystemErrors() {
        if (!m_restore) return;
        const DWORD error = ::GetLastError();  // the caller reports the failure it came for
        ::SetThreadErrorMode(m_previous, nullptr);
        ::SetLastError(error);
    }
    QuietSystemErrors(const QuietSystemErrors&) = delete;
    QuietSystemErrors& operator=(const QuietSystemErrors&) = delete;

private:
    DWORD m_previous = 0;
    bool m_restore = true;
};

}  // namespace

std::wstring SystemErrorText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    const std::unique_ptr<void, LocalFreer> owner(buffer);
    std::wstring text = length && buffer ? std::wstring(buffer, length) : std::wstring();
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    if (text.empty()) text = L"error " + std::to_wstring(error);
    return text;
}

Win32ControllerHost::~Win32ControllerHost() { DeletePendingFiles(); }

std::wstring Win32ControllerHost::TempDirectory() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, buffer);
    // Above MAX_PATH the call only reports the size it would need; the buffer holds nothing.
    if (length == 0 || length > MAX_PATH) return {};
    return std::wstring(buffer, length);
}

IControllerHost::WriteResult Win32ControllerHost::WriteLibrary(const std::wstring& path, std::wstring& report) {
    // A file name is handed out again once its last holder let go, even when the file could not
    // be deleted then. From here on the file is its new holder's: a later attempt at the files
    // left waiting (another port deleting its own) must not delete it under the new holder's
    // module. Forgotten before the file is created, so that no attempt still under way meets it.
    {
        const std::lock_guard lock(m_pendingMutex);
        std::erase(m_pendingDeletes, path);
    }
    const QuietSystemErrors quiet;
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        report = FileErrorReport(path, ::GetLastError());
        return WriteResult::kFileError;
    }

    const std::optional<ResourceBytes> library =
        ModuleResources(m_module).Find(kControllerLibraryResourceId, kControllerLibraryResourceType);
    if (!library || !library->data || library->size == 0) return WriteResult::kNoResource;

    for (std::uint32_t done = 0; done < library->size;) {
        DWORD written = 0;
        if (!::WriteFile(file.get(), library->data + done, library->size - done, &written, nullptr) || written == 0) {
            report = FileErrorReport(path, ::GetLastError());
            return WriteResult::kFileError;
        }
        done += written;
    }
    return WriteResult::kWritten;
}

IControllerHost::Module Win32ControllerHost::Load(const std::wstring& path) {
    const QuietSystemErrors quiet;
    return ::LoadLibraryW(path.c_str());
}

IControllerHost::ExportFn Win32ControllerHost::Resolve(Module module, const char* name) {
    const FARPROC address = ::GetProcAddress(static_cast<HMODULE>(module), name);
    // Through the generic function type, which converts to any other without a warning.
    return reinterpret_cast<ExportFn>(reinterpret_cast<void (*)()>(address));
}

void Win32ControllerHost::Free(Module module) {
    if (module) ::FreeLibrary(static_cast<HMODULE>(module));
}

void Win32ControllerHost::DeleteLibraryFile(const std::wstring& path) {
    const std::lock_guard lock(m_pendingMutex);
    std::erase_if(m_pendingDeletes, DeleteOrGone);
    if (std::find(m_pendingDeletes.begin(), m_pendingDeletes.end(), path) != m_pendingDeletes.end()) return;
    if (DeleteOrGone(path)) return;
    // Someone holds the file open (a virus scanner, say): try again later rather than fail an
    // operation that has already done its work.
    try {
        m_pendingDeletes.push_back(path);
    } catch (const std::bad_alloc&) {
        // The file stays behind; nothing else is lost.
    }
}

void Win32ControllerHost::DeletePendingFiles() noexcept {
    const std::lock_guard lock(m_pendingMutex);
    std::erase_if(m_pendingDeletes, DeleteOrGone);
}

std::vector<std::wstring> Win32ControllerHost::PendingDeletes() const {
    const std::lock_guard lock(m_pendingMutex);
    return m_pendingDeletes;
}

void Win32ControllerHost::ShowMessage(const std::wstring& text) { Show(text, MB_OK); }

void Win32ControllerHost::ShowErrorMessage(const std::wstring& text) { Show(text, MB_OK | MB_ICONERROR); }

void Win32ControllerHost::Show(const std::wstring& text, UINT style) {
    std::wstring title;
    ModuleResources(m_module).Load(IDS_APP_TITLE, title);
    ShowUserMessage(text, title, style);
}

std::wstring Win32ControllerHost::FromThreadAnsi(std::string_view text) {
    return CodePageToWide(CP_THREAD_ACP, text);
}

Win32ControllerHost& ProcessControllerHost() {
    static Win32ControllerHost* const host = new Win32ControllerHost;
    return *host;
}

std::wstring SystemAnsiToWide(std::string_view text) { return CodePageToWide(CP_ACP, text); }

