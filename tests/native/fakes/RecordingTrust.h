// A trust that answers as the test says and records what it was shown.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "common/PeerTrust.h"

class RecordingTrust final : public IPeerTrust {
public:
    std::vector<std::wstring> Names() const override { return names; }
    bool Trust(const PresentedCertificate* certificate) override {
        const std::lock_guard lock(m_mutex);
        shown.push_back(certificate ? FormatFingerprint(certificate->sha256) : L"(none)");
        return certificate && trusts;
    }
    bool AllowPlain() override {
        const std::lock_guard lock(m_mutex);
        ++plainAsked;
        return allowsPlain;
    }

    std::vector<std::wstring> names{L"127.0.0.2"};
    bool trusts = true;
    bool allowsPlain = true;
    std::vector<std::wstring> shown;  // each certificate shown, by fingerprint; "(none)" for none
    int plainAsked = 0;

private:
    std::mutex m_mutex;
};
