// Information replies of any content: parsed, status word extracted in both layouts, readings
// taken, and handed to every update operation that reads a reply. Every two input bytes make one
// UTF-16 code unit, so characters beyond ASCII occur too.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/Resources.h"
#include "tests/native/fakes/FakePorts.h"
#include "update/DeviceReply.h"
#include "update/Installation.h"

namespace {

CInstallation& Installation() {
    static CInstallation& installation = *new CInstallation;
    return installation;
}

// Both updaters set up once; each input is then the reply of a freshly attached printer.
void SetUpUpdaters() {
    // The panel is never reached here; the identification only reads the panel updater.
    CPanelUpdater::SetPortFactory([] { return std::make_unique<CNullPanelPort>(); });
    static MemoryResources& resources = *new MemoryResources;
    auto firmInfo = std::make_unique<CFirmUpdateInfo>(340, 41852, L"Zentil-640,Zentil-540");
    auto firmImage = std::make_unique<CPufFirmImage>(resources);
    Installation().Firm().SetUpdateData(firmInfo, firmImage);
    auto panelInfo = std::make_unique<CPanelUpdateInfo>(PanelVersion{3, 0, 1}, 41852, L"Zentil-640,Zentil-540");
    auto panelImage = std::make_unique<CPufPanelImage>(resources);
    Installation().Panel().SetUpdateData(panelInfo, panelImage);
}

void RunUpdateOperations(const std::wstring& text) {
    static const bool setUp = (SetUpUpdaters(), true);
    (void)setUp;
    auto log = std::make_shared<PrinterPortLog>();
    PortPtr port = MakePrinterPort(log, text);
    const int identified = Installation().Identifier().CheckDevice(port, kStatusFormatTagged);
    if (identified < kCheckBothNeeded || identified > kCheckUpToDate) __builtin_trap();
    if (!Installation().Device().m_pPort) Installation().Device().m_pPort = MakePrinterPort(log, text);
    for (int format : {kStatusFormatWord, kStatusFormatTagged}) {
        Installation().Device().m_nStatusFormat = format;
        const int state = CheckPrinterState(Installation().Device());
        if (state != kCheckOk && state != kCheckNoAnswer && state != kCheckNotReady && state != kCheckIplMode) {
            __builtin_trap();
        }
    }
    Installation().Firm().VerifyInstalled();
    Installation().Panel().VerifyInstalled();
    Installation().Device().m_pPort.reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::wstring text;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    }
    for (int format : {kStatusFormatWord, kStatusFormatTagged}) {
        DeviceReply reply;
        if (CheckReplyStatus(reply, text, format) && !IsReplyIplMode(reply.map)) {
            if (reply.status.empty()) __builtin_trap();
        }
        GetReplyVersion(reply.map);
        GetReplyPanelVersion(reply.map);
        std::wstring status;
        ExtractStatusItem(status, text, format);
        if (status.size() > text.size()) __builtin_trap();
    }
    RunUpdateOperations(text);
    return 0;
}
