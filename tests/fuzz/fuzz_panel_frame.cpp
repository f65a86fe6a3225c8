// Byte streams from either side of the panel connection: frame decoding, the installer's reading
// of a panel message header, and the panel's decoding of an acknowledgement. A decoded frame or
// acknowledgement must encode back to exactly the bytes it was read from.
#include <cstddef>
#include <cstdint>
#include <span>

#include "ports/PanelFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);

    const panel::PanelFrameDecode frame = panel::DecodePanelFrame(bytes);
    if (frame.status == panel::DecodeStatus::kComplete) {
        const auto encoded =
            panel::EncodePanelFrame(frame.frame.command, frame.frame.sequence, frame.frame.attempt, frame.frame.data);
        if (frame.consumed > size || encoded.size() != frame.consumed) __builtin_trap();
        if (!std::equal(encoded.begin(), encoded.end(), data)) __builtin_trap();
        const auto header = panel::ReadPanelMessageHeader(bytes);
        if (!header || header->command != frame.frame.command || header->sequence != frame.frame.sequence) {
            __builtin_trap();
        }
    } else if (frame.status == panel::DecodeStatus::kInvalid && frame.error.empty()) {
        __builtin_trap();
    }

    panel::ReadPanelMessageHeader(bytes);

    const panel::MessageAckDecode ack = panel::DecodeMessageAck(bytes);
    if (ack.status == panel::DecodeStatus::kComplete) {
        const auto encoded = panel::MakeMessageAck(ack.sequence, ack.attempt);
        if (size < encoded.size() || !std::equal(encoded.begin(), encoded.end(), data)) __builtin_trap();
    }
    return 0;
}
