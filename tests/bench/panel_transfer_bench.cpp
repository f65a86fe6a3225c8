// The panel transfer's speed against its own round trips: the carried panel package (from this
// program's resources, as the installer carries it) goes through CPanelUpdater::TransferThread
// over the Winsock panel port to the printer simulator on loopback, and in the same run single
// 1 KB data commands are timed one by one. A transfer that keeps pace with its acknowledgements
// takes about blocks x one round trip; anything well above that is a stall per block (Nagle's
// algorithm meeting delayed acknowledgements is the usual one).
//
// Usage: panel_transfer_bench PRINTER_ADDRESS   (run by `make bench` through with-sim.sh)
// Prints: ratio panel_transfer_vs_round_trips <value>   (target: at most 1.5)
//
// The updater's fixed pauses between the opening messages (1.6 s in all) are left out of the
// transfer time: they are no network cost and would only blur the figure.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/resource.h"
#include "common/Clock.h"
#include "common/Text.h"
#include "common/win32/ModuleResources.h"
#include "images/PanelImage.h"
#include "ports/win32/PanelPortSystem.h"
#include "tests/native/fakes/TransferSupport.h"
#include "update/PanelUpdater.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 1000;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::vector<std::uint8_t> Field(const std::string& text, std::size_t width) {
    std::vector<std::uint8_t> field(width, ' ');
    std::copy_n(text.begin(), std::min(width, text.size()), field.begin());
    return field;
}

// The mean time of `kRoundTrips` single 1 KB data commands, each sent and acknowledged on its
// own: the same exchange as each block of the transfer, so both see the same scheduling noise.
// The simulator takes data blocks only after a file header, so one goes first. 0 on failure.
double RoundTripSeconds(const std::string& address) {
    std::unique_ptr<CZPanelNetworkPort> port = MakePanelNetworkPort();
    port->setHost(text::WidenBytes(address));
    if (!port->open()) return 0;
    std::vector<std::uint8_t> header = Field("PanelApplication", 30);
    const std::vector<std::uint8_t> size = Field(std::to_string(kRoundTrips * kPanelBlockSize), 10);
    header.insert(header.end(), size.begin(), size.end());
    if (!port->sendCommand(static_cast<std::uint16_t>(header.size()), kPanelFileHeader, 0, header.data())) return 0;

    std::vector<std::uint8_t> block(kPanelBlockSize);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 31 + 7);
    double total = 0;
    for (int i = 0; i < kRoundTrips; ++i) {
        const Clock::time_point start = Clock::now();
        if (!port->sendCommand(kPanelBlockSize, kPanelFileData, 0, block.data())) return 0;
        total += Seconds(Clock::now() - start);
    }
    port->close();
    return total / kRoundTrips;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: panel_transfer_bench PRINTER_ADDRESS\n");
        return 2;
    }
    const std::string address = argv[1];

    ModuleResources resources;
    auto image = std::make_unique<CPufPanelImage>(resources);
    if (!image->Load(IDR_PANEL_IMAGE, L"FIRMWARE") || image->m_nSize == 0) {
        std::fprintf(stderr, "the panel package is not in the resources\n");
        return 1;
    }
    const std::uint32_t packageSize = image->m_nSize;
    auto info = std::make_unique<CPanelUpdateInfo>(PanelVersion{3, 0, 1}, 41852, L"Zentil-640");
    NoPauseClock clock;
    auto updater = std::make_shared<CPanelUpdater>(MakePanelNetworkPort(), clock);
    if (!updater->SetUpdateData(info, image)) return 1;
    updater->SetHostAddress(address);
    updater->PrepareTransfer(resources);

    const double before = RoundTripSeconds(address);
    const Clock::time_point start = Clock::now();
    const int transferred = updater->TransferThread();
    const double transfer = Seconds(Clock::now() - start);
    const double after = RoundTripSeconds(address);
    if (before <= 0 || after <= 0 || transferred != 1) {
        std::fprintf(stderr, "the exchange with the simulator failed (round trips %s, transfer %s)\n",
                     before > 0 && after > 0 ? "ok" : "failed", transferred == 1 ? "ok" : "failed");
        return 1;
    }

    const int blocks = updater->m_nBlockCount;
    const double roundTrip = (before + after) / 2;
    std::printf("panel package %u bytes in %d blocks: %.3f s; one round trip %.1f us\n", packageSize, blocks,
                transfer, roundTrip * 1e6);
    std::printf("ratio panel_transfer_vs_round_trips %.2f\n", transfer / (blocks * roundTrip));
    return 0;
}
