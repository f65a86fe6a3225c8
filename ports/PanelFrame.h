// The operation panel's framed protocol on TCP 57602: command frames (installer to panel, and
// panel messages laid out the same way), the 5-byte acknowledgement of a command and the 8-byte
// acknowledgement of a panel message.
//
// A frame before encoding is: data length n (2 bytes, high first), command code (2 bytes, high
// first), sequence number, attempt number, n data bytes, and a checksum byte that makes all
// 7 + n bytes add up to 0 modulo 256. On the wire it is STX, every byte as two upper-case hex
// digits, ETX; under the raw-data command only the header and checksum are hex and the data
// travels unchanged between them. Wire positions below count from the STX (position 0).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace panel {

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint16_t kRawDataCommand = 0xE007;  // data travels unencoded
inline constexpr std::size_t kMaxData = 1024;             // data bytes a frame may carry
inline constexpr std::size_t kHeaderChars = 12;           // the six header bytes in hex
inline constexpr std::size_t kMaxFrameSize = 2 * kMaxData + 16;
inline constexpr std::size_t kCommandAckSize = 5;
inline constexpr std::size_t kMessageAckSize = 8;

// Wire size of a frame for `command` with `dataSize` data bytes: 2n + 16, or n + 16 under the
// raw-data command.
std::size_t PanelFrameSize(std::uint16_t command, std::size_t dataSize);

// The wire frame. Empty when `data` is longer than kMaxData (no such frame exists).
std::vector<std::uint8_t> EncodePanelFrame(std::uint16_t command, std::uint8_t sequence,
                                           std::uint8_t attempt, std::span<const std::uint8_t> data);

struct PanelFrame {
    std::uint16_t command = 0;
    std::uint8_t sequence = 0;
    std::uint8_t attempt = 0;
    std::vector<std::uint8_t> data;
};

enum class DecodeStatus {
    kComplete,  // a whole frame is at the start of the input
    kNeedMore,  // everything so far is a valid beginning of a frame
    kInvalid,   // the input cannot be the beginning of a valid frame
};

struct PanelFrameDecode {
    DecodeStatus status = DecodeStatus::kNeedMore;
    PanelFrame frame;           // when complete
    std::size_t consumed = 0;   // when complete: the frame's wire size; bytes after it are not read
    std::string error;          // when invalid: why, in a few words
};

// Strict incremental decoder for a received byte stream: `bytes` are all bytes received since the
// previous frame ended. Checks, as soon as the bytes are there: STX; upper-case hex digits in the
// header, the encoded data and the checksum; a length of at most kMaxData; the checksum; ETX.
// Under the raw-data command the data bytes are taken as they are. Never reads past `bytes`.
PanelFrameDecode DecodePanelFrame(std::span<const std::uint8_t> bytes);

// The acknowledgement of a command frame: ACK, then the hex digits of its sequence and attempt
// numbers (the frame's positions 9 to 12).
std::array<std::uint8_t, kCommandAckSize> MakeCommandAck(std::uint8_t sequence, std::uint8_t attempt);

// The installer's check of an acknowledgement: `reply` has at least 5 bytes, byte 0 is ACK and
// bytes 1 to 4 equal positions 9 to 12 of the sent `frame`. Nothing beyond byte 4 is looked at.
// False when `frame` is shorter than 13 bytes.
bool IsCommandAck(std::span<const std::uint8_t> reply, std::span<const std::uint8_t> frame);

struct PanelMessageHeader {
    std::uint16_t command = 0;
    std::uint8_t sequence = 0;
    std::uint8_t attempt = 0;
};

// The header of a panel message as the installer reads it: positions 5 to 8 the command code,
// 9 and 10 the sequence number, 11 and 12 the attempt number, all upper-case hex. Nothing else is
// checked. Nothing when `buffer` is shorter than 13 bytes or one of those is not an upper-case hex
// digit.
std::optional<PanelMessageHeader> ReadPanelMessageHeader(std::span<const std::uint8_t> buffer);

// The acknowledgement of a panel message: ACK, the hex digits of its sequence and attempt
// numbers, two hex digits of the two's complement of (sequence + attempt) modulo 256, ETX.
// Sequence 5, attempt 0 gives 06 "0500FB" 03.
std::array<std::uint8_t, kMessageAckSize> MakeMessageAck(std::uint8_t sequence, std::uint8_t attempt);

struct MessageAckDecode {
    DecodeStatus status = DecodeStatus::kNeedMore;
    std::uint8_t sequence = 0;  // when complete
    std::uint8_t attempt = 0;   // when complete
    std::size_t consumed = 0;   // when complete: 8
    std::string error;          // when invalid
};

// Strict incremental decoder of a panel-message acknowledgement, for the panel's side: ACK,
// upper-case hex digits, the check digits matching, ETX.
MessageAckDecode DecodeMessageAck(std::span<const std::uint8_t> bytes);

}  // namespace panel
