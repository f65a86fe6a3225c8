// The progress dialogs' decisions, tick by tick, independent of the windows that show them.
#include "app/SendStatusDlg.h"

#include <cstdint>
#include <memory>

#include "app/FlagScope.h"
#include "app/resource.h"
#include "ports/Port.h"
#include "update/Installation.h"

static_assert(InstallWaits{}.restartConfirmMs == kRestartConfirmBoundMs,
              "an installation waits for the restart as long as the interactive installer does");

CSendStatusDlg::CSendStatusDlg(ISendStatusView& view, const IStringTable& strings, CInstallation& installation,
                               bool twoParts)
    : m_bTwoParts(twoParts), m_view(view), m_strings(strings), m_installation(installation) {}

void CSendStatusDlg::OnInitDialog() {
    Animate();
    InitProgress();
    m_nPollCount = 0;
    m_nTimerId = m_view.StartTimer(kWaitTickMs);
    // Without its timer the dialog would never move on.
    if (!m_nTimerId) End(END_TIMER_FAILED);
}

bool CSendStatusDlg::OnTimerMessage(unsigned id) {
    if (id != m_nTimerId) return false;
    // A tick can open a modal window (a message of the controller library, say) whose message
    // loop delivers further ticks: they must not run the same step again underneath it.
    if (m_bBusy || m_bEnded) return true;
    FlagScope busy(m_bBusy);
    OnTimer();
    return true;
}

void CSendStatusDlg::OnRButtonDblClk(unsigned keyFlags) {
    constexpr unsigned kGesture = kKeyLeftButton | kKeyShift | kKeyControl;
    if ((keyFlags & kGesture) != kGesture || m_bEnded || m_nPendingEnd) return;
    std::wstring question;
    m_strings.Load(IDS_CONFIRM_EXIT, question);
    MessageAnswer answer;
    {
        // The installation stands still while the operator is asked whether to stop it; a tick
        // that is already running (a transfer, say) goes on underneath.
        const bool wasBusy = m_bBusy;
        m_bBusy = true;
        answer = m_view.ShowMessage(question, MessageIcon::kNone, MessageButtons::kYesNoDefaultNo);
        m_bBusy = wasBusy;
    }
    if (answer == MessageAnswer::kYes) End(END_ABORTED);
}

void CSendStatusDlg::OnDestroy() {
    if (m_nTimerId) m_view.StopTimer(m_nTimerId);
    m_nTimerId = 0;
}

void CSendStatusDlg::InitProgress() {
    m_view.SetRange(0, 3);
    m_view.SetPosition(0);
    m_view.SetStep(1);
}

void CSendStatusDlg::StepProgress() {
    int low = 0;
    int high = 0;
    m_view.GetRange(low, high);
    // Widening the range for a moment makes the bar jump to its new place at once, instead of
    // catching up slowly, so that a position reached just before the dialog ends is seen.
    if (m_view.Position() <= high) {
        m_view.SetRange(low, high + 1);
        m_view.OffsetPosition(2);
        m_view.OffsetPosition(-1);
        m_view.SetRange(low, high);
    } else {
        m_view.OffsetPosition(2);
        m_view.OffsetPosition(-1);
    }
    ShowPercent(high != 0 ? m_view.Position() * 100 / high : 0);
}

bool CSendStatusDlg::IsPrinterAnswering() { return m_installation.Firm().IsDeviceResponding() == kCheckOk; }

void CSendStatusDlg::Animate() {
    int& frame = m_installation.Progress().frame;
    m_view.ShowFrame(frame);
    frame = (frame + 1) % kAnimationFrames;
}

void CSendStatusDlg::End(int code) {
    if (m_bEnded) return;
    if (TransferRunning()) {
        if (!m_nPendingEnd) {
            m_nPendingEnd = code;
            ShowStatus(IDS_STOPPING);
        }
        StopTransfer();
        return;
    }
    m_bEnded = true;
    m_nEndCode = code;
    m_view.EndDialog(code);
}

bool CSendStatusDlg::ApplyPendingEnd() {
    if (!m_nPendingEnd || TransferRunning()) return false;
    End(m_nPendingEnd);
    return true;
}

void CSendStatusDlg::ShowStatus(unsigned messageId) {
    std::wstring text;
    m_strings.Load(messageId, text);
    m_view.SetText(IDC_STATUS_TEXT, text);
}

