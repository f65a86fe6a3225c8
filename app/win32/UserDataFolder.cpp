// Where the installer keeps the user's files.
#include "app/win32/UserDataFolder.h"

#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>

namespace {

constexpr wchar_t kFolder[] = L"Corvane\\Firmware Installer";

}  // namespace

std::wstring UserDataFolder() {
    PWSTR folder = nullptr;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &folder)) || !folder) {
        ::CoTaskMemFree(folder);
        return {};
    }
    std::wstring path = std::wstring(folder) + L"\\" + kFolder;
    ::CoTaskMemFree(folder);
    return path;
}

bool MakeFolders(const std::wstring& folder) {
    for (std::size_t at = folder.find(L'\\', 3); ; at = folder.find(L'\\', at + 1)) {
        const std::wstring part = folder.substr(0, at);
        if (!::CreateDirectoryW(part.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) return false;
        if (at == std::wstring::npos) return true;
    }
}
