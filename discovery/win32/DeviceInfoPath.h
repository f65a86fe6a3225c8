// Where the maker's print-management software keeps DeviceInfo.xml, and reading it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>

class CDeviceInfoPath {
public:
    static constexpr int kAttempts = 3;

    // Attempt 0 looks under the shared application-data folder, attempts 1 and 2 under the install
    // folders the registry names. The path found so far (empty when none); nothing for an
    // attempt above 2.
    std::optional<std::wstring> Find(int attempt);

    std::wstring m_strRoot;
    std::wstring m_strFile;
};

// The largest DeviceInfo.xml read. The print-management software writes a few hundred bytes per
// printer, so a real file stays far below this; the bound keeps the text of a stray huge file
// (two bytes per character) from taking the memory of the machine.
constexpr std::size_t kMostDeviceInfoBytes = std::size_t{256} << 20;

// The piece of the file read and decoded at a time: the file's bytes are never all in memory
// beside its text.
constexpr std::size_t kDeviceInfoReadPiece = std::size_t{1} << 20;

// How a file was read.
enum class Utf8FileRead {
    kRead,
    kUnreadable,  // missing, held open by another program, or a read failed: it may be read later
    kTooLarge,    // above the limit, or its text does not fit in memory
};

// The whole file as UTF-16 (UTF-8, with or without a byte-order mark), the same text as
// Utf8FileText of its bytes; empty on any file error, also when another program holds the file
// open. A file larger than `limit` bytes, or one whose text does not fit in memory, reads as
// empty too, with one line on standard error that says so. `how`, when given, tells which. When
// the event `stop` is signalled the reading ends after the piece under way, as unreadable.
std::wstring ReadUtf8File(const std::wstring& path, std::size_t limit = kMostDeviceInfoBytes,
                          Utf8FileRead* how = nullptr, HANDLE stop = nullptr);