void CSendStatusDlg::ShowStepLabel(bool second, bool twoParts) {
    m_view.SetText(IDC_STEP_LABEL, !twoParts ? L"1/1" : second ? L"2/2" : L"1/2");
}

void CSendStatusDlg::ShowPercent(int percent) { m_view.SetText(IDC_PERCENT, std::to_wstring(percent) + L"%"); }

CPort* CSendStatusDlg::Port() { return m_installation.Device().m_pPort.get(); }

bool CSendStatusDlg::WaitForPrinter(bool& panelOpWait, bool& panelOpDone, int& iplWaitTicks) {
    CPort* port = Port();
    if (panelOpWait && !panelOpDone) {
        if (!port || port->getOperationCode() != kOperationPanelBusy) {
            panelOpDone = true;
        } else if (const InstallWaits& waits = m_installation.Waits(); waits.panelOperatorMs) {
            // Nobody can stop this wait in an unattended installation: it ends here instead, after
            // that long on the clock (each tick's question to the printer takes its own time).
            const std::uint64_t now = (waits.clock ? *waits.clock : SystemClock()).TickCount();
            if (!m_operatorWaitSince) m_operatorWaitSince = now;
            if (now - *m_operatorWaitSince >= waits.panelOperatorMs) End(END_SEND_FAILED);
        }
        return true;
    }
    // A printer that never reports its boot loader is waited for a while, then taken as ready.
    if (!port || !port->checkIplMode()) {
        if (++iplWaitTicks < kIplWaitTicks) return true;
    }
    if (port && port->getOperationCode() == kOperationAborted) {
        OnCancel();
        return true;
    }
    return false;
}

void CSendStatusDlg::CountAnswerFailure(int& failures) {
    if (++failures >= kAnswerCheckFailures) {
        End(END_SEND_FAILED);
        failures = 0;
    }
}

// --- firmware ---------------------------------------------------------------------------------

void CSendFirmStatusDlg::InitProgress() {
    CSendStatusDlg::InitProgress();
    CPort* port = Port();
    if (port && port->getOperationCode() == kOperationPanelBusy) {
        m_bPanelOpWait = true;
        ShowStatus(IDS_PANEL_OPERATION);
    } else {
        ShowStatus(IDS_INSTALLING_FIRMWARE);
    }
    ShowStepLabel(false, m_bTwoParts);
}

void CSendFirmStatusDlg::OnTimer() {
    Animate();
    if (m_bPolling) {
        int& ticks = m_installation.Progress().firmTicks;
        if (++ticks >= kFirmTicksPerPoll) {
            PollStep();
            ticks = 0;
        }
        return;
    }
    if (WaitForPrinter(m_bPanelOpWait, m_bPanelOpDone, m_nIplWaitTicks)) return;
    if (!IsPrinterAnswering()) {
        CountAnswerFailure(m_installation.Progress().firmFailures);
        return;
    }
    if (m_bPanelOpWait) ShowStatus(IDS_INSTALLING_FIRMWARE);

    m_view.StopTimer(m_nTimerId);
    StepProgress();
    SendFirmware();
    StepProgress();
}

void CSendFirmStatusDlg::SendFirmware() {
    WaitCursorScope wait(m_view);
    CFirmUpdater& updater = m_installation.Firm();
    if (!updater.IsSetUp() || !Port()) {
        End(END_SEND_FAILED);
        return;
    }
    // The transfer blocks on the network for as long as the printer takes; the window keeps
    // painting and taking input meanwhile, and ticks cannot come (the timer is stopped, and a
    // tick is running). An abort asked for meanwhile waits for the transfer to return.
    m_bTransferring = true;
    const bool sent = m_view.RunResponsive([this, &updater] { return updater.SendImage(&m_bStopRequested); });
    m_bTransferring = false;
    if (ApplyPendingEnd()) return;
    if (!sent) {
        End(END_SEND_FAILED);
        return;
    }
    const unsigned id = m_view.StartTimer(kFirmPollTickMs);
    if (!id) {
        End(END_TIMER_FAILED);
        return;
    }
    m_nTimerId = id;
    ShowStatus(IDS_INSTALLING_FIRMWARE);
    m_bPolling = true;
}

