// The screenshot PNG encoder: checksums against published values, a small image byte for byte
// against a file made by zlib's own stored mode (Python's zlib.compress(raw, 0)), and larger
// images read back by an independent reader of stored-block PNG files in this test. The ImageMagick
// check of the same encoder is png_writer_check.sh.
#include "tests/e2e/PngWriter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const std::uint8_t* Bytes(const char* s) { return reinterpret_cast<const std::uint8_t*>(s); }

std::uint32_t Big32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// Reads a PNG that the encoder wrote: checks the signature, every chunk's CRC, the IHDR fields,
// the zlib header, each stored block's LEN/NLEN, the Adler-32 and the filter bytes; gives the RGB
// pixels row after row, or fails the test.
struct Decoded {
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint8_t> rgb;
    std::size_t idatChunks = 0, blocks = 0;
};

Decoded Decode(const std::vector<std::uint8_t>& file) {
    Decoded d;
    static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    EXPECT_GE(file.size(), 8u);
    if (file.size() < 8 || std::memcmp(file.data(), kSignature, 8) != 0) {
        ADD_FAILURE() << "no PNG signature";
        return d;
    }
    std::vector<std::uint8_t> zlib;
    std::size_t at = 8;
    bool ended = false, first = true;
    while (at + 12 <= file.size() && !ended) {
        const std::uint32_t length = Big32(&file[at]);
        EXPECT_LE(at + 12 + length, file.size());
        if (at + 12 + length > file.size()) return d;
        const std::string type(reinterpret_cast<const char*>(&file[at + 4]), 4);
        const std::uint8_t* data = &file[at + 8];
        EXPECT_EQ(Big32(data + length), png::Crc32(&file[at + 4], 4 + length)) << "CRC of " << type;
        if (first) {
            EXPECT_EQ(type, "IHDR");
        }
        first = false;
        if (type == "IHDR") {
            EXPECT_EQ(length, 13u);
            d.width = Big32(data);
            d.height = Big32(data + 4);
            EXPECT_EQ(data[8], 8);   // bit depth
            EXPECT_EQ(data[9], 2);   // truecolour
            EXPECT_EQ(data[10], 0);  // deflate
            EXPECT_EQ(data[11], 0);  // adaptive filtering
            EXPECT_EQ(data[12], 0);  // no interlace
        } else if (type == "IDAT") {
            zlib.insert(zlib.end(), data, data + length);
            ++d.idatChunks;
        } else if (type == "IEND") {
            EXPECT_EQ(length, 0u);
            ended = true;
        }
        at += 12 + length;
    }
    EXPECT_TRUE(ended) << "no IEND";
    EXPECT_EQ(at, file.size()) << "bytes after IEND";

    EXPECT_GE(zlib.size(), 6u);
    if (zlib.size() < 6) return d;
    EXPECT_EQ(zlib[0], 0x78);
    EXPECT_EQ((zlib[0] * 256 + zlib[1]) % 31, 0);
    EXPECT_EQ(zlib[1] & 0x20, 0) << "no preset dictionary";
    std::vector<std::uint8_t> raw;
    std::size_t p = 2;
    for (bool last = false; !last;) {
        EXPECT_LE(p + 5, zlib.size());
        if (p + 5 > zlib.size()) return d;
        last = zlib[p] & 1;
        EXPECT_EQ(zlib[p] & 6, 0) << "not a stored block";
        const unsigned len = zlib[p + 1] | (zlib[p + 2] << 8);
        const unsigned nlen = zlib[p + 3] | (zlib[p + 4] << 8);
        EXPECT_EQ(len ^ 0xFFFF, nlen);
        p += 5;
        EXPECT_LE(p + len, zlib.size());
        if (p + len > zlib.size()) return d;
        raw.insert(raw.end(), zlib.begin() + p, zlib.begin() + p + len);
        p += len;
        ++d.blocks;
    }
    EXPECT_EQ(p + 4, zlib.size());
    if (p + 4 != zlib.size()) return d;
    EXPECT_EQ(Big32(&zlib[p]), png::Adler32(raw.data(), raw.size()));

    const std::size_t row = std::size_t{d.width} * 3 + 1;
    EXPECT_EQ(raw.size(), row * d.height);
    if (raw.size() != row * d.height) return d;
    for (std::uint32_t y = 0; y < d.height; ++y) {
        EXPECT_EQ(raw[y * row], 0) << "filter of row " << y;
        d.rgb.insert(d.rgb.end(), raw.begin() + y * row + 1, raw.begin() + (y + 1) * row);
    }
    return d;
}

// A pattern in which every byte depends on its row, column and channel.
std::vector<std::uint8_t> Pattern(std::uint32_t width, std::uint32_t height) {
    std::vector<std::uint8_t> rgb(std::size_t{width} * height * 3);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                rgb[(std::size_t{y} * width + x) * 3 + c] = static_cast<std::uint8_t>(x * 7 + y * 13 + c * 101);
    return rgb;
}

TEST(Checksums, Crc32OfPublishedVectors) {
    EXPECT_EQ(png::Crc32(nullptr, 0), 0u);
    EXPECT_EQ(png::Crc32(Bytes("123456789"), 9), 0xCBF43926u);
    EXPECT_EQ(png::Crc32(Bytes("The quick brown fox jumps over the lazy dog"), 43), 0x414FA339u);
    EXPECT_EQ(png::Crc32(Bytes("IEND"), 4), 0xAE426082u);  // every PNG file's last four bytes
    // In two parts, continued.
    EXPECT_EQ(png::Crc32(Bytes("6789"), 4, png::Crc32(Bytes("12345"), 5)), 0xCBF43926u);
}

