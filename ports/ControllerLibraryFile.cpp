// The process's library files: which names are taken.
#include "ports/ControllerLibraryFile.h"

#include <algorithm>
#include <mutex>
#include <string_view>
#include <vector>

namespace {

// Never destroyed: a port may still be released while the process ends.
std::mutex& FilesMutex() {
    static std::mutex* const mutex = new std::mutex;
    return *mutex;
}

// The paths of the files that users hold: listed from the moment a user takes the name, before
// anything is written, until its file has been deleted.
std::vector<std::wstring>& TakenPaths() {
    static std::vector<std::wstring>* const paths = new std::vector<std::wstring>;
    return *paths;
}

// With the files' lock held.
bool Taken(const std::wstring& path) {
    return std::find(TakenPaths().begin(), TakenPaths().end(), path) != TakenPaths().end();
}

}  // namespace

std::wstring ControllerLibraryFileName(int number) {
    const std::wstring_view name = kControllerLibraryFileName;
    if (number <= 1) return std::wstring(name);
    const std::size_t dot = name.rfind(L'.');
    return std::wstring(name.substr(0, dot)) + L'-' + std::to_wstring(number) + std::wstring(name.substr(dot));
}

ControllerLibraryFile::~ControllerLibraryFile() { Release(); }

IControllerHost::WriteResult ControllerLibraryFile::Acquire(IControllerHost& host, const std::wstring& directory,
                                                            std::wstring& report) {
    if (m_host && (m_host != &host || m_directory != directory)) Release();
    if (!m_host) {
        std::wstring path;
        {
            const std::lock_guard lock(FilesMutex());
            // There is always a free one among the first (names taken + 1).
            for (int number = 1;; ++number) {
                path = directory + ControllerLibraryFileName(number);
                if (!Taken(path)) break;
            }
            TakenPaths().push_back(path);
        }
        m_host = &host;
        m_directory = directory;
        m_path = std::move(path);
    }
    // Nobody else writes, loads or deletes this file: written outside the lock, so that the ports
    // of several installations load at the same time.
    return host.WriteLibrary(m_path, report);
}

void ControllerLibraryFile::Release() noexcept {
    if (!m_host) return;
    // Deleted while the name is still taken, so that nobody writes a new file under it meanwhile.
    m_host->DeleteLibraryFile(m_path);
    {
        const std::lock_guard lock(FilesMutex());
        const auto taken = std::find(TakenPaths().begin(), TakenPaths().end(), m_path);
        if (taken != TakenPaths().end()) TakenPaths().erase(taken);
    }
    m_host = nullptr;
    m_directory.clear();
    m_path.clear();
}