void CSendFirmStatusDlg::PollStep() {
    CPort* port = Port();
    if (port && port->checkState()) {
        StepProgress();
        End(END_SUCCESS);
        m_bPolling = false;
        return;
    }
    if (++m_nPollCount >= kFirmPolls) End(END_TIMEOUT);
}

// --- panel application ------------------------------------------------------------------------

void CSendPanelStatusDlg::InitProgress() {
    m_view.SetRange(0, 100);
    m_view.SetPosition(0);
    m_view.SetStep(1);
    CPort* port = Port();
    if (m_installation.Identifier().m_nResult == kCheckPanelOnly && port &&
        port->getOperationCode() == kOperationPanelBusy) {
        m_bPanelOpWait = true;
        ShowStatus(IDS_PANEL_OPERATION);
    } else {
        ShowStatus(IDS_INSTALLING_PANEL);
    }
    ShowStepLabel(true, m_bTwoParts);
}

bool CSendPanelStatusDlg::TransferRunning() const {
    switch (m_installation.Panel().m_nState.load()) {
        case kPanelStarting:
        case kPanelConnected:
        case kPanelHeaderSent:
        case kPanelDataSent: return m_bSending || m_bPolling;
        default: return false;
    }
}

void CSendPanelStatusDlg::StopTransfer() { m_installation.Panel().RequestStop(); }

void CSendPanelStatusDlg::OnTimer() {
    // An abort asked for during the transfer ends the dialog once the worker has stopped.
    if (PendingEnd()) {
        Animate();
        ApplyPendingEnd();
        return;
    }
    if (m_bPolling) {
        PollStep();
    } else if (m_bSending) {
        Animate();
        StepProgress();
    } else if (m_bWaiting) {
        Animate();
        if (m_installation.Identifier().m_nResult == kCheckPanelOnly &&
            WaitForPrinter(m_bPanelOpWait, m_bPanelOpDone, m_nIplWaitTicks)) {
            return;
        }
        CPort* port = Port();
        if (!IsPrinterAnswering() && !(port && port->checkState())) {
            CountAnswerFailure(m_installation.Progress().panelFailures);
            return;
        }
        StartPanelTransfer();
    } else if (m_bSendFailed) {
        End(END_SEND_FAILED);
    }
}

void CSendPanelStatusDlg::StartPanelTransfer() {
    // A timer that cannot be sped up keeps its old period: the dialog follows the transfer more
    // coarsely, but it goes on.
    if (const unsigned id = m_view.StartTimer(kPanelTickMs)) m_nTimerId = id;
    ShowStatus(IDS_INSTALLING_PANEL);
    // A worker that cannot be started counts as a failed transfer, which the next tick shows.
    m_installation.Panel().StartTransferThread();
    m_view.Pause(kPanelStartPauseMs);
    m_bSending = true;
    m_bWaiting = false;
}

void CSendPanelStatusDlg::StepProgress() {
    const CPanelUpdater& updater = m_installation.Panel();
    const int sent = updater.m_nBlocksSent;
    const int count = updater.m_nBlockCount;
    const int state = updater.m_nState;
    int percent;
    if (sent < 0) {
        percent = -1;
    } else if (count == 0) {
        // An empty package is all sent once its digest is.
        percent = state == kPanelDataSent || state == kPanelTransferred ? 100 : 0;
    } else {
        percent = static_cast<int>(static_cast<std::uint64_t>(static_cast<unsigned>(sent)) * 100u /
                                   static_cast<unsigned>(count));
    }
    m_view.SetPosition(percent);
    ShowPercent(percent);
    if (percent >= 100) {
        m_bSending = false;
        m_bPolling = true;
    } else if (percent == -1) {
        m_bSending = false;
        m_bSendFailed = true;
    }
}

void CSendPanelStatusDlg::PollStep() {
    // No limit here: the worker's own time-outs end a transfer that stalls.
    switch (m_installation.Panel().m_nState.load()) {
        case kPanelIdle: End(END_SEND_FAILED); break;
        case kPanelTransferred: End(END_SUCCESS); break;
        default: break;
    }
}

// --- restart and verification -----------------------------------------------------------------

void CSendCompleteStatusDlg::InitProgress() {
    m_view.SetRange(0, 2);
    m_view.SetPosition(0);
    m_view.SetStep(1);
    ShowStatus(IDS_REBOOTING);
    ShowStepLabel(true, m_bCompleteTwoParts);
}

