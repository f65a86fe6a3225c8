// Appending result lines to the history file.
#include "app/win32/HistoryFile.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <mutex>

#include "app/win32/UserDataFolder.h"
#include "common/win32/UniqueHandle.h"

namespace {

constexpr wchar_t kFileName[] = L"history.jsonl";
// A virus scanner or an indexer holds a file for moments: worth a few more tries.
constexpr int kOpenAttempts = 5;
constexpr DWORD kOpenRetryPauseMs = 20;

// One writer at a time in this process, so that the check of the last byte and the write that
// follows it belong together.
std::mutex& AppendLock() {
    static std::mutex lock;
    return lock;
}

UniqueFile OpenForAppending(const std::wstring& path) {
    for (int attempt = 1; ; ++attempt) {
        // Append access without write access: every write goes to the end of the file, whoever
        // else appends (another installer of the same user in another session).
        UniqueFile file(::CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) return file;
        const DWORD error = ::GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) || attempt == kOpenAttempts) {
            return file;
        }
        ::Sleep(kOpenRetryPauseMs);
    }
}

// Whether the file ends in a line break (or is empty); false also when that cannot be read.
bool EndsWithLineBreak(HANDLE file, bool& ends) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size)) return false;
    if (size.QuadPart == 0) {
        ends = true;
        return true;
    }
    OVERLAPPED at{};
    const unsigned long long last = static_cast<unsigned long long>(size.QuadPart) - 1;
    at.Offset = static_cast<DWORD>(last);
    at.OffsetHigh = static_cast<DWORD>(last >> 32);
    char byte = 0;
    DWORD read = 0;
    if (!::ReadFile(file, &byte, 1, &read, &at) || read != 1) return false;
    ends = byte == '\n';
    return true;
}

}  // namespace

std::wstring UserHistoryFilePath() {
    const std::wstring folder = UserDataFolder();
    return folder.empty() ? std::wstring() : folder + L"\\" + kFileName;
}

bool AppendHistoryLine(const std::wstring& path, const std::string& jsonLine) {
    if (path.empty() || jsonLine.empty() || jsonLine.find_first_of("\r\n") != std::string::npos) return false;
    if (jsonLine.size() > MAXDWORD - 2) return false;

    const std::lock_guard<std::mutex> hold(AppendLock());
    const std::size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos && !MakeFolders(path.substr(0, slash))) return false;
    const UniqueFile file = OpenForAppending(path);
    if (!file) return false;
    // Windows refuses to write a read-only file whoever asks; Wine run by root would write it.
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file.get(), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return false;
    }

    bool ended = true;
    if (!EndsWithLineBreak(file.get(), ended)) return false;
    std::string data;
    data.reserve(jsonLine.size() + 2);
    if (!ended) data += '\n';
    data += jsonLine;
    data += '\n';
    DWORD written = 0;
    return ::WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
           written == data.size();
}

bool AppendHistoryLine(const std::string& jsonLine) { return AppendHistoryLine(UserHistoryFilePath(), jsonLine); }

void KeepInHistory(const std::string& jsonLine) {
    if (AppendHistoryLine(jsonLine)) return;
    std::fwprintf(stderr, L"The history file %ls could not be written.\n", UserHistoryFilePath().c_str());
}
