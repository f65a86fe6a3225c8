// Firmware headers and whole resources of any content: the header reader and restoring.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "images/FirmImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The header as the caller hands it over: 32 bytes of text, zero from the first zero on.
    char header[33] = {};
    for (std::size_t i = 0; i < 32 && i < size && data[i] != 0; ++i) header[i] = static_cast<char>(data[i]);
    FirmHeaderInfo info{-7, -7};
    if (!ParseFirmHeader(header, &info) && (info.nModelCode != -7 || info.nVersion != -7)) __builtin_trap();

    MemoryResources resources;
    resources.Add(220, L"FIRMWARE", std::vector<std::uint8_t>(data, data + size));
    CPufFirmImage image(resources);
    if (image.Load(220, L"FIRMWARE") && image.m_pData) {
        if (image.m_nSize + 1 != size || image.m_pData[image.m_nSize] != 0) __builtin_trap();
        const auto text = CopyFirmHeaderText(image);
        ParseFirmHeader(text.data(), &info);
    }
    return 0;
}
