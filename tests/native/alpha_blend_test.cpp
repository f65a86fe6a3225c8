// The banner's blending: one channel, and whole padded rows of a palette picture over a colour.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "app/AlphaBlend.h"

namespace {

TEST(AlphaBlend, ChannelFollowsTheOpacity) {
    struct Case {
        std::uint8_t back, fore, alpha, expected;
    };
    const Case cases[] = {
        {240, 17, 255, 17},    // opaque: the foreground
        {240, 17, 0, 240},     // transparent: the background exactly
        {240, 0, 128, 119},    // (127 * 240) / 255 = 119.5, cut to 119
        {0, 255, 128, 128},    // (128 * 255) / 255
        {255, 255, 1, 255},    // no overflow at the top
        {10, 200, 51, 48},     // (204 * 10 + 200 * 51) / 255 = 48.0
        {255, 0, 254, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BlendChannel(c.back, c.fore, c.alpha), c.expected)
            << int(c.back) << " " << int(c.fore) << " " << int(c.alpha);
    }
}

TEST(AlphaBlend, RowBytesArePaddedToFour) {
    EXPECT_EQ(PaddedRowBytes(3, 8), 4u);
    EXPECT_EQ(PaddedRowBytes(4, 8), 4u);
    EXPECT_EQ(PaddedRowBytes(3, 24), 12u);
    EXPECT_EQ(PaddedRowBytes(5, 24), 16u);
    EXPECT_EQ(PaddedRowBytes(144, 8), 144u);
    EXPECT_EQ(PaddedRowBytes(144, 24), 432u);
    EXPECT_EQ(PaddedRowBytes(48, 1), 8u);
}

ColourTable TestTable() {
    ColourTable table{};
    for (unsigned i = 0; i < 256; ++i) {
        table[i] = BgrColour{std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i / 2)};
    }
    table[1] = BgrColour{10, 20, 30};
    table[2] = BgrColour{0, 0, 0};
    table[3] = BgrColour{255, 255, 255};
    return table;
}

// Width 3: the 8-bit rows carry one byte of padding and the 24-bit rows three (9 of 12 bytes).
// The padding of the sources holds values that would show if it were read; the destination's
// padding holds a marker that must survive.
TEST(AlphaBlend, PaddedRowsComposeOnlyThePixels) {
    constexpr std::size_t kWidth = 3, kHeight = 2;
    const std::size_t sourceStride = PaddedRowBytes(kWidth, 8), destinationStride = PaddedRowBytes(kWidth, 24);
    ASSERT_EQ(sourceStride, 4u);
    ASSERT_EQ(destinationStride, 12u);

    const std::uint8_t indices[] = {
        1, 2, 3, /* padding */ 3,
        3, 1, 2, /* padding */ 1,
    };
    const std::uint8_t alpha[] = {
        255, 128, 0, /* padding */ 255,
        255, 0, 255, /* padding */ 255,
    };
    const BgrColour background{240, 240, 240};
    std::vector<std::uint8_t> destination(destinationStride * kHeight, 0xAB);

    ComposeOverBackground(indices, sourceStride, alpha, sourceStride, kWidth, kHeight, TestTable(), background,
                          destination.data(), destinationStride);

    const std::vector<std::uint8_t> expected = {
        10, 20, 30,    119, 119, 119,    240, 240, 240,    0xAB, 0xAB, 0xAB,
        255, 255, 255, 240, 240, 240,    0, 0, 0,          0xAB, 0xAB, 0xAB,
    };
    EXPECT_EQ(destination, expected);
}

// Strides wider than the padding needs (as a caller with its own row pitch may pass) are
// followed, and each channel blends with its own background component.
TEST(AlphaBlend, StridesAndChannelsAreKeptApart) {
    const std::uint8_t indices[] = {7, 0, 0, 0, 0, 0, 0, 0, /* row 2 */ 200};
    const std::uint8_t alpha[] = {255, 9, 9, 9, /* row 2 */ 0};
    const BgrColour background{0, 128, 255};
    std::vector<std::uint8_t> destination(2 * 4, 0);

    ComposeOverBackground(indices, 8, alpha, 4, 1, 2, TestTable(), background, destination.data(), 4);

    const ColourTable table = TestTable();
    EXPECT_EQ(destination[0], table[7].blue);
    EXPECT_EQ(destination[1], table[7].green);
    EXPECT_EQ(destination[2], table[7].red);
    EXPECT_EQ(destination[3], 0);
    EXPECT_EQ(destination[4], 0);
    EXPECT_EQ(destination[5], 128);
    EXPECT_EQ(destination[6], 255);
}

}  // namespace
