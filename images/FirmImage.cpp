// Restoring and checking the carried firmware image, and reading its header.
#include "images/FirmImage.h"

#include <cstring>
#include <new>
#include <string>

#include "common/Text.h"
#include "images/FirmKey.h"
#include "images/FirmRestore.h"
#include "images/Version.h"

namespace {

constexpr char kFirmMagic[] = "PUF1";
constexpr std::uint8_t kRestoredByteSum = 0x7F;

bool IsVersionChar(char c) {
    return (c >= '0' && c <= '9') || c == '.';
}

}  // namespace

bool CPufFirmImage::Load(unsigned id, const wchar_t* type) {
    enum ERROR_CODE { RESOURCE_UNAVAILABLE = 0, BAD_BYTE_SUM = 1 };
    try {
        const std::optional<ResourceBytes> resource = m_resources.Find(id, type);
        if (!resource) throw RESOURCE_UNAVAILABLE;
        const std::uint32_t n = resource->size;

        // The working buffer is restored straight from the resource, so the resource itself
        // serves as the copy that the rotation reads from.
        std::unique_ptr<std::uint8_t[]> buffer;
        if (n > 0) {
            buffer.reset(new (std::nothrow) std::uint8_t[n]);
            if (!buffer) return false;
        }
        const std::uint8_t sum = RestoreFirmware(resource->data, buffer.get(), n, FirmKeyCycle());
        if (sum != kRestoredByteSum) throw BAD_BYTE_SUM;

        buffer[n - 1] = 0;
        if (n - 1 != 0) {
            m_pData = std::move(buffer);
            m_nSize = n - 1;
        }
        return true;
    } catch (ERROR_CODE) {
        return false;
    } catch (const std::bad_alloc&) {
        // Restoring itself allocates nothing else, but a resource source may (the test one
        // does): no image either way, and the object keeps what it held.
        return false;
    }
}

bool ParseFirmHeader(const char* header, FirmHeaderInfo* info) {
    if (std::memcmp(header, kFirmMagic, 4) != 0) return false;

    // Bytes from the first zero on count as zero, whatever the buffer holds.
    const std::size_t length = strnlen(header, kFirmHeaderSize);
    const auto at = [&](std::size_t i) { return i < length ? header[i] : '\0'; };

    std::string modelCode;
    for (std::size_t i = kFirmModelCodeOffset; i < kFirmModelCodeOffset + kFirmModelCodeLength && at(i); ++i) {
        modelCode.push_back(at(i));
    }

    // The version is the last run of digits and points in the field.
    std::size_t i = kFirmHeaderSize;
    while (i > kFirmVersionOffset && !IsVersionChar(at(i - 1))) --i;
    const std::size_t runEnd = i;
    while (i > kFirmVersionOffset && IsVersionChar(at(i - 1))) --i;
    const std::string version(header + i, runEnd - i);

    info->nVersion = VersionTextToInt(text::WidenBytes(version));
    info->nModelCode = text::ReadLong(text::WidenBytes(modelCode), 10);
    return true;
}

std::array<char, kFirmHeaderSize + 1> CopyFirmHeaderText(const CPufFirmImage& image) {
    std::array<char, kFirmHeaderSize + 1> text{};
    if (!image.m_pData) return text;
    const std::size_t available = image.m_nSize < kFirmHeaderSize ? image.m_nSize : kFirmHeaderSize;
    for (std::size_t i = 0; i < available && image.m_pData[i] != 0; ++i) {
        text[i] = static_cast<char>(image.m_pData[i]);
    }
    return text;
}
