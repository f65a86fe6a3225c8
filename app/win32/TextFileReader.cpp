// Reading a file named on the command line.
#include "app/win32/TextFileReader.h"

#include <winsock2.h>
#include <windows.h>

#include <utility>

#include "common/win32/UniqueHandle.h"

CommandLineFile ReadTextFile(const std::wstring& path, std::size_t limit) {
    using Status = CommandLineFile::Status;
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        switch (::GetLastError()) {
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
            case ERROR_INVALID_NAME:
            case ERROR_BAD_NETPATH:
            case ERROR_BAD_NET_NAME:
                return {Status::kNotFound, {}};
            default:
                return {Status::kUnreadable, {}};
        }
    }
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) return {Status::kUnreadable, {}};
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) return {Status::kUnreadable, {}};
    if (static_cast<unsigned long long>(size.QuadPart) > limit) return {Status::kTooLarge, {}};

    // Up to one byte beyond the limit: a file that grew meanwhile is as large as it is now.
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(size.QuadPart));
    char chunk[64 * 1024];
    while (bytes.size() <= limit) {
        const std::size_t room = limit - bytes.size();
        const DWORD ask = static_cast<DWORD>(room >= sizeof(chunk) ? sizeof(chunk) : room + 1);
        DWORD read = 0;
        if (!::ReadFile(file.get(), chunk, ask, &read, nullptr)) return {Status::kUnreadable, {}};
        if (read == 0) break;
        bytes.append(chunk, read);
    }
    if (bytes.size() > limit) return {Status::kTooLarge, {}};
    return {Status::kRead, std::move(bytes)};
}
