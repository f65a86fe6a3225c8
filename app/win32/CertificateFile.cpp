// Reading and replacing the file of trusted printer certificates.
#include "app/win32/CertificateFile.h"

#include "app/win32/UserDataFolder.h"
#include "common/win32/UniqueHandle.h"

namespace {

constexpr wchar_t kFileName[] = L"printer-certificates.txt";
constexpr wchar_t kNewSuffix[] = L".new-";

bool WriteWhole(HANDLE file, const std::string& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(content.size() - done, 1u << 20));
        DWORD written = 0;
        if (!::WriteFile(file, content.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return ::FlushFileBuffers(file) != 0;
}

}  // namespace

std::optional<std::string> CCertificateFile::Read() {
    // No folder to look in is not "no file": what it would hold is unknown.
    if (m_path.empty()) return std::nullopt;
    const UniqueFile file(::CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::string();
        return std::nullopt;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<unsigned long long>(size.QuadPart) > CCertificateMemory::kLargestFile) {
        return std::nullopt;
    }
    std::string content(static_cast<std::size_t>(size.QuadPart), '\0');
    std::size_t done = 0;
    while (done < content.size()) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), content.data() + done, static_cast<DWORD>(content.size() - done), &read, nullptr)) {
            return std::nullopt;
        }
        if (read == 0) break;  // shorter than it was a moment ago
        done += read;
    }
    content.resize(done);
    return content;
}

bool CCertificateFile::Replace(const std::string& content) {
    if (m_path.empty()) return false;
    const std::size_t slash = m_path.rfind(L'\\');
    if (slash != std::wstring::npos && !MakeFolders(m_path.substr(0, slash))) return false;
    // A name of this writer's own: another writer (the same user in another session) never
    // writes into it.
    const std::wstring fresh = m_path + kNewSuffix + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                               std::to_wstring(::GetTickCount64());
    {
        const UniqueFile file(::CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        if (!WriteWhole(file.get(), content)) {
            ::DeleteFileW(fresh.c_str());
            return false;
        }
    }
    if (!::MoveFileExW(fresh.c_str(), m_path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ::DeleteFileW(fresh.c_str());
        return false;
    }
    return true;
}

std::wstring UserCertificateFilePath() {
    const std::wstring folder = UserDataFolder();
    return folder.empty() ? std::wstring() : folder + L"\\" + kFileName;
}

CCertificateMemory& UserCertificateMemory() {
    static CCertificateFile* const file = new CCertificateFile(UserCertificateFilePath());
    static CCertificateMemory* const memory = new CCertificateMemory(*file);
    return *memory;
}
