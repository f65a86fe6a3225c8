// Writes a test picture with the PNG encoder, for png_writer_check.sh: OUT.png and the same pixels
// as raw RGB in OUT.rgb. Usage: png_writer_sample OUT WIDTH HEIGHT
#include "tests/e2e/PngWriter.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s OUT WIDTH HEIGHT\n", argv[0]);
        return 2;
    }
    const std::string out = argv[1];
    const auto w = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const auto h = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    std::vector<std::uint8_t> rgb(std::size_t{w} * h * 3);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            std::uint8_t* p = &rgb[(std::size_t{y} * w + x) * 3];
            p[0] = static_cast<std::uint8_t>(x);
            p[1] = static_cast<std::uint8_t>(y);
            p[2] = static_cast<std::uint8_t>((x ^ y) * 3);
        }
    const std::vector<std::uint8_t> file = png::EncodeRgb8(rgb.data(), w, h, static_cast<std::ptrdiff_t>(w) * 3);
    if (file.empty() || !WriteFile(out + ".png", file) || !WriteFile(out + ".rgb", rgb)) {
        std::fprintf(stderr, "cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}
