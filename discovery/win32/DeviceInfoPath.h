// Where the maker's print-management software keeps DeviceInfo.xml, and reading it.
#pragma once

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

// The whole file as UTF-16 (UTF-8, with or without a byte-order mark); empty on any file error,
// also when another program holds the file open.
std::wstring ReadUtf8File(const std::wstring& path);
