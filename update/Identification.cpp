// Identification of the printer: what it runs, and what needs installing.
#include "update/DeviceReply.h"
#include "update/FirmUpdater.h"
#include "update/PanelUpdater.h"

CUpdater::CUpdater(std::shared_ptr<CUpdateDeviceInfo> device, const CFirmUpdater* firm, const CPanelUpdater* panel)
    : m_pDevice(device ? std::move(device) : std::make_shared<CUpdateDeviceInfo>()), m_pFirm(firm), m_pPanel(panel) {}

int CUpdater::CheckDevice(PortPtr& port, int statusFormat) {
    // Nothing of a printer identified before stays to be taken for this one's.
    CUpdateDeviceInfo& identified = Device();
    identified.SetModelName(L"");
    identified.m_nFirmVersion = 0;
    identified.m_panelVersion = PanelVersion{};
    if (!port) return kCheckNoAnswer;

    const int result = [&] {
        std::wstring text;
        if (!port->queryInformation(text)) return kCheckNoAnswer;
        ReplyMap reply;
        if (!ParseDeviceReply(reply, text)) return kCheckQueryFailed;
        CUpdateDeviceInfo& device = Device();
        const std::wstring* model = FindReplyValue(reply, L"MDL");
        if (!model) {
            device.SetModelName(L"");
            return kCheckNoModel;
        }
        device.SetModelName(*model);
        device.m_nFirmVersion = GetReplyVersion(reply);
        device.m_panelVersion = GetReplyPanelVersion(reply);
        // Another model's printer is refused before anything is sent to it: it would receive
        // firmware that is not its own, and nothing after the transfer could take that back.
        if (m_pFirm && m_pFirm->m_pInfo && !m_pFirm->m_pInfo->IsSupportedModel(*model, false)) return kCheckNoModel;

        const bool firmware = m_pFirm && m_pFirm->IsSetUp() && device.m_nFirmVersion >= 0 &&
                              device.m_nFirmVersion < m_pFirm->m_pInfo->m_nVersion;
        const bool panel = m_pPanel && m_pPanel->NeedsUpdate();
        if (firmware && panel) return kCheckBothNeeded;
        if (firmware) return kCheckFirmwareOnly;
        if (panel) return kCheckPanelOnly;
        return kCheckUpToDate;
    }();

    if (result == kCheckBothNeeded || result == kCheckFirmwareOnly || result == kCheckPanelOnly) {
        CUpdateDeviceInfo& device = Device();
        device.m_pPort = std::move(port);  // the previous port, if any, is released and deleted
        device.m_nStatusFormat = statusFormat;
    }
    m_nResult = result;
    return result;
}