TEST(Checksums, Adler32OfPublishedVectors) {
    EXPECT_EQ(png::Adler32(nullptr, 0), 1u);
    EXPECT_EQ(png::Adler32(Bytes("Wikipedia"), 9), 0x11E60398u);
    EXPECT_EQ(png::Adler32(Bytes("ipedia"), 6, png::Adler32(Bytes("Wik"), 3)), 0x11E60398u);
    // Long runs of 0xFF exercise the deferred modulo: 100,000 bytes of 0xFF.
    const std::vector<std::uint8_t> ff(100000, 0xFF);
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t v : ff) {
        a = (a + v) % 65521;
        b = (b + a) % 65521;
    }
    EXPECT_EQ(png::Adler32(ff.data(), ff.size()), (b << 16) | a);
}

TEST(ZlibStored, EmptyInputIsOneEmptyFinalBlock) {
    const std::vector<std::uint8_t> expected = {0x78, 0x01, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(png::ZlibStored(nullptr, 0), expected);
}

TEST(ZlibStored, BlocksOfAtMost65535Bytes) {
    const std::vector<std::uint8_t> data(65535 * 2 + 1, 0xA5);
    const std::vector<std::uint8_t> z = png::ZlibStored(data.data(), data.size());
    ASSERT_EQ(z.size(), 2 + 3 * 5 + data.size() + 4);
    EXPECT_EQ(z[2], 0x00);  // not final
    EXPECT_EQ(z[3], 0xFF);
    EXPECT_EQ(z[4], 0xFF);
    EXPECT_EQ(z[5], 0x00);
    EXPECT_EQ(z[6], 0x00);
    const std::size_t third = 2 + 2 * (5 + 65535);
    EXPECT_EQ(z[third], 0x01);  // final
    EXPECT_EQ(z[third + 1], 0x01);
    EXPECT_EQ(z[third + 2], 0x00);
    EXPECT_EQ(z[third + 3], 0xFE);
    EXPECT_EQ(z[third + 4], 0xFF);
}

TEST(EncodeRgb8, SmallImageMatchesZlibsStoredMode) {
    // 3 x 2: red, green, blue / white, black, #123456; made with Python's zlib.compress(raw, 0)
    // and read back by ImageMagick.
    static const std::vector<std::uint8_t> expected = {
        0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00,
        0x00, 0x03, 0x00, 0x00, 0x00, 0x02, 0x08, 0x02, 0x00, 0x00, 0x00, 0x12, 0x16, 0xf1, 0x4d, 0x00, 0x00, 0x00,
        0x1f, 0x49, 0x44, 0x41, 0x54, 0x78, 0x01, 0x01, 0x14, 0x00, 0xeb, 0xff, 0x00, 0xff, 0x00, 0x00, 0x00, 0xff,
        0x00, 0x00, 0x00, 0xff, 0x00, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x12, 0x34, 0x56, 0x45, 0xc3, 0x06, 0x97,
        0x6b, 0xf6, 0xcb, 0x9f, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
    const std::uint8_t rgb[] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255, 0, 0, 0, 0x12, 0x34, 0x56};
    EXPECT_EQ(png::EncodeRgb8(rgb, 3, 2, 9), expected);

    // The same picture as a bottom-up BGR bitmap with rows padded to four bytes, as a DIB is.
    const std::uint8_t dib[] = {255, 255, 255, 0, 0, 0, 0x56, 0x34, 0x12, 0, 0, 0,
                                0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 0, 0};
    EXPECT_EQ(png::EncodeRgb8(dib + 12, 3, 2, -12, png::PixelOrder::Bgr), expected);
}

TEST(EncodeRgb8, LargeImageReadsBack) {
    // 1024 x 100: 307,300 bytes of filtered rows, five stored blocks.
    const std::uint32_t w = 1024, h = 100;
    const std::vector<std::uint8_t> rgb = Pattern(w, h);
    const Decoded d = Decode(png::EncodeRgb8(rgb.data(), w, h, w * 3));
    EXPECT_EQ(d.width, w);
    EXPECT_EQ(d.height, h);
    EXPECT_EQ(d.blocks, 5u);
    EXPECT_EQ(d.idatChunks, 1u);
    EXPECT_TRUE(d.rgb == rgb);
}

TEST(EncodeRgb8, ScreenSizedImageSpansSeveralChunks) {
    const std::uint32_t w = 1024, h = 768;
    const std::vector<std::uint8_t> rgb = Pattern(w, h);
    const std::vector<std::uint8_t> file = png::EncodeRgb8(rgb.data(), w, h, w * 3);
    const Decoded d = Decode(file);
    EXPECT_EQ(d.idatChunks, 3u);  // 2.36 MB of zlib data in 1 MiB chunks
    EXPECT_TRUE(d.rgb == rgb);
    EXPECT_LT(file.size(), rgb.size() + rgb.size() / 100);  // stored: about the raw size
}

TEST(EncodeRgb8, RefusesWhatItCannotWrite) {
    const std::uint8_t rgb[12] = {};
    EXPECT_TRUE(png::EncodeRgb8(nullptr, 1, 1, 3).empty());
    EXPECT_TRUE(png::EncodeRgb8(rgb, 0, 1, 3).empty());
    EXPECT_TRUE(png::EncodeRgb8(rgb, 1, 0, 3).empty());
    EXPECT_TRUE(png::EncodeRgb8(rgb, 2, 1, 5).empty());  // stride shorter than a row
    EXPECT_TRUE(png::EncodeRgb8(rgb, 0x80000000u, 1, 0x7FFFFFFF).empty());
    EXPECT_FALSE(png::EncodeRgb8(rgb, 2, 2, 6).empty());
}

}  // namespace
