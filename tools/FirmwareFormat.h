// Layout of the firmware image as the printer receives it (the restored image without its
// check byte):
//
//   offset 0     32 bytes  header: "PUF1", 6-digit model code, 22-byte version field
//   offset 32    L bytes   payload
//   offset 32+L  40 bytes  trailer: "PUFD", L as 32-bit little-endian, SHA-256 of bytes 0 to 32+L
//
// The trailer lets the printer check the bytes it received before it installs them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace firmware_format {

constexpr std::size_t kHeaderSize = 32;
constexpr char kTrailerMagic[4] = {'P', 'U', 'F', 'D'};
constexpr std::size_t kDigestSize = 32;
constexpr std::size_t kTrailerSize = 4 + 4 + kDigestSize;

}  // namespace firmware_format
