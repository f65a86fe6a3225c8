// The three progress dialogs of an installation, as logic over a view: the firmware transfer,
// the panel application transfer and the restart with its verification. Each is driven by one
// timer (ticks arrive through OnTimerMessage) and ends itself with an end code that the main
// dialog turns into a message and an exit code. app/win32/ shows them in real windows.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <functional>
#include <memory>
#include <string>

#include "app/DialogView.h"
#include "app/InstallParts.h"
#include "common/Clock.h"
#include "common/StringTable.h"

class CInstallation;
class CPort;

enum class ProgressDialog { kFirmware, kPanel, kComplete };

// How a progress dialog ended.
enum SendStatusEnd : int {
    END_SUCCESS = 16,
    END_TIMER_FAILED = 17,   // a timer did not start (the dialog's first, or the firmware's poll timer)
    END_SEND_FAILED = 18,
    END_VERIFY_FAILED = 19,
    END_TIMEOUT = 20,
    END_ABORTED = 21,
    END_REBOOT_REFUSED = 22,  // final dialog: the printer never took the restart request
    END_NOT_CONFIRMED = 23,   // final dialog: the printer did not answer again after its restart
};

// Key flags of a mouse message (the system's MK_ values).
constexpr unsigned kKeyLeftButton = 0x0001;
constexpr unsigned kKeyShift = 0x0004;
constexpr unsigned kKeyControl = 0x0008;

constexpr int kAnimationFrames = 4;
constexpr unsigned kWaitTickMs = 50;
constexpr unsigned kFirmPollTickMs = 250;
constexpr unsigned kPanelTickMs = 1;
constexpr int kIplWaitTicks = 300;
constexpr int kAnswerCheckFailures = 3;
constexpr int kFirmTicksPerPoll = 20;  // one poll every 5 s
constexpr int kFirmPolls = 36;
constexpr int kCompletePolls = 120;  // without a printer port
// The final dialog's bounds. A restart request refused for this long ends the installation: the
// printer will not restart. Once it has taken the request, the printer has this long to answer
// again with the versions installed (a real printer takes a few minutes to restart), and is asked
// once a second. Other versions than those installed are a failure once the printer has reported
// them for a minute without a break: before that it may not have gone down yet, or may still be
// bringing a part up.
constexpr std::uint64_t kRebootRequestBoundMs = 60'000;
constexpr std::uint64_t kRestartConfirmBoundMs = 300'000;
constexpr std::uint64_t kVerifyIntervalMs = 1'000;
constexpr std::uint64_t kOtherVersionsSettleMs = 60'000;
constexpr unsigned kPanelStartPauseMs = 100;
constexpr int kOperationPanelBusy = 45;
constexpr int kOperationAborted = 1;

// The controls of a progress dialog as the logic sees them (ids of app/resource.h).
class ISendStatusView : public IMessageView {
public:
    virtual void SetText(int id, const std::wstring& text) = 0;
    // Shows animation frame `frame` (0 to 3) in the animation control.
    virtual void ShowFrame(int frame) = 0;

    virtual void SetRange(int low, int high) = 0;
    virtual void GetRange(int& low, int& high) = 0;
    virtual int Position() = 0;
    virtual void SetPosition(int position) = 0;
    virtual void OffsetPosition(int delta) = 0;
    virtual void SetStep(int step) = 0;

    // Starts the dialog's timer (id 1), or changes its period; the timer's id, 0 when it did not
    // start.
    virtual unsigned StartTimer(unsigned periodMs) = 0;
    virtual void StopTimer(unsigned id) = 0;

    // Ends the modal loop with `code`.
    virtual void EndDialog(int code) = 0;
    // Waits without handling messages.
    virtual void Pause(unsigned ms) = 0;
    // Runs `work` to its end while the window keeps painting and taking input; its result.
    virtual bool RunResponsive(const std::function<bool()>& work) = 0;
};

class CSendStatusDlg {
public:
    // A progress dialog of `installation`, which outlives it.
    CSendStatusDlg(ISendStatusView& view, const IStringTable& strings, CInstallation& installation, bool twoParts);
    virtual ~CSendStatusDlg() = default;
    CSendStatusDlg(const CSendStatusDlg&) = delete;
    CSendStatusDlg& operator=(const CSendStatusDlg&) = delete;

    // After the window has its font, caption and icons: first frame, progress, timer.
    void OnInitDialog();
    // A timer message. False when `id` is not this dialog's timer (the caller's default
    // handling then applies). A tick that arrives while another is being handled, while the
    // dialog's own question is open or after the dialog has ended does nothing.
    bool OnTimerMessage(unsigned id);
    // The abort gesture: a right double-click with the left button, Shift and Ctrl held.
    void OnRButtonDblClk(unsigned keyFlags);
    // Enter never closes a progress dialog.
    void OnOK() {}
    // Escape and the close box.
    virtual void OnCancel() {}
    // The window goes: its timer stops.
    void OnDestroy();

    bool HasEnded() const { return m_bEnded; }
    int EndCode() const { return m_nEndCode; }
    // An end asked for while a transfer runs, which takes effect when the transfer returns; 0
    // when none.
    int PendingEnd() const { return m_nPendingEnd; }

    bool m_bPolling = false;
    bool m_bWaiting = false;
    bool m_bTwoParts;
    unsigned m_nTimerId = 0;
    int m_nPollCount = 0;

protected:
    virtual void InitProgress();
    virtual void OnTimer() {}
    virtual void PollStep() {}
    virtual void StepProgress();
    bool IsPrinterAnswering();

