// Blending of a palette picture over a solid background through a separate opacity plane, as
// the main dialog's banner is composed. Plain arithmetic on row buffers, no system calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// One colour as a bitmap's colour table and 24-bit rows store it: blue, green, red.
struct BgrColour {
    std::uint8_t blue;
    std::uint8_t green;
    std::uint8_t red;

    friend bool operator==(const BgrColour&, const BgrColour&) = default;
};

using ColourTable = std::array<BgrColour, 256>;

// One channel: ((255 - alpha) * back + fore * alpha) / 255, integer division. Opacity 0 gives
// `back`, 255 gives `fore`.
constexpr std::uint8_t BlendChannel(std::uint8_t back, std::uint8_t fore, std::uint8_t alpha) {
    return static_cast<std::uint8_t>(((255u - alpha) * back + static_cast<unsigned>(fore) * alpha) / 255u);
}

// Bytes in one stored row of a bitmap: width * bitsPerPixel bits, padded to a multiple of 4 bytes.
constexpr std::size_t PaddedRowBytes(std::size_t width, std::size_t bitsPerPixel) {
    return (width * bitsPerPixel + 31) / 32 * 4;
}

// Composes `height` rows of `width` pixels, row by row in the order in which they are stored:
// the colour index at each place of `indices` (8 bits per pixel, rows `indexStride` bytes apart)
// picks an entry of `table`, which is blended channel by channel over `background` with the
// opacity at the same place of `alpha` (8 bits per pixel, rows `alphaStride` bytes apart). The
// result goes to `destination` as blue, green, red bytes, rows `destinationStride` bytes apart.
// Only the pixels are read and written: the bytes that pad the rows are neither read nor changed.
void ComposeOverBackground(const std::uint8_t* indices, std::size_t indexStride, const std::uint8_t* alpha,
                           std::size_t alphaStride, std::size_t width, std::size_t height, const ColourTable& table,
                           BgrColour background, std::uint8_t* destination, std::size_t destinationStride);
