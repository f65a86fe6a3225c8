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
#include "common/win32/ModuleResources.h"
#include "images/PanelImage.h"
#include "ports/win32/PanelPortSystem.h"
#include "tests/bench/PanelRoundTrip.h"
#include "tests/native/fakes/TransferSupport.h"
#include "update/PanelUpdater.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

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

    const double before = PanelRoundTripSeconds(address);
    const Clock::time_point start = Clock::now();
    const int transferred = updater->TransferThread();
    const double transfer = Seconds(Clock::now() - start);
    const double after = PanelRoundTripSeconds(address);
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
