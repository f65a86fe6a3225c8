// The banner's composition over the dialog's background colour.
#include "app/AlphaBlend.h"

void ComposeOverBackground(const std::uint8_t* indices, std::size_t indexStride, const std::uint8_t* alpha,
                           std::size_t alphaStride, std::size_t width, std::size_t height, const ColourTable& table,
                           BgrColour background, std::uint8_t* destination, std::size_t destinationStride) {
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* indexRow = indices + y * indexStride;
        const std::uint8_t* alphaRow = alpha + y * alphaStride;
        std::uint8_t* out = destination + y * destinationStride;
        for (std::size_t x = 0; x < width; ++x) {
            const BgrColour& fore = table[indexRow[x]];
            const std::uint8_t a = alphaRow[x];
            *out++ = BlendChannel(background.blue, fore.blue, a);
            *out++ = BlendChannel(background.green, fore.green, a);
            *out++ = BlendChannel(background.red, fore.red, a);
        }
    }
}
