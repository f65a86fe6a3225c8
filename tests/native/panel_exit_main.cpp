// Ends the process while a panel transfer is blocked waiting for the panel, the way a user who
// presses Escape in the panel progress dialog ends the installer. The process must end cleanly:
// exit code 0, no crash in the destructors of the process-wide objects. At exit the blocked
// receive is let go, so the worker runs on while the static objects are being destroyed.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/resource.h"
#include "common/Resources.h"
#include "tests/native/fakes/FakePorts.h"
#include "update/Installation.h"

namespace {

std::shared_ptr<PanelGate> g_gate;

// Runs after the process-wide instances have been destroyed (it is registered before they are
// created): the worker wakes up now, with the updater owned by nothing but itself.
void ReleaseTheWorkerAtExit() {
    g_gate->Open();
    if (!g_gate->WaitForPortDestroyed(30000)) {
        std::fputs("the worker did not finish\n", stderr);
        std::_Exit(3);
    }
}

}  // namespace

int main() {
    g_gate = std::make_shared<PanelGate>();
    g_gate->Close();
    std::atexit(ReleaseTheWorkerAtExit);

    // Like a module's resources, the package stays in memory until the process is gone.
    static MemoryResources& resources = *new MemoryResources;
    resources.Add(221, L"FIRMWARE", std::vector<std::uint8_t>(4096, 0x33));
    auto log = std::make_shared<PanelLog>();
    CPanelUpdater::SetPortFactory([log] { return std::make_unique<RecordingPanelPort>(log, g_gate); });

    // Goes when main returns, while the worker still holds the panel updater it works on.
    CInstallation installation;
    CPanelUpdater& updater = installation.Panel();
    auto info = std::make_unique<CPanelUpdateInfo>(PanelVersion{3, 0, 1}, 41852, L"Zentil-640");
    auto image = std::make_unique<CPufPanelImage>(resources);
    if (!image->Load(221, L"FIRMWARE") || !updater.SetUpdateData(info, image)) return 2;
    updater.SetHostAddress("127.0.0.1");
    updater.PrepareTransfer(MapStringTable{{IDS_CFG_FIRM_VERSION, L"3.40"},
                                           {IDS_CFG_PANEL_VERSION, L"3.0.1"},
                                           {IDS_CFG_PANEL_DIGEST, L"0123456789abcdef0123456789ABCDEF"}});
    if (!updater.StartTransferThread() || !g_gate->WaitForBlockedReceive(30000)) return 2;
    return 0;  // the worker is blocked in its first receive
}
