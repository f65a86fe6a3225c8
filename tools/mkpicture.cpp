// Writes the installer's pictures in the exact Windows formats that the resource compiler embeds
// and ImageMagick cannot write as needed: 8-bit bitmaps run-length encoded (BI_RLE8) with a
// 256-entry colour table, 8-bit opacity planes, and icon files whose entries are 8-bit (with an
// AND mask) and 32-bit (with alpha). Its inputs are raw pixels as ImageMagick writes them
// (rgb:, gray:, rgba:), top row first; tools/mkpictures.sh drives it.
//
//   mkpicture bmp-rle8   --width W --height H --rgb FILE --out FILE.bmp
//   mkpicture bmp-alpha8 --width W --height H --gray FILE --out FILE.bmp
//   mkpicture ico --out FILE.ico ENTRY...
//       ENTRY is 32:SIZE:RGBA_FILE or 8:SIZE:RGB_FILE:MASK_FILE (MASK_FILE one grey byte per
//       pixel, 0 transparent, anything else opaque)
//
// An 8-bit input holds at most 256 distinct colours (ImageMagick's -colors 256 makes it so);
// the colour table lists them in the order in which they first appear.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tools/ToolSupport.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using tools::Options;

void Put16(Bytes& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(Bytes& out, std::uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

std::uint32_t Stride(std::uint32_t width, std::uint32_t bitsPerPixel) { return (width * bitsPerPixel + 31) / 32 * 4; }

struct Bgr {
    std::uint8_t blue, green, red;
};

// An indexed picture: a 256-entry table and one index per pixel, top row first.
struct Indexed {
    std::vector<Bgr> table = std::vector<Bgr>(256, Bgr{0, 0, 0});
    Bytes indices;
};

Indexed IndexColours(const Bytes& rgb, std::size_t pixels) {
    if (rgb.size() != pixels * 3) Options::Fail("the RGB input does not hold width x height pixels");
    Indexed picture;
    std::map<std::uint32_t, std::uint8_t> known;
    for (std::size_t i = 0; i < pixels; ++i) {
        const std::uint32_t key = (std::uint32_t{rgb[3 * i]} << 16) | (std::uint32_t{rgb[3 * i + 1]} << 8) | rgb[3 * i + 2];
        auto found = known.find(key);
        if (found == known.end()) {
            if (known.size() == 256) Options::Fail("more than 256 colours; quantise first");
            const auto index = static_cast<std::uint8_t>(known.size());
            picture.table[index] = Bgr{rgb[3 * i + 2], rgb[3 * i + 1], rgb[3 * i]};
            found = known.emplace(key, index).first;
        }
        picture.indices.push_back(found->second);
    }
    return picture;
}

void PutInfoHeader(Bytes& out, std::uint32_t width, std::int32_t height, std::uint16_t bits, std::uint32_t compression,
                   std::uint32_t imageSize, std::uint32_t coloursUsed) {
    Put32(out, 40);
    Put32(out, width);
    Put32(out, static_cast<std::uint32_t>(height));
    Put16(out, 1);
    Put16(out, bits);
    Put32(out, compression);
    Put32(out, imageSize);
    Put32(out, 3780);  // 96 dots per inch
    Put32(out, 3780);
    Put32(out, coloursUsed);
    Put32(out, 0);
}

void PutTable(Bytes& out, const std::vector<Bgr>& table) {
    for (const Bgr& c : table) {
        out.push_back(c.blue);
        out.push_back(c.green);
        out.push_back(c.red);
        out.push_back(0);
    }
}

// BI_RLE8 data of one picture, bottom row first: runs of two or more equal indices as
// (count, index); other stretches of three or more as absolute blocks (0, count, indices,
// padded to an even length); the end of every row but the last (0, 0); the end (0, 1).
Bytes EncodeRle8(const Bytes& indices, std::uint32_t width, std::uint32_t height) {
    Bytes out;
    for (std::uint32_t stored = 0; stored < height; ++stored) {
        const std::uint8_t* row = indices.data() + static_cast<std::size_t>(height - 1 - stored) * width;
        std::uint32_t x = 0;
        auto runAt = [&](std::uint32_t at) {
            std::uint32_t n = 1;
            while (at + n < width && n < 255 && row[at + n] == row[at]) ++n;
            return n;
        };
        while (x < width) {
            const std::uint32_t run = runAt(x);
            if (run >= 2) {
                out.push_back(static_cast<std::uint8_t>(run));
                out.push_back(row[x]);
                x += run;
                continue;
            }
            // A literal stretch up to the next run of three or more equal indices.
            std::uint32_t end = x + 1;
            while (end < width && end - x < 255 && runAt(end) < 3) ++end;
            const std::uint32_t count = end - x;
            if (count < 3) {
                for (; x < end; ++x) {
                    out.push_back(1);
                    out.push_back(row[x]);
                }
                continue;
            }
            out.push_back(0);
            out.push_back(static_cast<std::uint8_t>(count));
            out.insert(out.end(), row + x, row + end);
            if (count % 2) out.push_back(0);
            x = end;
        }
        out.push_back(0);
        out.push_back(stored + 1 < height ? 0 : 1);
    }
    return out;
}

// The decoder the check below uses: every index of the picture back, top row first.
Bytes DecodeRle8(const Bytes& data, std::uint32_t width, std::uint32_t height) {
    Bytes indices(static_cast<std::size_t>(width) * height, 0);
    std::uint32_t x = 0, stored = 0;
    std::size_t i = 0;
    auto put = [&](std::uint8_t value) {
        if (x >= width || stored >= height) Options::Fail("RLE8 self-check: a run passes the row's end");
        indices[static_cast<std::size_t>(height - 1 - stored) * width + x++] = value;
    };
    while (i + 1 < data.size()) {
        const std::uint8_t count = data[i], value = data[i + 1];
        i += 2;
        if (count) {
            for (unsigned n = 0; n < count; ++n) put(value);
        } else if (value == 0) {
            x = 0;
            ++stored;
        } else if (value == 1) {
            return indices;
        } else if (value == 2) {
            Options::Fail("RLE8 self-check: unexpected delta");
        } else {
            for (unsigned n = 0; n < value; ++n) put(data.at(i + n));
            i += value + (value % 2);
        }
    }
    Options::Fail("RLE8 self-check: no end of bitmap");
}

Bytes BitmapFile(const Bytes& info, const Bytes& bits) {
    Bytes file;
    file.push_back('B');
    file.push_back('M');
    Put32(file, static_cast<std::uint32_t>(14 + info.size() + bits.size()));
    Put32(file, 0);
    Put32(file, static_cast<std::uint32_t>(14 + info.size()));
    file.insert(file.end(), info.begin(), info.end());
    file.insert(file.end(), bits.begin(), bits.end());
    return file;
}

void WriteRle8(const Options& options) {
    const auto width = static_cast<std::uint32_t>(options.Number("--width"));
    const auto height = static_cast<std::uint32_t>(options.Number("--height"));
    const Indexed picture = IndexColours(tools::ReadFile(options.Get("--rgb")), std::size_t{width} * height);
    const Bytes rle = EncodeRle8(picture.indices, width, height);
    if (DecodeRle8(rle, width, height) != picture.indices) Options::Fail("RLE8 self-check: decoded pixels differ");
    Bytes info;
    PutInfoHeader(info, width, static_cast<std::int32_t>(height), 8, 1 /* BI_RLE8 */, static_cast<std::uint32_t>(rle.size()), 256);
    PutTable(info, picture.table);
    tools::WriteFile(options.Get("--out"), BitmapFile(info, rle));
}

void WriteAlpha8(const Options& options) {
    const auto width = static_cast<std::uint32_t>(options.Number("--width"));
    const auto height = static_cast<std::uint32_t>(options.Number("--height"));
    const Bytes gray = tools::ReadFile(options.Get("--gray"));
    if (gray.size() != std::size_t{width} * height) Options::Fail("the grey input does not hold width x height pixels");
    const std::uint32_t stride = Stride(width, 8);
    Bytes bits;
    for (std::uint32_t stored = 0; stored < height; ++stored) {
        const std::uint8_t* row = gray.data() + static_cast<std::size_t>(height - 1 - stored) * width;
        bits.insert(bits.end(), row, row + width);
        bits.resize(bits.size() + (stride - width), 0);
    }
    std::vector<Bgr> ramp;
    for (unsigned v = 0; v < 256; ++v) ramp.push_back(Bgr{std::uint8_t(v), std::uint8_t(v), std::uint8_t(v)});
    Bytes info;
    PutInfoHeader(info, width, static_cast<std::int32_t>(height), 8, 0 /* BI_RGB */, static_cast<std::uint32_t>(bits.size()), 256);
    PutTable(info, ramp);
    tools::WriteFile(options.Get("--out"), BitmapFile(info, bits));
}

// The AND mask of an icon image: one bit per pixel, set where the pixel is transparent.
void PutAndMask(Bytes& out, const std::vector<bool>& transparent, std::uint32_t size) {
    const std::uint32_t stride = Stride(size, 1);
    for (std::uint32_t stored = 0; stored < size; ++stored) {
        const std::uint32_t y = size - 1 - stored;
        Bytes row(stride, 0);
        for (std::uint32_t x = 0; x < size; ++x) {
            if (transparent[std::size_t{y} * size + x]) row[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        }
        out.insert(out.end(), row.begin(), row.end());
    }
}

struct IconImage {
    std::uint32_t size;
    std::uint16_t bits;
    Bytes dib;  // BITMAPINFOHEADER (height doubled), colour table, XOR bits, AND mask
};

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

IconImage MakeIconImage(const std::string& entry) {
    const std::vector<std::string> parts = Split(entry, ':');
    if (parts.size() < 3) Options::Fail("icon entry " + entry + " is not BITS:SIZE:FILE...");
    IconImage image{static_cast<std::uint32_t>(std::stoul(parts[1])), static_cast<std::uint16_t>(std::stoul(parts[0])), {}};
    const std::uint32_t size = image.size;
    if (size == 0 || size > 256) Options::Fail("icon size out of range in " + entry);
    const std::size_t pixels = std::size_t{size} * size;
    std::vector<bool> transparent(pixels);
    Bytes bits;
    if (image.bits == 32 && parts.size() == 3) {
        const Bytes rgba = tools::ReadFile(parts[2]);
        if (rgba.size() != pixels * 4) Options::Fail(parts[2] + " does not hold size x size RGBA pixels");
        for (std::uint32_t stored = 0; stored < size; ++stored) {
            const std::uint32_t y = size - 1 - stored;
            for (std::uint32_t x = 0; x < size; ++x) {
                const std::uint8_t* p = &rgba[(std::size_t{y} * size + x) * 4];
                bits.insert(bits.end(), {p[2], p[1], p[0], p[3]});
            }
        }
        for (std::size_t i = 0; i < pixels; ++i) transparent[i] = rgba[i * 4 + 3] == 0;
        PutInfoHeader(image.dib, size, static_cast<std::int32_t>(2 * size), 32, 0,
                      static_cast<std::uint32_t>(bits.size() + Stride(size, 1) * size), 0);
    } else if (image.bits == 8 && parts.size() == 4) {
        const Indexed picture = IndexColours(tools::ReadFile(parts[2]), pixels);
        const Bytes mask = tools::ReadFile(parts[3]);
        if (mask.size() != pixels) Options::Fail(parts[3] + " does not hold size x size mask bytes");
        const std::uint32_t stride = Stride(size, 8);
        for (std::uint32_t stored = 0; stored < size; ++stored) {
            const std::uint32_t y = size - 1 - stored;
            for (std::uint32_t x = 0; x < size; ++x) {
                const std::size_t i = std::size_t{y} * size + x;
                transparent[i] = mask[i] == 0;
                const Bgr& colour = picture.table[picture.indices[i]];
                // Where the mask lets the screen through, the XOR picture must be black.
                if (transparent[i] && (colour.blue | colour.green | colour.red)) {
                    Options::Fail(parts[2] + ": a transparent pixel is not black");
                }
                bits.push_back(picture.indices[i]);
            }
            bits.resize(bits.size() + (stride - size), 0);
        }
        PutInfoHeader(image.dib, size, static_cast<std::int32_t>(2 * size), 8, 0,
                      static_cast<std::uint32_t>(bits.size() + Stride(size, 1) * size), 256);
        PutTable(image.dib, picture.table);
    } else {
        Options::Fail("icon entry " + entry + " is neither 32:SIZE:RGBA nor 8:SIZE:RGB:MASK");
    }
    image.dib.insert(image.dib.end(), bits.begin(), bits.end());
    PutAndMask(image.dib, transparent, size);
    return image;
}

void WriteIcon(int argc, char** argv) {
    std::string out;
    std::vector<IconImage> images;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            out = argv[++i];
        } else {
            images.push_back(MakeIconImage(argv[i]));
        }
    }
    if (out.empty() || images.empty()) Options::Fail("ico needs --out FILE and at least one entry");
    Bytes file;
    Put16(file, 0);
    Put16(file, 1);  // icon
    Put16(file, static_cast<std::uint32_t>(images.size()));
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * images.size());
    for (const IconImage& image : images) {
        file.push_back(static_cast<std::uint8_t>(image.size == 256 ? 0 : image.size));
        file.push_back(static_cast<std::uint8_t>(image.size == 256 ? 0 : image.size));
        file.push_back(0);  // 256 colours or more
        file.push_back(0);
        Put16(file, 1);
        Put16(file, image.bits);
        Put32(file, static_cast<std::uint32_t>(image.dib.size()));
        Put32(file, offset);
        offset += static_cast<std::uint32_t>(image.dib.size());
    }
    for (const IconImage& image : images) file.insert(file.end(), image.dib.begin(), image.dib.end());
    tools::WriteFile(out, file);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) Options::Fail("usage: mkpicture bmp-rle8|bmp-alpha8|ico OPTIONS");
    const std::string command = argv[1];
    if (command == "ico") {
        WriteIcon(argc, argv);
        return 0;
    }
    const Options options(argc - 1, argv + 1);
    if (command == "bmp-rle8") {
        WriteRle8(options);
    } else if (command == "bmp-alpha8") {
        WriteAlpha8(options);
    } else {
        Options::Fail("unknown command " + command);
    }
    return 0;
}
