// The printer firmware carried as resource FIRMWARE/220: restored at start-up and then held,
// header included, until it is sent to the printer.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "common/Resources.h"

// Layout of the restored image's 32-byte header.
constexpr std::size_t kFirmHeaderSize = 32;
constexpr std::size_t kFirmModelCodeOffset = 4;
constexpr std::size_t kFirmModelCodeLength = 6;
constexpr std::size_t kFirmVersionOffset = 10;

struct FirmHeaderInfo {
    std::int32_t nModelCode = 0;
    std::int32_t nVersion = 0;
};

// Reads the header text: `header` points to 33 bytes, the first 32 bytes of the image copied as
// text (zero from the first zero byte on). Returns false, leaving `info` untouched, when the
// magic is not "PUF1".
bool ParseFirmHeader(const char* header, FirmHeaderInfo* info);

class CPufFirmImage {
public:
    explicit CPufFirmImage(const IResourceSource& resources) : m_resources(resources) {}
    virtual ~CPufFirmImage() = default;
    CPufFirmImage(const CPufFirmImage&) = delete;
    CPufFirmImage& operator=(const CPufFirmImage&) = delete;

    // Finds resource (id, type), restores it and checks its byte sum. True: m_pData and
    // m_nSize hold the restored image. False: the resource is missing or fails the check, and
    // the object keeps what it held.
    bool Load(unsigned id, const wchar_t* type);

    // The restored image, m_nSize firmware bytes followed by one zero byte; null until loaded.
    std::unique_ptr<std::uint8_t[]> m_pData;
    std::uint32_t m_nSize = 0;

private:
    const IResourceSource& m_resources;
};

// The header text of a loaded image, as ParseFirmHeader takes it: at most the first 32 bytes,
// up to the first zero byte, zero-filled to 33 bytes.
std::array<char, kFirmHeaderSize + 1> CopyFirmHeaderText(const CPufFirmImage& image);
