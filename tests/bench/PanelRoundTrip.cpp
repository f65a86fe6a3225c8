// Single panel data commands, timed one by one.
#include "tests/bench/PanelRoundTrip.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/Text.h"
#include "ports/win32/PanelPortSystem.h"
#include "update/PanelUpdater.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> Field(const std::string& text, std::size_t width) {
    std::vector<std::uint8_t> field(width, ' ');
    std::copy_n(text.begin(), std::min(width, text.size()), field.begin());
    return field;
}

}  // namespace

double PanelRoundTripSeconds(const std::string& address, int roundTrips) {
    std::unique_ptr<CZPanelNetworkPort> port = MakePanelNetworkPort();
    port->setHost(text::WidenBytes(address));
    if (!port->open()) return 0;
    std::vector<std::uint8_t> header = Field("PanelApplication", 30);
    const std::vector<std::uint8_t> size = Field(std::to_string(roundTrips * kPanelBlockSize), 10);
    header.insert(header.end(), size.begin(), size.end());
    if (!port->sendCommand(static_cast<std::uint16_t>(header.size()), kPanelFileHeader, 0, header.data())) return 0;

    std::vector<std::uint8_t> block(kPanelBlockSize);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 31 + 7);
    double total = 0;
    for (int i = 0; i < roundTrips; ++i) {
        const Clock::time_point start = Clock::now();
        if (!port->sendCommand(kPanelBlockSize, kPanelFileData, 0, block.data())) return 0;
        total += std::chrono::duration<double>(Clock::now() - start).count();
    }
    port->close();
    return total / roundTrips;
}
