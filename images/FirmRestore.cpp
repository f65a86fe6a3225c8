// Bit-plane rotation and key walk over the firmware image.
//
// Restoring is done in one pass from the scrambled bytes straight into the output. The output
// range splits at the eight rotation offsets into nine segments; inside a segment every bit
// plane reads a contiguous run of the source, so the inner loop is eight plain streams that
// the compiler vectorises. The key is repeated over a few kilobytes on the stack (restoring
// allocates nothing, so it cannot fail for want of memory) and read as a ninth stream; segments
// are cut further only where that repeated key wraps.
#include "images/FirmRestore.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "images/FirmKey.h"

std::array<std::uint32_t, 8> BitPlaneOffsets(std::uint32_t n) {
    std::array<std::uint32_t, 8> offsets{};
    for (std::uint32_t b = 0; b < 8; ++b) {
        offsets[b] = static_cast<std::uint32_t>((static_cast<std::uint64_t>(b + 1) * n) / 9);
    }
    return offsets;
}

namespace {

struct PlaneStreams {
    const std::uint8_t* p[8];
};

// Restores `count` bytes whose bit planes come from the eight streams, subtracting `key`.
// The sum is kept in a byte: only its value modulo 256 matters, and byte lanes let the
// compiler handle sixteen bytes per step.
std::uint8_t RestoreRun(const PlaneStreams& s, const std::uint8_t* key, std::uint8_t* __restrict dst,
                         std::size_t count) {
    const std::uint8_t* __restrict p0 = s.p[0];
    const std::uint8_t* __restrict p1 = s.p[1];
    const std::uint8_t* __restrict p2 = s.p[2];
    const std::uint8_t* __restrict p3 = s.p[3];
    const std::uint8_t* __restrict p4 = s.p[4];
    const std::uint8_t* __restrict p5 = s.p[5];
    const std::uint8_t* __restrict p6 = s.p[6];
    const std::uint8_t* __restrict p7 = s.p[7];
    const std::uint8_t* __restrict k = key;
    std::uint8_t sum = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const std::uint8_t rotated = static_cast<std::uint8_t>(
            (p0[j] & 0x01) | (p1[j] & 0x02) | (p2[j] & 0x04) | (p3[j] & 0x08) |
            (p4[j] & 0x10) | (p5[j] & 0x20) | (p6[j] & 0x40) | (p7[j] & 0x80));
        const std::uint8_t value = static_cast<std::uint8_t>(rotated - k[j]);
        dst[j] = value;
        sum = static_cast<std::uint8_t>(sum + value);
    }
    return sum;
}

// The key repeated over about 4 KB, so that runs between two wraps of the key are long.
constexpr std::size_t kKeyRepeats = 8;
constexpr std::size_t kRepeatedKeyLength = kFirmKeyCycle * kKeyRepeats;

}  // namespace

std::uint8_t RestoreFirmware(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t n,
                             const std::uint8_t* keyCycle) {
    if (n == 0) return 0;
    const std::array<std::uint32_t, 8> offsets = BitPlaneOffsets(n);

    std::array<std::uint8_t, kRepeatedKeyLength> repeatedKey;
    for (std::size_t i = 0; i < kRepeatedKeyLength; ++i) repeatedKey[i] = keyCycle[i % kFirmKeyCycle];

    std::uint8_t sum = 0;
    std::size_t keyPos = 0;
    std::size_t begin = 0;
    // Segment k runs from offsets[k-1] (0 for the first) to offsets[k] (n for the last). In it,
    // planes below k have passed their offset and read src[i - offset]; the others still read
    // the wrapped-around source src[i + n - offset].
    for (std::size_t k = 0; k <= 8; ++k) {
        const std::size_t end = k < 8 ? offsets[k] : n;
        if (end <= begin) continue;
        PlaneStreams streams;
        for (std::size_t b = 0; b < 8; ++b) {
            const std::size_t first = b < k ? begin - offsets[b] : begin + n - offsets[b];
            streams.p[b] = src + first;
        }
        std::size_t i = begin;
        while (i < end) {
            const std::size_t count = std::min(end - i, kRepeatedKeyLength - keyPos);
            sum = static_cast<std::uint8_t>(sum + RestoreRun(streams, repeatedKey.data() + keyPos, dst + i, count));
            for (auto& p : streams.p) p += count;
            i += count;
            keyPos += count;
            if (keyPos == kRepeatedKeyLength) keyPos = 0;
        }
        begin = end;
    }
    return sum;
}

void ScrambleFirmware(const std::uint8_t* restored, std::uint8_t* dst, std::uint32_t n,
                      const std::uint8_t* keyCycle) {
    if (n == 0) return;
    std::vector<std::uint8_t> keyed(n);
    for (std::size_t i = 0; i < n; ++i) {
        keyed[i] = static_cast<std::uint8_t>(restored[i] + keyCycle[i % kFirmKeyCycle]);
    }
    const std::array<std::uint32_t, 8> offsets = BitPlaneOffsets(n);
    for (std::size_t j = 0; j < n; ++j) {
        std::uint8_t value = 0;
        for (std::size_t b = 0; b < 8; ++b) {
            std::size_t from = j + offsets[b];
            if (from >= n) from -= n;
            value = static_cast<std::uint8_t>(value | (keyed[from] & (1u << b)));
        }
        dst[j] = value;
    }
}
