// How a certificate's fingerprint is shown.
#include "common/PeerTrust.h"

std::wstring FormatFingerprint(const CertificateFingerprint& fingerprint) {
    constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    text.reserve(fingerprint.size() * 3);
    for (const std::uint8_t b : fingerprint) {
        if (!text.empty()) text += L':';
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}
