// PNG encoder with stored deflate blocks; see PngWriter.h.
#include "tests/e2e/PngWriter.h"

#include <array>
#include <cstdlib>

namespace png {
namespace {

const std::array<std::uint32_t, 256>& CrcTable() {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

void PutBig32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 24));
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

// Length, type, data, and the CRC over type and data.
void PutChunk(std::vector<std::uint8_t>& out, const char (&type)[5], const std::uint8_t* data, std::size_t size) {
    PutBig32(out, static_cast<std::uint32_t>(size));
    const std::size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    if (size) out.insert(out.end(), data, data + size);
    PutBig32(out, Crc32(out.data() + typeAt, 4 + size));
}

}  // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
    const auto& table = CrcTable();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::uint32_t Adler32(const std::uint8_t* data, std::size_t size, std::uint32_t adler) {
    constexpr std::uint32_t kMod = 65521;
    std::uint32_t a = adler & 0xFFFF, b = adler >> 16;
    while (size > 0) {
        // 5552 bytes is the most that cannot overflow 32 bits before the reduction.
        const std::size_t n = size < 5552 ? size : 5552;
        for (std::size_t i = 0; i < n; ++i) {
            a += data[i];
            b += a;
        }
        a %= kMod;
        b %= kMod;
        data += n;
        size -= n;
    }
    return (b << 16) | a;
}

std::vector<std::uint8_t> ZlibStored(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kBlock = 65535;
    std::vector<std::uint8_t> out;
    const std::size_t blocks = size == 0 ? 1 : (size + kBlock - 1) / kBlock;
    out.reserve(2 + blocks * 5 + size + 4);
    // CMF: deflate with a 32 KiB window; FLG: no dictionary, level "fastest", check bits so that
    // CMF * 256 + FLG is a multiple of 31 (0x7801 = 30721 = 31 * 991).
    out.push_back(0x78);
    out.push_back(0x01);
    std::size_t at = 0;
    for (std::size_t i = 0; i < blocks; ++i) {
        const std::size_t n = size - at < kBlock ? size - at : kBlock;
        const bool last = i + 1 == blocks;
        out.push_back(last ? 1 : 0);  // BFINAL, BTYPE 00; the rest of the byte pads to a boundary
        out.push_back(static_cast<std::uint8_t>(n));
        out.push_back(static_cast<std::uint8_t>(n >> 8));
        out.push_back(static_cast<std::uint8_t>(~n));
        out.push_back(static_cast<std::uint8_t>(~n >> 8));
        if (n) out.insert(out.end(), data + at, data + at + n);
        at += n;
    }
    PutBig32(out, Adler32(data, size));
    return out;
}

std::vector<std::uint8_t> EncodeRgb8(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height,
                                     std::ptrdiff_t stride, PixelOrder order) {
    constexpr std::uint32_t kMaxDimension = 0x7FFFFFFF;
    if (!pixels || width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension) return {};
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    if (static_cast<std::size_t>(std::llabs(stride)) < rowBytes) return {};

    // The filtered image: each row is the filter type 0 and the row's RGB bytes.
    std::vector<std::uint8_t> raw;
    raw.reserve((rowBytes + 1) * height);
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* row = pixels + static_cast<std::ptrdiff_t>(y) * stride;
        raw.push_back(0);
        if (order == PixelOrder::Rgb) {
            raw.insert(raw.end(), row, row + rowBytes);
        } else {
            for (std::uint32_t x = 0; x < width; ++x) {
                const std::uint8_t* p = row + 3 * static_cast<std::size_t>(x);
                raw.push_back(p[2]);
                raw.push_back(p[1]);
                raw.push_back(p[0]);
            }
        }
    }

    std::vector<std::uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::uint8_t> header;
    PutBig32(header, width);
    PutBig32(header, height);
    header.insert(header.end(), {8 /* bit depth */, 2 /* truecolour */, 0 /* deflate */, 0 /* filter */, 0 /* no interlace */});
    PutChunk(out, "IHDR", header.data(), header.size());
    const std::vector<std::uint8_t> compressed = ZlibStored(raw.data(), raw.size());
    // One IDAT chunk per MiB keeps every chunk far below the 2^31 - 1 limit.
    constexpr std::size_t kChunk = 1u << 20;
    for (std::size_t at = 0; at < compressed.size(); at += kChunk) {
        const std::size_t n = compressed.size() - at < kChunk ? compressed.size() - at : kChunk;
        PutChunk(out, "IDAT", compressed.data() + at, n);
    }
    PutChunk(out, "IEND", nullptr, 0);
    return out;
}

}  // namespace png
