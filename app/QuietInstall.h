// Quiet mode: installations onto many printers at once with nothing shown. Each printer gets an
// installation of its own (its own connections, counters and timers) on a thread of its own, run
// by the same dialog logic as the interactive installer: the main dialog's Next and Install, then
// the three progress dialogs tick by tick, over views that show nothing. Questions are answered as
// an administrator asked on the command line (the question of time with Yes), and every message
// the dialogs would show ends up in the printer's record instead.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/InstallRecord.h"
#include "app/MainDialog.h"
#include "common/Clock.h"
#include "update/CertificateMemory.h"
#include "update/Installation.h"

// How long an unattended installation waits for someone at a printer's panel to finish before it
// gives up on that printer (the dialogs wait as long as it takes: their user can stop them).
inline constexpr std::uint64_t kQuietPanelOperatorWaitMs = 300'000;

// Where one printer's installation stands, for a progress display; updated by the installation's
// thread, read by any.
struct QuietProgress {
    std::wstring address;
    std::atomic<InstallStage> stage{InstallStage::kIdentification};
    std::atomic<int> percent{-1};  // of the progress dialog running; -1: none runs
    std::atomic<RecordOutcome> outcome{RecordOutcome::kFailed};  // once ended
    std::atomic<bool> ended{false};
};

struct QuietServices {
    const IStringTable& strings;  // the interface's language (texts the printer is sent, for one)
    const IStringTable& english;  // the records' messages
    const IResourceSource& resources;
    IPrinterDetection& detection;  // asked once for the whole run
    // A printer port for the address (network byte order) with the installation's waits; null when
    // none can be made.
    std::function<PortPtr(std::uint32_t address, const InstallWaits& waits)> makePrinterPort;
    // An installation with its own panel port.
    std::function<std::unique_ptr<CInstallation>()> makeInstallation;
    // The printer certificates trusted so far; null: no TLS printer is trusted.
    CCertificateMemory* certificates = nullptr;
    // Whether the machine's sockets are ready.
    bool socketReady = true;
    // Milliseconds since 1970-01-01 UTC. Empty: the system's clock.
    std::function<std::int64_t()> wallClockMs;
    // Sleeps (the progress dialogs' timers and the dialogs' pauses). Empty: the thread sleeps.
    std::function<void(std::uint32_t ms)> sleep;
    // Measures the installations' own bounds (the wait for the panel's operator); null: the
    // system's clock. One that `sleep` moves on, when that is set.
    IClock* clock = nullptr;
};

// Decides about a certificate seen for the first time as the command line says: trusted when its
// fingerprint is one of `trustedSha256` (lower-case hex) or when `acceptNew`.
TrustQuestion QuietTrustDecision(std::vector<std::string> trustedSha256, bool acceptNew);

class CQuietRun {
public:
    CQuietRun(const QuietServices& services, const QuietOptions& options);
    CQuietRun(const CQuietRun&) = delete;
    CQuietRun& operator=(const CQuietRun&) = delete;

    // Runs every printer's installation, at most options.parallel at once, and hands each record
    // to `onRecord` as it ends (one call at a time, from any of the run's threads). Returns the
    // summary of the run, whose exit code is the process's: 0 when every printer ended installed
    // or up to date, 4 otherwise, 5 when the installer could not prepare itself.
    RunSummary Run(const std::function<void(const InstallRecord&)>& onRecord);

    // Where each printer stands, in the order of the options; valid for the life of the run.
    const std::vector<std::unique_ptr<QuietProgress>>& Progress() const { return m_progress; }

private:
    InstallRecord InstallOne(std::size_t index, const CarriedUpdates& carried, const CPrinterInfoList& detected);
    std::int64_t Now() const;

    const QuietServices& m_services;
    const QuietOptions& m_options;
    std::vector<std::unique_ptr<QuietProgress>> m_progress;
};
