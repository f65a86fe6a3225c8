// The update objects of an installation: what the installer carries (the firmware and panel
// application descriptions), what the identified printer reported (CUpdateDeviceInfo, which also
// owns its port), and the base of the two updaters, whose own instance identifies printers. An
// installation (update/Installation.h) holds one of each; nothing here is process-wide.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/ModelInfo.h"
#include "images/Version.h"
#include "update/DeviceReply.h"
#include "ports/Port.h"

// Results of identification, of the state check and of the verifications.
enum CheckResult : int {
    kCheckBothNeeded = 0,       // identification: firmware and panel application
    kCheckOk = 0,               // verification: new version reported; state check: ready
    kCheckFirmwareOnly = 1,
    kCheckPanelOnly = 2,
    kCheckNoAnswer = 3,         // no port, query failed (identification), or not decidable yet
    kCheckQueryFailed = 4,      // reply unparseable (identification) or query failed
    kCheckNoModel = 5,          // reply without "MDL" (identification) or model not in the list
    kCheckUpToDate = 6,         // nothing to install (identification) or other version reported
    kCheckNotReady = 7,         // state check: status bit 31 clear
    kCheckIplMode = 8,
};

// Splits a comma-separated model list; entries are trimmed, an empty entry between two commas
// is kept, a trailing comma adds nothing.
std::vector<std::wstring> ParseModelList(std::wstring_view list);

// Exact match: some entry equals `name`. Suffix match: `name` ends with a non-empty entry, or an
// empty entry meets an empty name.
bool MatchesModelList(const std::vector<std::wstring>& models, std::wstring_view name, bool suffix);

// The steps both verifications share: query `port`, parse the reply into `reply`, reject IPL mode
// and a model name that is not exactly in `models`. kCheckOk when `reply` is ready for the version
// comparison; otherwise the verification's result (4 query failed, 3 unparseable or no model name,
// 8 IPL mode, 5 model not in the list).
int QueryReplyToVerify(CPort& port, const std::vector<std::wstring>& models, ReplyMap& reply);

// The firmware the installer carries.
class CFirmUpdateInfo final : public IModelInfo {
public:
    CFirmUpdateInfo(std::int32_t version, std::int32_t modelCode, std::wstring_view modelList)
        : m_models(ParseModelList(modelList)), m_nModelCode(modelCode), m_nVersion(version) {}

    bool IsSupportedModel(std::wstring_view name, bool suffix) const override {
        return MatchesModelList(m_models, name, suffix);
    }

    std::vector<std::wstring> m_models;
    std::int32_t m_nModelCode;
    std::int32_t m_nVersion;  // hundredths
};

// The panel application the installer carries.
class CPanelUpdateInfo {
public:
    CPanelUpdateInfo(const PanelVersion& version, std::int32_t modelCode, std::wstring_view modelList)
        : m_models(ParseModelList(modelList)), m_nModelCode(modelCode), m_version(version) {}

    std::vector<std::wstring> m_models;
    std::int32_t m_nModelCode;
    PanelVersion m_version;
};

// What the identified printer reported, and the port through which it is reached.
class CUpdateDeviceInfo {
public:
    virtual ~CUpdateDeviceInfo() = default;

    void SetModelName(std::wstring_view name) { m_strModelName = name; }

    // Shared, so that a transfer running on a worker keeps the port it writes to.
    std::shared_ptr<CPort> m_pPort;         // null until an identification succeeds
    int m_nStatusFormat = 0;                // layout of the "STATUS" value given with that port
    std::wstring m_strModelName;
    std::int32_t m_nFirmVersion = 0;        // hundredths; -1 when the printer reported none
    PanelVersion m_panelVersion;            // all zero when the printer reported none
};

class CFirmUpdater;
class CPanelUpdater;

class CUpdater {
public:
    // An updater of the installation whose printer `device` describes. The identifying instance
    // also gets the installation's two updaters, whose carried versions it compares with the
    // printer's; without them it only records what the printer reported.
    explicit CUpdater(std::shared_ptr<CUpdateDeviceInfo> device, const CFirmUpdater* firm = nullptr,
                      const CPanelUpdater* panel = nullptr);
    virtual ~CUpdater() = default;
    CUpdater(const CUpdater&) = delete;
    CUpdater& operator=(const CUpdater&) = delete;

    CUpdateDeviceInfo& Device() const { return *m_pDevice; }
    const std::shared_ptr<CUpdateDeviceInfo>& SharedDevice() const { return m_pDevice; }

    // Identifies the printer behind `port` (a newly constructed port, or null) and decides what
    // needs installing: 0 both, 1 firmware only, 2 panel application only, 6 nothing, 3 no port
    // or no answer, 4 unparseable reply, 5 no model name (the device's model name is then
    // empty) or a model the firmware description does not list exactly (its name is kept there,
    // for the message). On 0, 1 and 2 the device takes the port (`port` becomes null) and records
    // the status format; otherwise `port` stays with the caller. The result is kept in m_nResult,
    // except for a null port.
    virtual int CheckDevice(PortPtr& port, int statusFormat);

    int m_nResult = 0;

private:
    std::shared_ptr<CUpdateDeviceInfo> m_pDevice;  // never null
    const CFirmUpdater* m_pFirm;
    const CPanelUpdater* m_pPanel;
};
