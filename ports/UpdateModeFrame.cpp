// The update-mode frame, built from its fields, and its recogniser.
#include "ports/UpdateModeFrame.h"

#include <algorithm>
#include <string_view>

namespace {

constexpr std::uint8_t kFrameStart = 0x80;
constexpr std::uint16_t kFrameLength = 21;   // the bytes after the length field
constexpr std::uint16_t kFrameType = 6;
constexpr std::string_view kCommandText = "BOOT_UpdateMain 0\n";
static_assert(5 + kCommandText.size() + 2 == kUpdateModeFrameSize);

}  // namespace

std::array<std::uint8_t, kUpdateModeFrameSize> UpdateModeFrame() {
    std::array<std::uint8_t, kUpdateModeFrameSize> frame{};
    frame[0] = kFrameStart;
    frame[1] = static_cast<std::uint8_t>(kFrameLength >> 8);
    frame[2] = static_cast<std::uint8_t>(kFrameLength & 0xFF);
    frame[3] = static_cast<std::uint8_t>(kFrameType >> 8);
    frame[4] = static_cast<std::uint8_t>(kFrameType & 0xFF);
    unsigned textSum = 0;
    for (std::size_t i = 0; i < kCommandText.size(); ++i) {
        frame[5 + i] = static_cast<std::uint8_t>(kCommandText[i]);
        textSum += frame[5 + i];
    }
    frame[23] = static_cast<std::uint8_t>(textSum + 1);
    unsigned sum = 0;
    for (std::size_t i = 0; i < 24; ++i) sum += frame[i];
    frame[24] = static_cast<std::uint8_t>(0xFF - (sum & 0xFF));
    return frame;
}

UpdateModeMatch MatchUpdateModeFrame(std::span<const std::uint8_t> received) {
    static const std::array<std::uint8_t, kUpdateModeFrameSize> frame = UpdateModeFrame();
    const std::size_t n = std::min(received.size(), frame.size());
    if (!std::equal(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(n), frame.begin())) {
        return UpdateModeMatch::kNoMatch;
    }
    return n == frame.size() ? UpdateModeMatch::kFrame : UpdateModeMatch::kNeedMore;
}
