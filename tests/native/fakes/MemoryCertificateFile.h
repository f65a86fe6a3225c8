// The installer's file of trusted printer certificates, held in memory: what a test starts with,
// what the installer wrote, and a file that cannot be read or written.
#pragma once

#include <optional>
#include <string>

#include "update/CertificateMemory.h"

class MemoryCertificateFile final : public ICertificateFile {
public:
    std::optional<std::string> Read() override {
        if (unreadable) return std::nullopt;
        return content;
    }
    bool Replace(const std::string& text) override {
        ++replaced;
        if (unwritable) return false;
        content = text;
        return true;
    }
    std::wstring Location() const override { return L"C:\\certificates.txt"; }

    std::string content;
    bool unreadable = false;
    bool unwritable = false;
    int replaced = 0;
};
