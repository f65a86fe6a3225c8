// A small portable PNG encoder for the end-to-end tests' screenshots: 8-bit truecolour, no
// interlace, filter 0 on every row, the image data in zlib "stored" (uncompressed) deflate blocks.
// No platform headers and no libraries, so a Win32 program under Wine writes PNG files without any
// Linux tool. Files are larger than a compressing encoder's (about 3 bytes a pixel) but any PNG
// reader takes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace png {

// CRC-32 as PNG and zlib use it (polynomial 0xEDB88320, reflected, initial and final inversion).
// Pass the previous result as `crc` to continue over more bytes.
std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);

// Adler-32 as zlib uses it; pass the previous result to continue (the start value is 1).
std::uint32_t Adler32(const std::uint8_t* data, std::size_t size, std::uint32_t adler = 1);

// A zlib stream (RFC 1950) of `data` in stored deflate blocks of at most 65,535 bytes each:
// header 78 01, the blocks, the Adler-32 of `data` big-endian. An empty input gives one empty
// final block.
std::vector<std::uint8_t> ZlibStored(const std::uint8_t* data, std::size_t size);

// How the pixels are laid out in memory: three bytes a pixel, in this order.
enum class PixelOrder { Rgb, Bgr };

// The PNG file of a width x height image. Row y starts at pixels + y * stride (stride in bytes,
// at least 3 * width; a negative stride walks a bottom-up bitmap from its last row). Gives an
// empty vector when width or height is 0 or above 2^31 - 1 or the stride is too small.
std::vector<std::uint8_t> EncodeRgb8(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height,
                                     std::ptrdiff_t stride, PixelOrder order = PixelOrder::Rgb);

}  // namespace png
