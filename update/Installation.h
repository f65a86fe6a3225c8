// One installation onto one printer: what its printer reported and the port that reaches it, the
// identifier and the two updaters that work on it, and the counters its progress displays keep
// from one dialog to the next. The interactive installer makes one; an unattended run makes one
// per printer, each on a thread of its own, and they share nothing but the carried descriptions
// and images (read only).
#pragma once

#include <cstdint>
#include <memory>

#include "common/Clock.h"
#include "update/FirmUpdater.h"
#include "update/PanelUpdater.h"
#include "update/UpdateModel.h"

// What the progress displays of one installation count across its dialogs: the animation frame,
// the firmware dialog's ticks between polls, and the failed answer checks of the two transfers.
struct ProgressCounters {
    int frame = 0;
    int firmTicks = 0;
    int firmFailures = 0;
    int panelFailures = 0;
};

// How long an installation waits where an administrator may choose: for the printer to answer
// again after its restart, and for a firmware transfer that makes no progress. The defaults are
// the interactive installer's.
struct InstallWaits {
    std::uint64_t restartConfirmMs = 300'000;
    std::uint32_t transferStallMs = 60'000;
    // How long a progress dialog waits for someone at the printer's panel to finish; 0: as long as
    // it takes (the user at the dialogs can stop it, an unattended installation cannot).
    std::uint64_t panelOperatorMs = 0;
    // What measures panelOperatorMs; null: the system's clock.
    IClock* clock = nullptr;
};

class CInstallation {
public:
    // With a panel updater whose port comes from the registered factory.
    CInstallation();
    // With `panel` (not null), whose device the installation's other objects share.
    explicit CInstallation(std::shared_ptr<CPanelUpdater> panel);
    CInstallation(const CInstallation&) = delete;
    CInstallation& operator=(const CInstallation&) = delete;

    CUpdateDeviceInfo& Device() { return *m_pDevice; }
    // The base updater that identifies the printer (CheckDevice) and keeps the result.
    CUpdater& Identifier() { return m_identifier; }
    CFirmUpdater& Firm() { return m_firm; }
    CPanelUpdater& Panel() { return *m_pPanel; }
    // Shared with the panel transfer's worker and the final dialog's requests, which may outlive
    // the installation when the process ends under them.
    const std::shared_ptr<CPanelUpdater>& SharedPanel() const { return m_pPanel; }
    ProgressCounters& Progress() { return m_progress; }
    InstallWaits& Waits() { return m_waits; }

    // Releases the printer's port now, even when a worker still holds the panel updater.
    ~CInstallation();

private:
    std::shared_ptr<CPanelUpdater> m_pPanel;
    std::shared_ptr<CUpdateDeviceInfo> m_pDevice;
    CFirmUpdater m_firm;
    CUpdater m_identifier;
    ProgressCounters m_progress;
    InstallWaits m_waits;
};