void CSendCompleteStatusDlg::OnTimer() {
    if (m_bPolling) {
        Animate();
        PollStep();
        if (HasEnded()) return;
    }
    if (m_bStartPending) {
        // The updater and its port are shared with the worker for as long as the request runs.
        const std::shared_ptr<CPanelUpdater> updater = m_installation.SharedPanel();
        const bool started = Request([updater] { return updater->StartPanelInstall(updater->m_szHost); });
        m_bStartPending = false;
        if (ApplyPendingEnd()) return;
        // A panel application that was sent but never told to install is not installed.
        if (!started && (m_dwParts & kPartPanel)) {
            End(END_VERIFY_FAILED);
            return;
        }
        m_bRebootPending = true;
        m_nRebootAskedAt = m_clock.TickCount();
    }
    if (m_bRebootPending) {
        // Shared with the worker for as long as the request runs.
        const std::shared_ptr<CPort> port = m_installation.Device().m_pPort;
        const bool taken = port && Request([port] { return port->requestReboot(); });
        if (ApplyPendingEnd()) return;
        if (taken) {
            m_bRebootPending = false;
            m_bPolling = true;
            m_nRestartTakenAt = m_clock.TickCount();
            ShowStatus(IDS_WAITING_FOR_RESTART);
        } else if (Since(m_nRebootAskedAt) >= kRebootRequestBoundMs) {
            End(END_REBOOT_REFUSED);
        }
    }
}

bool CSendCompleteStatusDlg::Request(const std::function<bool()>& request) {
    m_bRequesting = true;
    const bool result = m_view.RunResponsive(request);
    m_bRequesting = false;
    return result;
}

int CSendCompleteStatusDlg::VerifyParts() {
    if (m_dwParts & kPartFirmware) {
        if (const int result = m_installation.Firm().VerifyInstalled(); result != kCheckOk) return result;
    }
    if (m_dwParts & kPartPanel) return m_installation.Panel().VerifyInstalled();
    return kCheckOk;
}

void CSendCompleteStatusDlg::PollStep() {
    // Shared with the worker for as long as the verification runs.
    const std::shared_ptr<CPort> port = m_installation.Device().m_pPort;
    if (!port) {
        // Nothing to ask (no printer port: the restart cannot have been asked for either).
        if (++m_nPollCount >= kCompletePolls) End(END_TIMEOUT);
        return;
    }
    if (m_nLastVerifyAt && Since(m_nLastVerifyAt) < kVerifyIntervalMs) return;
    m_nLastVerifyAt = m_clock.TickCount();

    // Success only when the printer, back from its restart, reports what was installed.
    int result = kCheckNoAnswer;
    Request([this, port, &result] {
        result = VerifyParts();
        return true;
    });
    if (ApplyPendingEnd()) return;
    switch (result) {
        case kCheckOk: End(END_SUCCESS); return;
        case kCheckNoAnswer:
        case kCheckQueryFailed:
        case kCheckIplMode: m_nOtherVersionsSince = 0; break;  // not back yet
        case kCheckUpToDate:
            if (!m_nOtherVersionsSince) m_nOtherVersionsSince = m_clock.TickCount();
            if (Since(m_nOtherVersionsSince) >= kOtherVersionsSettleMs) {
                End(END_VERIFY_FAILED);
                return;
            }
            break;
        default: End(END_VERIFY_FAILED); return;
    }
    if (Since(m_nRestartTakenAt) >= m_installation.Waits().restartConfirmMs) End(END_NOT_CONFIRMED);
}

std::unique_ptr<CSendStatusDlg> MakeProgressDialog(ProgressDialog dialog, ISendStatusView& view,
                                                   const IStringTable& strings, CInstallation& installation,
                                                   std::uint32_t parts, std::uint32_t address, IClock& clock) {
    const bool twoParts = parts == kPartsBoth;
    switch (dialog) {
        case ProgressDialog::kFirmware:
            return std::make_unique<CSendFirmStatusDlg>(view, strings, installation, twoParts);
        case ProgressDialog::kPanel:
            return std::make_unique<CSendPanelStatusDlg>(view, strings, installation, twoParts);
        case ProgressDialog::kComplete:
        default: return std::make_unique<CSendCompleteStatusDlg>(view, strings, installation, parts, address, clock);
    }
}
