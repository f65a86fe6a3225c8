// The firmware check: digests run as the bytes arrive; the trailer is the last 40 bytes, so
// those are held back from the body digest until the end.
#include "sim/FirmwareCheck.h"

#include <cstring>

#include "images/FirmImage.h"
#include "images/Version.h"
#include "tools/FirmwareFormat.h"

namespace sim {
namespace {

using namespace firmware_format;

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(static_cast<char>(c));
    return out;
}

}  // namespace

std::string ToHex(const std::uint8_t* data, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 15]);
    }
    return out;
}

FirmwareReceiver::FirmwareReceiver(std::size_t limit) : m_limit(limit), m_all(EVP_MD_CTX_new()), m_body(EVP_MD_CTX_new()) {
    EVP_DigestInit_ex(m_all.get(), EVP_sha256(), nullptr);
    EVP_DigestInit_ex(m_body.get(), EVP_sha256(), nullptr);
}

bool FirmwareReceiver::Feed(const std::uint8_t* data, std::size_t size) {
    if (size > m_limit - m_size) return false;
    if (m_size < kHeaderSize) std::memcpy(m_header.data() + m_size, data, std::min(size, kHeaderSize - m_size));
    m_size += size;
    EVP_DigestUpdate(m_all.get(), data, size);
    m_tail.insert(m_tail.end(), data, data + size);
    if (m_tail.size() > kTrailerSize) {
        const std::size_t out = m_tail.size() - kTrailerSize;
        EVP_DigestUpdate(m_body.get(), m_tail.data(), out);
        m_tail.erase(m_tail.begin(), m_tail.begin() + static_cast<std::ptrdiff_t>(out));
    }
    return true;
}

FirmwareResult FirmwareReceiver::Finish(const std::string& modelCode) {
    FirmwareResult result;
    result.size = m_size;
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_all.get(), digest, &length);
    result.sha256 = ToHex(digest, length);
    EVP_DigestFinal_ex(m_body.get(), digest, &length);

    if (m_size < kHeaderSize + kTrailerSize) {
        result.reason = "too short for header and trailer";
        return result;
    }
    char headerText[kHeaderSize + 1] = {};
    for (std::size_t i = 0; i < kHeaderSize && m_header[i] != 0; ++i) headerText[i] = static_cast<char>(m_header[i]);
    FirmHeaderInfo info;
    if (!ParseFirmHeader(headerText, &info)) {
        result.reason = "no PUF1 header";
        return result;
    }
    const std::string code(reinterpret_cast<const char*>(m_header.data()) + kFirmModelCodeOffset, kFirmModelCodeLength);
    if (code != modelCode) {
        result.reason = "model code " + code + " is not this printer's " + modelCode;
        return result;
    }
    const std::uint8_t* trailer = m_tail.data();
    if (std::memcmp(trailer, kTrailerMagic, 4) != 0) {
        result.reason = "no PUFD trailer";
        return result;
    }
    std::uint32_t payload = 0;
    for (int i = 0; i < 4; ++i) payload |= static_cast<std::uint32_t>(trailer[4 + i]) << (8 * i);
    if (payload != m_size - kHeaderSize - kTrailerSize) {
        result.reason = "trailer length " + std::to_string(payload) + " does not match " +
                        std::to_string(m_size - kHeaderSize - kTrailerSize) + " payload bytes";
        return result;
    }
    if (length != kDigestSize || std::memcmp(trailer + 8, digest, kDigestSize) != 0) {
        result.reason = "SHA-256 mismatch";
        return result;
    }
    if (info.nVersion <= 0) {
        result.reason = "no version in the header";
        return result;
    }
    result.version = Narrow(FormatVersion(info.nVersion));
    result.accepted = true;
    return result;
}

}  // namespace sim
