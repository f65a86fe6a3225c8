// The registry values, folders and file reading of the registered printer list.
#include "discovery/win32/DeviceInfoPath.h"

#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/win32/StandardLine.h"
#include "common/win32/UniqueHandle.h"
#include "discovery/DeviceInfoXml.h"

namespace {

struct InstallKey {
    HKEY root;
    const wchar_t* subkey;
};

const InstallKey kInstallKeys[2][2] = {
    {{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Corvane Quillmark Dual\\Installer"},
     {HKEY_USERS, L".DEFAULT\\SOFTWARE\\Corvane\\Corvane Quillmark Dual\\Installer"}},
    {{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Quillmark\\1.0\\Installer"},
     {HKEY_USERS, L".DEFAULT\\SOFTWARE\\Corvane\\Quillmark\\1.0\\Installer"}},
};
const wchar_t* const kInstallPieces[] = {L"Quillmark\\Device\\DeviceInfo.xml", L"Quillmark 1.0\\Device\\DeviceInfo.xml"};
constexpr wchar_t kSharedPiece[] = L"Corvane Quillmark\\Quillmark\\Device\\DeviceInfo.xml";
constexpr wchar_t kInstallPathValue[] = L"InstallPath";

// `folder` with `piece` appended, when that fits in MAX_PATH.
bool Append(const std::wstring& folder, const wchar_t* piece, std::wstring& path) {
    wchar_t buffer[MAX_PATH] = {};
    if (folder.size() >= MAX_PATH) return false;
    ::lstrcpyW(buffer, folder.c_str());
    if (!::PathAppendW(buffer, piece)) return false;
    path = buffer;
    return true;
}

bool ReadInstallPath(const InstallKey& key, std::wstring& folder) {
    wchar_t buffer[MAX_PATH] = {};
    DWORD type = 0;
    DWORD size = sizeof buffer - sizeof(wchar_t);  // room for a terminator the value may lack
    if (::SHGetValueW(key.root, key.subkey, kInstallPathValue, &type, buffer, &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    folder = buffer;
    return true;
}

}  // namespace

std::optional<std::wstring> CDeviceInfoPath::Find(int attempt) {
    if (attempt < 0 || attempt > 2) return std::nullopt;
    if (attempt == 0) {
        wchar_t shared[MAX_PATH] = {};
        std::wstring path;
        if (::SHGetSpecialFolderPathW(nullptr, shared, CSIDL_COMMON_APPDATA, FALSE) &&
            Append(shared, kSharedPiece, path) && ::PathFileExistsW(path.c_str())) {
            m_strFile = path;
            m_strRoot = path;
        }
        return m_strFile;
    }
    if (m_strRoot.empty()) {
        for (const InstallKey& key : kInstallKeys[attempt - 1]) {
            if (ReadInstallPath(key, m_strRoot)) break;
        }
    }
    if (m_strFile.empty()) {
        for (const wchar_t* piece : kInstallPieces) {
            std::wstring path;
            if (Append(m_strRoot, piece, path) && ::PathFileExistsW(path.c_str())) {
                m_strFile = path;
                break;
            }
        }
    }
    return m_strFile;
}

std::wstring ReadUtf8File(const std::wstring& path, std::size_t limit, Utf8FileRead* how, HANDLE stop) {
    Utf8FileRead ignored = Utf8FileRead::kRead;
    Utf8FileRead& result = how ? *how : ignored;
    result = Utf8FileRead::kUnreadable;
    if (path.empty()) return {};
    // Not shared: a file its owner is writing right now is read next time rather than half.
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) return {};
    const auto bytes = static_cast<unsigned long long>(size.QuadPart);
    if (bytes > limit) {
        result = Utf8FileRead::kTooLarge;
        WriteStandardLine(stderr, STD_ERROR_HANDLE,
                          path + L" is not read: its " + std::to_wstring(bytes) + L" bytes are more than the " +
                              std::to_wstring(limit) + L" a list of registered printers may have.",
                          true, CP_UTF8);
        return {};
    }

    // The text grows piece by piece into room for the whole file (never more code units than
    // bytes), so that only one piece of the bytes is held beside it.
    try {
        std::wstring text;
        text.reserve(static_cast<std::size_t>(bytes));
        Utf8Decoder decoder(text);
        const std::size_t pieceSize = std::min<std::size_t>(kDeviceInfoReadPiece, std::max<std::size_t>(bytes, 1));
        const std::unique_ptr<char[]> piece(new char[pieceSize]);
        unsigned long long left = bytes;
        while (left > 0) {
            if (stop && ::WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return {};
            const auto want = static_cast<DWORD>(std::min<unsigned long long>(pieceSize, left));
            DWORD read = 0;
            // A file that ends before its size, or errs, reads as nothing, as a whole read would.
            if (!::ReadFile(file.get(), piece.get(), want, &read, nullptr) || read == 0) return {};
            left -= read;
            if (!decoder.Feed(std::string_view(piece.get(), read))) break;  // a zero byte ended the text
        }
        decoder.Finish();
        result = Utf8FileRead::kRead;
        return text;
    } catch (const std::bad_alloc&) {
        result = Utf8FileRead::kTooLarge;
        WriteStandardLine(stderr, STD_ERROR_HANDLE,
                          path + L" is not read: its text does not fit in memory.", true, CP_UTF8);
        return {};
    }
}
