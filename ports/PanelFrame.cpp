// The operation panel's frames and acknowledgements: encoding, the installer's checks, and the
// strict decoders the panel's side uses on a byte stream.
#include "ports/PanelFrame.h"

namespace panel {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Wire positions of the header fields, counting the STX as 0.
constexpr std::size_t kLengthPos = 1;
constexpr std::size_t kCommandPos = 5;
constexpr std::size_t kSequencePos = 9;
constexpr std::size_t kAttemptPos = 11;
constexpr std::size_t kDataPos = 1 + kHeaderChars;  // 13

// The value of an upper-case hex digit, or -1.
int HexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Two hex digits at `pos` (both there) as a byte, or -1.
int HexByteAt(std::span<const std::uint8_t> bytes, std::size_t pos) {
    const int high = HexValue(bytes[pos]);
    const int low = HexValue(bytes[pos + 1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

void PutHex(std::uint8_t* out, std::uint8_t value) {
    out[0] = static_cast<std::uint8_t>(kHexDigits[value >> 4]);
    out[1] = static_cast<std::uint8_t>(kHexDigits[value & 0x0F]);
}

void AppendHex(std::vector<std::uint8_t>& out, std::uint8_t value) {
    std::uint8_t pair[2];
    PutHex(pair, value);
    out.insert(out.end(), pair, pair + 2);
}

PanelFrameDecode Invalid(const char* why) {
    PanelFrameDecode result;
    result.status = DecodeStatus::kInvalid;
    result.error = why;
    return result;
}

// True when every byte in [from, to) that has arrived is an upper-case hex digit.
bool HexSoFar(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to && i < bytes.size(); ++i) {
        if (HexValue(bytes[i]) < 0) return false;
    }
    return true;
}

}  // namespace

std::size_t PanelFrameSize(std::uint16_t command, std::size_t dataSize) {
    return (command == kRawDataCommand ? dataSize : 2 * dataSize) + 16;
}

std::vector<std::uint8_t> EncodePanelFrame(std::uint16_t command, std::uint8_t sequence,
                                           std::uint8_t attempt, std::span<const std::uint8_t> data) {
    if (data.size() > kMaxData) return {};
    const std::uint8_t header[6] = {
        static_cast<std::uint8_t>(data.size() >> 8), static_cast<std::uint8_t>(data.size() & 0xFF),
        static_cast<std::uint8_t>(command >> 8),     static_cast<std::uint8_t>(command & 0xFF),
        sequence,                                    attempt,
    };
    std::uint8_t sum = 0;
    std::vector<std::uint8_t> frame;
    frame.reserve(PanelFrameSize(command, data.size()));
    frame.push_back(kStx);
    for (std::uint8_t b : header) {
        AppendHex(frame, b);
        sum = static_cast<std::uint8_t>(sum + b);
    }
    for (std::uint8_t b : data) {
        if (command == kRawDataCommand) {
            frame.push_back(b);
        } else {
            AppendHex(frame, b);
        }
        sum = static_cast<std::uint8_t>(sum + b);
    }
    AppendHex(frame, static_cast<std::uint8_t>(0x100 - sum));
    frame.push_back(kEtx);
    return frame;
}

PanelFrameDecode DecodePanelFrame(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return {};
    if (bytes[0] != kStx) return Invalid("frame does not start with STX");
    if (!HexSoFar(bytes, 1, kDataPos)) return Invalid("header is not upper-case hex");

    if (bytes.size() >= kLengthPos + 4) {
        const std::size_t length =
            static_cast<std::size_t>(HexByteAt(bytes, kLengthPos)) * 256 + HexByteAt(bytes, kLengthPos + 2);
        if (length > kMaxData) return Invalid("data length over 1024");
    }
    if (bytes.size() < kDataPos) return {};

    const std::size_t length =
        static_cast<std::size_t>(HexByteAt(bytes, kLengthPos)) * 256 + HexByteAt(bytes, kLengthPos + 2);
    const auto command =
        static_cast<std::uint16_t>(HexByteAt(bytes, kCommandPos) * 256 + HexByteAt(bytes, kCommandPos + 2));
    const bool raw = command == kRawDataCommand;
    const std::size_t dataChars = raw ? length : 2 * length;
    const std::size_t checksumPos = kDataPos + dataChars;
    const std::size_t total = checksumPos + 3;

    if (!raw && !HexSoFar(bytes, kDataPos, checksumPos)) return Invalid("data is not upper-case hex");
    if (!HexSoFar(bytes, checksumPos, checksumPos + 2)) return Invalid("checksum is not upper-case hex");
    if (bytes.size() < checksumPos + 2) return {};

    PanelFrameDecode result;
    PanelFrame& frame = result.frame;
    frame.command = command;
    frame.sequence = static_cast<std::uint8_t>(HexByteAt(bytes, kSequencePos));
    frame.attempt = static_cast<std::uint8_t>(HexByteAt(bytes, kAttemptPos));
    frame.data.reserve(length);
    std::uint8_t sum = 0;
    for (std::size_t pos = 1; pos < kDataPos; pos += 2) {
        sum = static_cast<std::uint8_t>(sum + HexByteAt(bytes, pos));
    }
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t b = raw ? bytes[kDataPos + i] : static_cast<std::uint8_t>(HexByteAt(bytes, kDataPos + 2 * i));
        frame.data.push_back(b);
        sum = static_cast<std::uint8_t>(sum + b);
    }
    sum = static_cast<std::uint8_t>(sum + HexByteAt(bytes, checksumPos));
    if (sum != 0) return Invalid("checksum mismatch");
    if (bytes.size() < total) return {};
    if (bytes[total - 1] != kEtx) return Invalid("frame does not end with ETX");

    result.status = DecodeStatus::kComplete;
    result.consumed = total;
    return result;
}

std::array<std::uint8_t, kCommandAckSize> MakeCommandAck(std::uint8_t sequence, std::uint8_t attempt) {
    std::array<std::uint8_t, kCommandAckSize> ack{};
    ack[0] = kAck;
    PutHex(&ack[1], sequence);
    PutHex(&ack[3], attempt);
    return ack;
}

bool IsCommandAck(std::span<const std::uint8_t> reply, std::span<const std::uint8_t> frame) {
    if (reply.size() < kCommandAckSize || frame.size() < kAttemptPos + 2) return false;
    if (reply[0] != kAck) return false;
    for (std::size_t i = 0; i < 4; ++i) {
        if (reply[1 + i] != frame[kSequencePos + i]) return false;
    }
    return true;
}

std::optional<PanelMessageHeader> ReadPanelMessageHeader(std::span<const std::uint8_t> buffer) {
    if (buffer.size() < kAttemptPos + 2) return std::nullopt;
    const int commandHigh = HexByteAt(buffer, kCommandPos);
    const int commandLow = HexByteAt(buffer, kCommandPos + 2);
    const int sequence = HexByteAt(buffer, kSequencePos);
    const int attempt = HexByteAt(buffer, kAttemptPos);
    if (commandHigh < 0 || commandLow < 0 || sequence < 0 || attempt < 0) return std::nullopt;
    return PanelMessageHeader{static_cast<std::uint16_t>(commandHigh * 256 + commandLow),
                              static_cast<std::uint8_t>(sequence), static_cast<std::uint8_t>(attempt)};
}

std::array<std::uint8_t, kMessageAckSize> MakeMessageAck(std::uint8_t sequence, std::uint8_t attempt) {
    std::array<std::uint8_t, kMessageAckSize> ack{};
    ack[0] = kAck;
    PutHex(&ack[1], sequence);
    PutHex(&ack[3], attempt);
    PutHex(&ack[5], static_cast<std::uint8_t>(0x100 - ((sequence + attempt) & 0xFF)));
    ack[7] = kEtx;
    return ack;
}

MessageAckDecode DecodeMessageAck(std::span<const std::uint8_t> bytes) {
    MessageAckDecode result;
    const auto invalid = [&result](const char* why) {
        result.status = DecodeStatus::kInvalid;
        result.error = why;
        return result;
    };
    if (bytes.empty()) return result;
    if (bytes[0] != kAck) return invalid("acknowledgement does not start with ACK");
    if (!HexSoFar(bytes, 1, 7)) return invalid("acknowledgement is not upper-case hex");
    if (bytes.size() < 7) return result;
    const auto sequence = static_cast<std::uint8_t>(HexByteAt(bytes, 1));
    const auto attempt = static_cast<std::uint8_t>(HexByteAt(bytes, 3));
    const auto check = static_cast<std::uint8_t>(HexByteAt(bytes, 5));
    if (static_cast<std::uint8_t>(sequence + attempt + check) != 0) {
        return invalid("acknowledgement check digits do not match");
    }
    if (bytes.size() < kMessageAckSize) return result;
    if (bytes[7] != kEtx) return invalid("acknowledgement does not end with ETX");
    result.status = DecodeStatus::kComplete;
    result.sequence = sequence;
    result.attempt = attempt;
    result.consumed = kMessageAckSize;
    return result;
}

}  // namespace panel
