// The operation panel's frames and acknowledgements, byte for byte, and the strict decoders.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ports/PanelFrame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }

template <std::size_t N>
Bytes B(const std::array<std::uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

TEST(EncodePanelFrame, MatchesTheDocumentedFrames) {
    const Bytes abc = B("ABC");
    EXPECT_EQ(panel::EncodePanelFrame(0xE009, 0, 0, {}), B("\x02" "0000E009000017" "\x03"));
    EXPECT_EQ(panel::EncodePanelFrame(0xE007, 1, 0, abc), B("\x02" "0003E0070100" "ABC" "4F" "\x03"));
    // The same data under another command is hex-encoded, and the checksum covers it.
    EXPECT_EQ(panel::EncodePanelFrame(0xE008, 1, 2, abc), B("\x02" "0003E0080102" "414243" "4C" "\x03"));
    // Sequence and attempt numbers show at positions 9 to 12.
    EXPECT_EQ(panel::EncodePanelFrame(0xE005, 0xAB, 0x02, {}), B("\x02" "0000E005AB02" "6E" "\x03"));
}

TEST(EncodePanelFrame, FullBlockUnderRawDataTravelsUnchanged) {
    Bytes data(panel::kMaxData);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const Bytes frame = panel::EncodePanelFrame(panel::kRawDataCommand, 9, 1, data);
    ASSERT_EQ(frame.size(), 1040u);
    EXPECT_EQ(Bytes(frame.begin() + 13, frame.begin() + 1037), data);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 13), B("\x02" "0400E0070901"));
    EXPECT_EQ(frame.back(), panel::kEtx);

    EXPECT_EQ(panel::EncodePanelFrame(0xE008, 0, 0, data).size(), panel::kMaxFrameSize);
    const Bytes tooLong(panel::kMaxData + 1);
    EXPECT_TRUE(panel::EncodePanelFrame(panel::kRawDataCommand, 0, 0, tooLong).empty());
    EXPECT_TRUE(panel::EncodePanelFrame(0xE008, 0, 0, tooLong).empty());
}

TEST(DecodePanelFrame, ReadsBackEveryFrameAndWaitsForTheRest) {
    Bytes full(panel::kMaxData, 0xFF);
    const struct {
        std::uint16_t command;
        std::uint8_t sequence, attempt;
        Bytes data;
    } cases[] = {
        {0xE009, 0, 0, {}},
        {0xE000, 255, 2, B("V1.0 3.0.1     ")},
        {panel::kRawDataCommand, 7, 1, {panel::kStx, panel::kEtx, panel::kAck, 0x00, 'a'}},  // control bytes as data
        {panel::kRawDataCommand, 1, 0, full},
        {0xE008, 1, 0, full},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "command " << std::hex << c.command << " size " << std::dec << c.data.size());
        Bytes stream = panel::EncodePanelFrame(c.command, c.sequence, c.attempt, c.data);
        const std::size_t size = stream.size();
        for (std::size_t n = 0; n < size; ++n) {
            const auto partial = panel::DecodePanelFrame(std::span(stream).first(n));
            ASSERT_EQ(partial.status, panel::DecodeStatus::kNeedMore) << "prefix " << n << ": " << partial.error;
        }
        stream.push_back(panel::kStx);  // the next frame's first byte is left alone
        const auto decoded = panel::DecodePanelFrame(stream);
        ASSERT_EQ(decoded.status, panel::DecodeStatus::kComplete) << decoded.error;
        EXPECT_EQ(decoded.consumed, size);
        EXPECT_EQ(decoded.frame.command, c.command);
        EXPECT_EQ(decoded.frame.sequence, c.sequence);
        EXPECT_EQ(decoded.frame.attempt, c.attempt);
        EXPECT_EQ(decoded.frame.data, c.data);
    }
}

TEST(DecodePanelFrame, RejectsMalformedFramesAsSoonAsTheFaultArrives) {
    const struct {
        const char* what;
        Bytes bytes;
    } cases[] = {
        {"no STX", B("0000E009000017\x03")},
        {"lower-case hex in the header", B("\x02" "0000e009")},
        {"length over 1024, before any data", B("\x02" "0401")},
        {"length FFFF", B("\x02" "FFFFE007")},
        {"bad checksum", B("\x02" "0000E009000018\x03")},
        {"bad checksum under raw data", B("\x02" "0003E0070100" "ABD" "4F")},
        {"non-hex data", B("\x02" "0001E0080000G")},
        {"non-hex checksum", B("\x02" "0000E0090000X")},
        {"ETX missing", B("\x02" "0000E009000017\x02")},
        {"space in the sequence", B("\x02" "0000E009 0")},
    };
    for (const auto& c : cases) {
        const auto decoded = panel::DecodePanelFrame(c.bytes);
        EXPECT_EQ(decoded.status, panel::DecodeStatus::kInvalid) << c.what;
        EXPECT_FALSE(decoded.error.empty()) << c.what;
    }
}

