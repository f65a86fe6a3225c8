// Quiet mode's runner and the views it drives the dialogs' logic through.
#include "app/QuietInstall.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <new>
#include <thread>
#include <utility>

#include "app/resource.h"
#include "common/Encoding.h"
#include "common/Text.h"
#include "ports/Ipv4Address.h"

namespace {

constexpr unsigned kQuietTimerId = 1;
constexpr unsigned kShortestTimerMs = 10;  // the system's shortest timer period

void SleepFor(const QuietServices& services, std::uint32_t ms) {
    if (services.sleep) {
        services.sleep(ms);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

// A progress dialog with nothing shown: its timer is a loop on the installation's thread.
class QuietProgressView final : public ISendStatusView {
public:
    QuietProgressView(const QuietServices& services, QuietProgress& progress)
        : m_services(services), m_progress(progress) {}

    // Runs `dialog` until it ends; its end code.
    int Run(CSendStatusDlg& dialog) {
        dialog.OnInitDialog();
        while (!dialog.HasEnded()) {
            // A dialog whose timer stopped without starting again would never move on.
            if (!m_timerRunning) return END_TIMER_FAILED;
            SleepFor(m_services, m_periodMs);
            dialog.OnTimerMessage(kQuietTimerId);
        }
        dialog.OnDestroy();
        return dialog.EndCode();
    }

    MessageAnswer ShowMessage(const std::wstring&, MessageIcon, MessageButtons buttons) override {
        // The only question a progress dialog asks is whether to stop: nobody asked to.
        return buttons == MessageButtons::kOk ? MessageAnswer::kOk : MessageAnswer::kNo;
    }
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}
    void SetText(int id, const std::wstring& text) override {
        if (id != IDC_PERCENT) return;
        m_progress.percent = static_cast<int>(text::ReadUnsignedLong(text, 10));
    }
    void ShowFrame(int) override {}
    void SetRange(int low, int high) override {
        m_low = low;
        m_high = high;
    }
    void GetRange(int& low, int& high) override {
        low = m_low;
        high = m_high;
    }
    int Position() override { return m_position; }
    void SetPosition(int position) override { m_position = position; }
    void OffsetPosition(int delta) override { m_position += delta; }
    void SetStep(int) override {}
    unsigned StartTimer(unsigned periodMs) override {
        // No shorter than a window's timer can be: the panel dialog asks for 1 ms, which would
        // wake the thread a thousand times a second only to read a percentage.
        m_periodMs = std::max(periodMs, kShortestTimerMs);
        m_timerRunning = true;
        return kQuietTimerId;
    }
    void StopTimer(unsigned) override { m_timerRunning = false; }
    void EndDialog(int) override {}
    void Pause(unsigned ms) override { SleepFor(m_services, ms); }
    bool RunResponsive(const std::function<bool()>& work) override { return work(); }

private:
    const QuietServices& m_services;
    QuietProgress& m_progress;
    unsigned m_periodMs = kWaitTickMs;
    bool m_timerRunning = false;
    int m_low = 0;
    int m_high = 0;
    int m_position = 0;
};

// The main dialog with nothing shown: the list holds what detection found, Next and Install are
// pressed by the runner, and the question of time is answered with Yes.
class QuietMainView final : public IMainDialogView {
public:
    QuietMainView(const QuietServices& services, const IStringTable& strings, CInstallation& installation,
                  QuietProgress& progress)
        : m_services(services), m_strings(strings), m_installation(installation), m_progress(progress) {}

    void Watch(const CVessickDlg& dialog) { m_dialog = &dialog; }
    bool Ended() const { return m_ended; }
    int EndCode() const { return m_endCode; }

    MessageAnswer ShowMessage(const std::wstring&, MessageIcon, MessageButtons buttons) override {
        Follow();
        switch (buttons) {
            case MessageButtons::kYesNo: return MessageAnswer::kYes;          // the question of time
            case MessageButtons::kYesNoDefaultNo: return MessageAnswer::kNo;  // whether to give up
            case MessageButtons::kOk: break;
        }
        return MessageAnswer::kOk;
    }
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}
    void AddAboutMenuItem(const std::wstring&) override {}
    void SetLargeIcon() override {}
    void EnableToolTips() override {}
    void ApplySystemFont() override {}
    void ShowBanner() override {}
    bool HasControl(int) override { return true; }
    void SetText(int, const std::wstring&) override {}
    void Enable(int, bool) override {}
    void Focus(int) override {}
    void ClearRows() override { m_rows.clear(); }
    int AppendRow(const std::wstring& text) override {
        m_rows.push_back({text, nullptr});
        return static_cast<int>(m_rows.size()) - 1;
    }
    void SetRowData(int row, const CPrinterInfo* printer) override {
        if (row >= 0 && static_cast<std::size_t>(row) < m_rows.size()) m_rows[row].second = printer;
    }
    const CPrinterInfo* RowData(int row) override {
        return row >= 0 && static_cast<std::size_t>(row) < m_rows.size() ? m_rows[row].second : nullptr;
    }
    std::wstring RowText(int row) override {
        return row >= 0 && static_cast<std::size_t>(row) < m_rows.size() ? m_rows[row].first : std::wstring();
    }
    int RowCount() override { return static_cast<int>(m_rows.size()); }
    int SelectedRow() override { return m_selected; }
    void SelectRow(int row) override { m_selected = row; }
    void WidenDropDown() override {}
    std::uint32_t Address() override { return m_address; }
    void SetAddress(std::uint32_t address) override { m_address = address; }
    void EndDialog(int code) override {
        m_ended = true;
        m_endCode = code;
    }
    void ReportOutOfMemory() override {}
    void ShowAbout(const std::wstring&) override {}
    void Pause(std::uint32_t ms) override {
        Follow();
        SleepFor(m_services, ms);
    }
    int RunProgressDialog(ProgressDialog dialog, std::uint32_t parts, std::uint32_t address) override {
        Follow();
        QuietProgressView view(m_services, m_progress);
        const std::unique_ptr<CSendStatusDlg> logic =
            MakeProgressDialog(dialog, view, m_strings, m_installation, parts, address);
        m_progress.percent = 0;
        const int end = view.Run(*logic);
        m_progress.percent = -1;
        return end;
    }
    bool RunResponsive(const std::function<bool()>& work) override {
        Follow();
        return work();
    }
    // Nothing is shown, so nothing waits for the search: it runs when the dialog has been set up.
    bool SearchInBackground(std::function<std::unique_ptr<CPrinterInfoList>()> search,
                            std::function<void()>) override {
        m_search = std::move(search);
        return true;
    }
    // Runs the search the dialog started, if any, and hands it what was found.
    void CompleteSearch(CVessickDlg& dialog) {
        if (!m_search) return;
        const auto search = std::move(m_search);
        m_search = nullptr;
        dialog.OnPrintersFound(search());
    }

private:
    void Follow() {
        if (m_dialog) m_progress.stage = m_dialog->Stage();
    }

    const QuietServices& m_services;
    const IStringTable& m_strings;
    CInstallation& m_installation;
    QuietProgress& m_progress;
    const CVessickDlg* m_dialog = nullptr;
    std::function<std::unique_ptr<CPrinterInfoList>()> m_search;  // started by the dialog, not yet run
    std::vector<std::pair<std::wstring, const CPrinterInfo*>> m_rows;
    int m_selected = -1;
    std::uint32_t m_address = 0;
    bool m_ended = false;
    int m_endCode = 0;
};

// Hands every installation what detection found once, for the run: the entries at its printer's
// address (its serial and host name).
class DetectedOnce final : public IPrinterDetection {
public:
    DetectedOnce(const CPrinterInfoList& detected, std::uint32_t address) {
        for (std::size_t i = 0; i < detected.GetSize(); ++i) {
            const CPrinterInfo& entry = detected[i];
            if (entry.m_nPortType == CPrinterInfo::kNetwork && entry.m_dwIPAddress == address) {
                m_entries.push_back(entry);
            }
        }
    }
    int ReadRegistered(int attempt, CPrinterInfoList& list) override {
        if (attempt != 0) return 0;
        for (const CPrinterInfo& entry : m_entries) list.Add(std::make_unique<CPrinterInfo>(entry));
        return static_cast<int>(m_entries.size());
    }
    void Discover(CPrinterInfoList&, const IModelInfo*, std::uint32_t) override {}

private:
    std::vector<CPrinterInfo> m_entries;
};

std::wstring DottedHostOrder(std::uint32_t address) {
    return text::WidenBytes(DottedIpv4(Ipv4NetworkOrder(static_cast<std::uint8_t>(address >> 24),
                                                        static_cast<std::uint8_t>(address >> 16),
                                                        static_cast<std::uint8_t>(address >> 8),
                                                        static_cast<std::uint8_t>(address))));
}

}  // namespace

