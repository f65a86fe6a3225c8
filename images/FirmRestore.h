// Scrambling of the carried firmware image: each bit plane rotated by its own share of the
// length, then the key walked over the bytes. Restoring undoes both.
#pragma once

#include <array>
#include <cstdint>

// How far bit plane b (0 = least significant) is rotated towards higher indices when
// restoring n bytes: floor((b + 1) * n / 9).
std::array<std::uint32_t, 8> BitPlaneOffsets(std::uint32_t n);

// Restores n scrambled bytes from `src` into `dst` (the two must not overlap): bit b of
// dst[i] becomes bit b of src[(i - offset_b) mod n], then key byte (i mod 501) of `keyCycle`
// is subtracted. One pass, whole bytes at a time, with no heap allocation. Returns the byte sum
// of the restored bytes modulo 256.
std::uint8_t RestoreFirmware(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t n,
                             const std::uint8_t* keyCycle);

// The inverse of RestoreFirmware: adds the key, then rotates each bit plane back.
void ScrambleFirmware(const std::uint8_t* restored, std::uint8_t* dst, std::uint32_t n,
                      const std::uint8_t* keyCycle);
