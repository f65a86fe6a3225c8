// The file of trusted printer certificates, in the user's local application data folder:
// %LOCALAPPDATA%\Corvane\Firmware Installer\printer-certificates.txt.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <optional>
#include <string>

#include "update/CertificateMemory.h"

class CCertificateFile final : public ICertificateFile {
public:
    // The file at `path`; its folder is made when the file is first written. An empty path (no
    // folder found) cannot be read or written.
    explicit CCertificateFile(std::wstring path) : m_path(std::move(path)) {}

    std::optional<std::string> Read() override;
    // Written beside the file and then moved over it, so that the file is the old one or the new
    // one whatever happens meanwhile.
    bool Replace(const std::string& content) override;
    std::wstring Location() const override { return m_path; }

private:
    std::wstring m_path;
};

// The user's file; empty when the folder cannot be found.
std::wstring UserCertificateFilePath();

// The process's memory of trusted printers, over the user's file.
CCertificateMemory& UserCertificateMemory();