TrustQuestion QuietTrustDecision(std::vector<std::string> trustedSha256, bool acceptNew) {
    return [trusted = std::move(trustedSha256), acceptNew](const PrinterIdentity&,
                                                           const CertificateFingerprint& presented) {
        if (acceptNew) return true;
        const std::string hex = text::ToHex(presented);
        return std::find(trusted.begin(), trusted.end(), hex) != trusted.end();
    };
}

CQuietRun::CQuietRun(const QuietServices& services, const QuietOptions& options)
    : m_services(services), m_options(options) {
    for (std::size_t i = 0; i < options.printers.size(); ++i) {
        m_progress.push_back(std::make_unique<QuietProgress>());
        m_progress.back()->address = DottedHostOrder(options.printers[i]);
    }
}

std::int64_t CQuietRun::Now() const {
    if (m_services.wallClockMs) return m_services.wallClockMs();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

RunSummary CQuietRun::Run(const std::function<void(const InstallRecord&)>& onRecord) {
    RunSummary summary;
    summary.startedMs = Now();
    summary.printers = m_options.printers.size();

    // What every installation shares, made once: the carried updates and what detection found.
    CarriedUpdates carried;
    CPrinterInfoList detected;
    try {
        if (!m_services.socketReady) throw SOCKET_INIT_ERROR;
        carried = LoadCarriedUpdates(m_services.strings, m_services.resources);
        DetectSupportedPrinters(m_services.detection, carried.firmInfo.get(), detected);
    } catch (VessickError error) {
        m_services.english.Load(VessickErrorMessage(error), summary.error);
        summary.exitCode = VessickErrorExitCode(error);
        summary.endedMs = Now();
        return summary;
    } catch (const std::bad_alloc&) {
        summary.error = L"Out of memory.";
        summary.exitCode = VessickExitCode::INIT_FAILED;
        summary.endedMs = Now();
        return summary;
    }

    std::mutex recordMutex;
    std::vector<InstallRecord> records;
    records.reserve(m_options.printers.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&]() noexcept {
        for (std::size_t index = next++; index < m_options.printers.size(); index = next++) {
            InstallRecord record = InstallOne(index, carried, detected);
            m_progress[index]->outcome = record.outcome;
            m_progress[index]->ended = true;
            const std::lock_guard lock(recordMutex);
            // A record that cannot be written out is still counted: the run's exit code holds it.
            try {
                if (onRecord) onRecord(record);
            } catch (...) {
            }
            records.push_back(std::move(record));  // room made beforehand: cannot throw
        }
    };
    const std::size_t threads =
        std::clamp<std::size_t>(m_options.parallel, 1, std::max<std::size_t>(1, m_options.printers.size()));
    std::vector<std::thread> workers;
    workers.reserve(threads);
    for (std::size_t i = 1; i < threads; ++i) {
        try {
            workers.emplace_back(work);
        } catch (...) {
            break;  // fewer at once; the printers still all get their turn
        }
    }
    work();
    for (std::thread& worker : workers) worker.join();

    for (const InstallRecord& record : records) ++summary.outcomes[record.outcome];
    summary.exitCode = RunExitCode(records);
    summary.endedMs = Now();
    return summary;
}

InstallRecord CQuietRun::InstallOne(std::size_t index, const CarriedUpdates& carried,
                                    const CPrinterInfoList& detected) {
    const std::uint32_t address = m_options.printers[index];
    QuietProgress& progress = *m_progress[index];
    InstallRecord record;
    record.address = progress.address;
    record.startedMs = Now();
    record.stage = InstallStage::kIdentification;
    std::optional<InstallRecord> ended;
    try {
        const std::unique_ptr<CInstallation> installation = m_services.makeInstallation();
        installation->Waits().restartConfirmMs = m_options.restartWaitMs;
        installation->Waits().transferStallMs = m_options.stallMs;
        installation->Waits().panelOperatorMs = kQuietPanelOperatorWaitMs;
        installation->Waits().clock = m_services.clock;
        DetectedOnce detection(detected, address);
        MainDialogServices services{
            m_services.strings,
            m_services.resources,
            detection,
            [this, waits = installation->Waits()](std::uint32_t networkOrder) {
                return m_services.makePrinterPort ? m_services.makePrinterPort(networkOrder, waits) : PortPtr();
            },
            m_services.certificates,
            nullptr,
            QuietTrustDecision(m_options.trustedSha256, m_options.acceptNew),
            &m_services.english,
            [&ended](const InstallRecord& r) { ended = r; },
            &carried,
            m_services.wallClockMs,
        };
        QuietMainView view(m_services, m_services.strings, *installation, progress);
        CVessickDlg dialog(view, services, *installation);
        view.Watch(dialog);
        dialog.m_bSocketReady = m_services.socketReady;
        dialog.m_bCommandLine = true;
        dialog.m_dwPrinterAddress = address;
        dialog.OnInitDialog();
        view.CompleteSearch(dialog);
        // Next identifies the printer; Install follows when it needs something.
        if (!view.Ended()) dialog.OnBnClickedOk();
        if (!view.Ended() && !ended && installation->Device().m_pPort) dialog.OnBnClickedOk();
        if (ended) {
            ended->startedMs = record.startedMs;
            return *ended;
        }
        record.stage = dialog.Stage();
    } catch (const std::bad_alloc&) {
        record.message = L"Out of memory.";
    } catch (const std::exception& e) {
        record.message = text::WidenBytes(e.what());
    } catch (...) {
        record.message = L"Unexpected failure.";
    }
    // The dialogs ended without saying how: nothing confirmed it, so it failed.
    record.outcome = RecordOutcome::kFailed;
    record.exitCode = VessickExitCode::INSTALL_FAILED;
    record.endedMs = Now();
    return record;
}
