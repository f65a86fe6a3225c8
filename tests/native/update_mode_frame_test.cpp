// The 25-byte update-mode frame and its recogniser on a TCP 9100 connection.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "ports/UpdateModeFrame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kDocumented = {0x80, 0x00, 0x15, 0x00, 0x06, 0x42, 0x4F, 0x4F, 0x54, 0x5F, 0x55, 0x70, 0x64,
                           0x61, 0x74, 0x65, 0x4D, 0x61, 0x69, 0x6E, 0x20, 0x30, 0x0A, 0xD6, 0xB9};

TEST(UpdateModeFrame, IsTheDocumentedFrame) {
    const auto frame = UpdateModeFrame();
    EXPECT_EQ(Bytes(frame.begin(), frame.end()), kDocumented);
    EXPECT_EQ(std::accumulate(frame.begin(), frame.end(), 0u) % 256, 0xFFu);
}

TEST(MatchUpdateModeFrame, TellsTheFrameFromFirmwareData) {
    Bytes withData = kDocumented;
    withData.insert(withData.end(), {0x1B, 0x25, 0x2D});
    Bytes lastByteWrong = kDocumented;
    lastByteWrong.back() ^= 1;
    const struct {
        const char* what;
        Bytes received;
        UpdateModeMatch match;
    } cases[] = {
        {"nothing yet", {}, UpdateModeMatch::kNeedMore},
        {"first byte", {0x80}, UpdateModeMatch::kNeedMore},
        {"all but the last byte", Bytes(kDocumented.begin(), kDocumented.end() - 1), UpdateModeMatch::kNeedMore},
        {"the frame", kDocumented, UpdateModeMatch::kFrame},
        {"the frame and more", withData, UpdateModeMatch::kFrame},
        {"wrong last byte", lastByteWrong, UpdateModeMatch::kNoMatch},
        {"another length", {0x80, 0x00, 0x16}, UpdateModeMatch::kNoMatch},
        {"firmware data", {0x1B, 0x25, 0x2D, 0x31}, UpdateModeMatch::kNoMatch},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchUpdateModeFrame(c.received), c.match) << c.what;
    }
}

}  // namespace