    void Animate();
    // Ends the dialog with `code`. While a transfer runs the end is recorded instead (the first
    // one counts), the transfer is asked to stop, and the dialog ends when it has returned: the
    // window and its owner stay as they are until then.
    void End(int code);
    // Ends the dialog with the recorded end, if there is one. True when it did.
    bool ApplyPendingEnd();
    // Whether a transfer is under way on a worker, and how to ask it to stop.
    virtual bool TransferRunning() const { return false; }
    virtual void StopTransfer() {}
    void ShowStatus(unsigned messageId);
    void ShowStepLabel(bool twoPartsSecond, bool twoParts);
    void ShowPercent(int percent);
    // The identified printer's port; null when none is held.
    CPort* Port();
    // The waits before a transfer: the operator busy at the panel, IPL mode, an abort at the
    // panel. True when the tick must end here.
    bool WaitForPrinter(bool& panelOpWait, bool& panelOpDone, int& iplWaitTicks);
    // Counts a failed answer check in `failures`; the third ends the dialog with END_SEND_FAILED.
    void CountAnswerFailure(int& failures);

    ISendStatusView& m_view;
    const IStringTable& m_strings;
    CInstallation& m_installation;

private:
    std::optional<std::uint64_t> m_operatorWaitSince;  // when the wait for the panel's operator began
    bool m_bBusy = false;
    bool m_bEnded = false;
    int m_nEndCode = 0;
    int m_nPendingEnd = 0;
};

class CSendFirmStatusDlg final : public CSendStatusDlg {
public:
    CSendFirmStatusDlg(ISendStatusView& view, const IStringTable& strings, CInstallation& installation, bool twoParts)
        : CSendStatusDlg(view, strings, installation, twoParts) {}

    void OnCancel() override { End(END_ABORTED); }

    bool m_bPanelOpWait = false;
    bool m_bPanelOpDone = false;
    int m_nIplWaitTicks = 0;

protected:
    void InitProgress() override;
    void OnTimer() override;
    void PollStep() override;
    bool TransferRunning() const override { return m_bTransferring; }
    void StopTransfer() override { m_bStopRequested = true; }

private:
    void SendFirmware();

    bool m_bTransferring = false;
    std::atomic<bool> m_bStopRequested{false};  // read by the worker between attempts
};

class CSendPanelStatusDlg final : public CSendStatusDlg {
public:
    CSendPanelStatusDlg(ISendStatusView& view, const IStringTable& strings, CInstallation& installation, bool twoParts)
        : CSendStatusDlg(view, strings, installation, twoParts) {
        m_bWaiting = true;
    }

    void OnCancel() override { End(END_ABORTED); }

    bool m_bSending = false;
    bool m_bSendFailed = false;
    bool m_bPanelOpWait = false;
    bool m_bPanelOpDone = false;
    int m_nIplWaitTicks = 0;

protected:
    void InitProgress() override;
    void OnTimer() override;
    void PollStep() override;
    void StepProgress() override;
    bool TransferRunning() const override;
    void StopTransfer() override;

private:
    void StartPanelTransfer();
};

class CSendCompleteStatusDlg final : public CSendStatusDlg {
public:
    // `parts`: what the installation installed (kPartFirmware, kPartPanel); the versions of
    // those are what the printer must report after its restart. `address`: the printer's IPv4
    // address in network byte order (0: none). `clock` measures the restart's bounds.
    CSendCompleteStatusDlg(ISendStatusView& view, const IStringTable& strings, CInstallation& installation,
                           std::uint32_t parts, std::uint32_t address, IClock& clock = SystemClock())
        : CSendStatusDlg(view, strings, installation, true),
          m_bCompleteTwoParts(parts == kPartsBoth),
          m_dwParts(parts),
          m_dwAddress(address),
          m_clock(clock) {}

    bool m_bStartPending = true;
    bool m_bRebootPending = false;
    bool m_bCompleteTwoParts;
    std::uint32_t m_dwParts;
    std::uint32_t m_dwAddress;

protected:
    void InitProgress() override;
    void OnTimer() override;
    void PollStep() override;
    bool TransferRunning() const override { return m_bRequesting; }

private:
    // Runs one request to the printer on a worker while the window keeps painting and answering
    // (a restarting printer leaves each request to its time-out); its result. An abort asked for
    // meanwhile waits for it.
    bool Request(const std::function<bool()>& request);
    // The verification of the installed parts: 0 confirmed, otherwise the first part's result.
    int VerifyParts();
    std::uint64_t Since(std::uint64_t start) const { return m_clock.TickCount() - start; }

    IClock& m_clock;
    std::uint64_t m_nRebootAskedAt = 0;   // the first restart request
    std::uint64_t m_nRestartTakenAt = 0;  // the request the printer took
    std::uint64_t m_nLastVerifyAt = 0;    // the last verification's start; 0 before the first
    std::uint64_t m_nOtherVersionsSince = 0;  // 0: the last answer was not one of other versions
    bool m_bRequesting = false;
};

// The logic of progress dialog `dialog` of `installation` over `view`. `parts`: those of the
// installation (kPartFirmware, kPartPanel); `address`: the printer's address in network byte
// order, for the final dialog, whose restart bounds `clock` measures.
std::unique_ptr<CSendStatusDlg> MakeProgressDialog(ProgressDialog dialog, ISendStatusView& view,
                                                   const IStringTable& strings, CInstallation& installation,
                                                   std::uint32_t parts, std::uint32_t address,
                                                   IClock& clock = SystemClock());
