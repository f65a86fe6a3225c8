// The 25-byte frame that puts a printer without TLS into firmware-update mode when the controller
// library could not: sent unencrypted as the first bytes of a connection to TCP 9100.
//
// Layout: 0x80; 21 (2 bytes, high first); 6 (2 bytes, high first); the text "BOOT_UpdateMain 0\n";
// (sum of the text bytes + 1) modulo 256; and a last byte that makes all 25 bytes add up to 0xFF
// modulo 256.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t kUpdateModeFrameSize = 25;

// The frame, built from its fields.
std::array<std::uint8_t, kUpdateModeFrameSize> UpdateModeFrame();

enum class UpdateModeMatch {
    kFrame,     // the input starts with the whole frame (25 bytes to consume)
    kNeedMore,  // the input so far is a beginning of the frame (the empty input too)
    kNoMatch,   // the input does not start with the frame: firmware data, or anything else
};

// Recognises the frame at the start of what a TCP 9100 connection has received so far. Bytes
// after the frame are not looked at.
UpdateModeMatch MatchUpdateModeFrame(std::span<const std::uint8_t> received);