TEST(CommandAck, EchoesSequenceAndAttemptDigits) {
    EXPECT_EQ(B(panel::MakeCommandAck(0, 0)), B("\x06" "0000"));
    EXPECT_EQ(B(panel::MakeCommandAck(0xAB, 2)), B("\x06" "AB02"));

    const Bytes frame = panel::EncodePanelFrame(0xE009, 0, 0, {});
    const struct {
        Bytes reply;
        bool ack;
    } cases[] = {
        {B("\x06" "0000"), true},
        {B("\x06" "0000garbage"), true},  // nothing beyond byte 4 counts
        {B("\x06" "0100"), false},        // next sequence number: wrong answer
        {B("\x06" "0001"), false},
        {B("\x15" "0000"), false},
        {B("\x06" "000"), false},
        {{}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(panel::IsCommandAck(c.reply, frame), c.ack) << std::string(c.reply.begin(), c.reply.end());
    }
    EXPECT_FALSE(panel::IsCommandAck(B("\x06" "0000"), std::span(frame).first(12)));
}

TEST(ReadPanelMessageHeader, ReadsCommandSequenceAndAttemptOnly) {
    const auto header = panel::ReadPanelMessageHeader(panel::EncodePanelFrame(0xE00A, 5, 1, {}));
    ASSERT_TRUE(header);
    EXPECT_EQ(header->command, 0xE00A);
    EXPECT_EQ(header->sequence, 5);
    EXPECT_EQ(header->attempt, 1);

    // Positions 0 to 4 and from 13 on are not looked at.
    const auto loose = panel::ReadPanelMessageHeader(B("xxxxxE00C0A03"));
    ASSERT_TRUE(loose);
    EXPECT_EQ(loose->command, 0xE00C);
    EXPECT_EQ(loose->sequence, 10);
    EXPECT_EQ(loose->attempt, 3);

    for (const char* bad : {"\x02" "0000E00A050", "\x02" "0000e00A050017", "\x02" "0000E00A05 017",
                            "\x02" "0000E00A050G17", ""}) {
        EXPECT_FALSE(panel::ReadPanelMessageHeader(B(bad))) << bad;
    }
}

TEST(MessageAck, CarriesTheTwosComplementOfSequencePlusAttempt) {
    EXPECT_EQ(B(panel::MakeMessageAck(5, 0)), B("\x06" "0500FB" "\x03"));
    EXPECT_EQ(B(panel::MakeMessageAck(0, 0)), B("\x06" "000000" "\x03"));
    EXPECT_EQ(B(panel::MakeMessageAck(0xFF, 1)), B("\x06" "FF0100" "\x03"));
    EXPECT_EQ(B(panel::MakeMessageAck(0x80, 0x81)), B("\x06" "8081FF" "\x03"));
}

TEST(DecodeMessageAck, ReadsBackEveryAckAndRejectsBrokenOnes) {
    for (unsigned sequence = 0; sequence < 256; ++sequence) {
        for (unsigned attempt = 0; attempt < 256; ++attempt) {
            const auto ack = panel::MakeMessageAck(static_cast<std::uint8_t>(sequence), static_cast<std::uint8_t>(attempt));
            const auto decoded = panel::DecodeMessageAck(ack);
            ASSERT_EQ(decoded.status, panel::DecodeStatus::kComplete) << sequence << '/' << attempt;
            ASSERT_EQ(decoded.sequence, sequence);
            ASSERT_EQ(decoded.attempt, attempt);
            ASSERT_EQ(decoded.consumed, panel::kMessageAckSize);
        }
    }
    const Bytes good = B("\x06" "0500FB" "\x03" "more");
    for (std::size_t n = 0; n < panel::kMessageAckSize; ++n) {
        EXPECT_EQ(panel::DecodeMessageAck(std::span(good).first(n)).status, panel::DecodeStatus::kNeedMore) << n;
    }
    EXPECT_EQ(panel::DecodeMessageAck(good).consumed, panel::kMessageAckSize);

    for (const char* bad : {"\x15" "0500FB\x03", "\x06" "0500FA\x03", "\x06" "0500fb\x03", "\x06" "0500FB\x02",
                            "\x06" "05 0", "\x02" "0000E009000017\x03"}) {
        const auto decoded = panel::DecodeMessageAck(B(bad));
        EXPECT_EQ(decoded.status, panel::DecodeStatus::kInvalid) << bad;
        EXPECT_FALSE(decoded.error.empty());
    }
}

}  // namespace
