// The operation panel's frames and acknowledgements.
#include "ports/PanelFrame.h"

namespace panel {

std::size_t PanelFrameSize(std::uint16_t command, std::size_t dataSize) {
    return (command == kRawDataCommand ? dataSize : 2 * dataSize) + 16;
}

std::vector<std::uint8_t> EncodePanelFrame(std::uint16_t, std::uint8_t, std::uint8_t,
                                           std::span<const std::uint8_t>) {
    return {};
}

PanelFrameDecode DecodePanelFrame(std::span<const std::uint8_t>) { return {}; }

std::array<std::uint8_t, kCommandAckSize> MakeCommandAck(std::uint8_t, std::uint8_t) { return {}; }

bool IsCommandAck(std::span<const std::uint8_t>, std::span<const std::uint8_t>) { return false; }

std::optional<PanelMessageHeader> ReadPanelMessageHeader(std::span<const std::uint8_t>) {
    return std::nullopt;
}

std::array<std::uint8_t, kMessageAckSize> MakeMessageAck(std::uint8_t, std::uint8_t) { return {}; }

MessageAckDecode DecodeMessageAck(std::span<const std::uint8_t>) { return {}; }

}  // namespace panel
