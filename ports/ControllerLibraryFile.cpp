// The process's count of the users of each library file.
#include "ports/ControllerLibraryFile.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

struct FileUsers {
    std::wstring path;
    int users = 0;
    bool written = false;  // the last write put the whole library into the file
};

// Never destroyed: a port may still be released while the process ends.
std::mutex& FilesMutex() {
    static std::mutex* const mutex = new std::mutex;
    return *mutex;
}

// A file is listed while it has users; the last one to let go removes it.
std::vector<FileUsers>& Files() {
    static std::vector<FileUsers>* const files = new std::vector<FileUsers>;
    return *files;
}

std::vector<FileUsers>::iterator Find(const std::wstring& path) {
    return std::find_if(Files().begin(), Files().end(), [&](const FileUsers& f) { return f.path == path; });
}

// With the files' lock held.
void ReleaseLocked(IControllerHost& host, const std::wstring& path) noexcept {
    const auto file = Find(path);
    if (file == Files().end() || --file->users > 0) return;
    Files().erase(file);
    host.DeleteLibraryFile(path);
}

}  // namespace

ControllerLibraryFile::~ControllerLibraryFile() { Release(); }

IControllerHost::WriteResult ControllerLibraryFile::Acquire(IControllerHost& host, const std::wstring& path,
                                                            std::wstring& report) {
    std::wstring newPath = path;  // copied before anything changes
    const std::lock_guard lock(FilesMutex());
    if (m_host && m_path != path) {
        ReleaseLocked(*m_host, m_path);
        m_host = nullptr;
        m_path.clear();
    }
    auto file = Find(path);
    if (file == Files().end()) {
        Files().push_back(FileUsers{path});
        file = Files().end() - 1;
    }
    const int others = file->users - (m_host ? 1 : 0);

    IControllerHost::WriteResult result = IControllerHost::WriteResult::kWritten;
    if (others == 0 || !file->written) {
        result = host.WriteLibrary(path, report);
        file->written = result == IControllerHost::WriteResult::kWritten;
    }
    if (!m_host) {
        ++file->users;
        m_path = std::move(newPath);
    }
    m_host = &host;
    return result;
}

void ControllerLibraryFile::Release() noexcept {
    if (!m_host) return;
    {
        const std::lock_guard lock(FilesMutex());
        ReleaseLocked(*m_host, m_path);
    }
    m_host = nullptr;
    m_path.clear();
}
