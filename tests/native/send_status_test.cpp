// The progress dialogs tick by tick, against a recording view and a scripted printer port: the
// waits before a transfer, the firmware transfer and its polls, the panel transfer followed on
// the bar, the restart and its verification, Escape and the abort gesture, and ticks that come
// while one is still being handled.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/SendStatusDlg.h"
#include "app/resource.h"
#include "tests/native/fakes/FakePorts.h"
#include "tests/native/fakes/ManualClock.h"
#include "tests/native/fakes/UpdateFixture.h"

namespace {

// Answers taken in turn; the last one repeats.
template <class T>
class Answers {
public:
    Answers(std::initializer_list<T> values) : m_values(values) {}
    Answers& operator=(std::initializer_list<T> values) {
        m_values = values;
        return *this;
    }
    T Next() {
        const T value = m_values.front();
        if (m_values.size() > 1) m_values.pop_front();
        return value;
    }

private:
    std::deque<T> m_values;
};

// What the scripted port was asked, shared with the test (the port belongs to the device record).
struct PortScript {
    Answers<int> operationCodes{0};
    Answers<bool> iplMode{true};
    Answers<bool> answers{true};   // the information query
    Answers<bool> states{false};   // checkState: the firmware accepted
    Answers<bool> sends{true};
    Answers<bool> reboots{true};
    Answers<std::wstring> replies{L"MDL:Zentil-640;VER:3.40;PANEL:3.0.1;"};
    std::vector<std::string> calls;
    std::function<void()> onSend;
    std::function<void()> onQuery;
    std::function<void()> onReboot;
};

class ScriptedPort final : public CPort {
public:
    explicit ScriptedPort(std::shared_ptr<PortScript> script) : m_s(std::move(script)) {}

    bool queryInformation(std::wstring& reply) override {
        m_s->calls.push_back("query");
        if (m_s->onQuery) m_s->onQuery();
        reply = m_s->replies.Next();
        return m_s->answers.Next();
    }
    bool startUpdate() override { return true; }
    bool sendData(const std::uint8_t*, std::uint32_t length, std::uint32_t) override {
        m_s->calls.push_back("send " + std::to_string(length));
        if (m_s->onSend) m_s->onSend();
        return m_s->sends.Next();
    }
    void release() override { m_s->calls.push_back("release"); }
    bool requestReboot() override {
        m_s->calls.push_back("reboot");
        if (m_s->onReboot) m_s->onReboot();
        return m_s->reboots.Next();
    }
    bool checkState() override {
        m_s->calls.push_back("state");
        return m_s->states.Next();
    }
    int getOperationCode() override {
        m_s->calls.push_back("opcode");
        return m_s->operationCodes.Next();
    }
    bool getStatusWords(std::uint32_t&, std::uint32_t&) override { return false; }
    bool checkIplMode() override {
        m_s->calls.push_back("ipl");
        return m_s->iplMode.Next();
    }
    void setPeerTrust(std::shared_ptr<IPeerTrust>) override {}
    PeerCheck checkPeerTrust() override { return PeerCheck::kTrusted; }

private:
    std::shared_ptr<PortScript> m_s;
};

// A progress bar as the system keeps it: the position always within the range.
class RecordingView final : public ISendStatusView {
public:
    MessageAnswer ShowMessage(const std::wstring& text, MessageIcon, MessageButtons buttons) override {
        questions.push_back(text);
        lastButtons = buttons;
        if (onMessage) onMessage();
        return answer;
    }
    void BeginWaitCursor() override { ++waitDepth; }
    void EndWaitCursor() override { --waitDepth; }
    void SetText(int id, const std::wstring& text) override { texts[id] = text; }
    void ShowFrame(int frame) override { frames.push_back(frame); }
    void SetRange(int lo, int hi) override {
        low = lo;
        high = hi;
        Clamp();
    }
    void GetRange(int& lo, int& hi) override {
        lo = low;
        hi = high;
    }
    int Position() override { return position; }
    void SetPosition(int value) override {
        position = value;
        Clamp();
        positions.push_back(position);
    }
    void OffsetPosition(int delta) override {
        position += delta;
        Clamp();
    }
    void SetStep(int value) override { step = value; }
    unsigned StartTimer(unsigned periodMs) override {
        periods.push_back(periodMs);
        return timerStarts ? 1 : 0;
    }
    void StopTimer(unsigned) override { ++timerStops; }
    void EndDialog(int code) override { ends.push_back(code); }
    void Pause(unsigned ms) override { pauses.push_back(ms); }
    bool RunResponsive(const std::function<bool()>& work) override {
        ++responsiveRuns;
        ++waitDepthInWork;
        const bool result = work();
        return result;
    }

    std::map<int, std::wstring> texts;
    std::vector<int> frames;
    int low = 0, high = 100, position = 0, step = 0;
    std::vector<int> positions;
    std::vector<unsigned> periods;
    bool timerStarts = true;
    int timerStops = 0;
    std::vector<int> ends;
    std::vector<unsigned> pauses;
    int responsiveRuns = 0;
    int waitDepthInWork = 0;
    int waitDepth = 0;
    std::vector<std::wstring> questions;
    MessageButtons lastButtons = MessageButtons::kOk;
    MessageAnswer answer = MessageAnswer::kNo;
    std::function<void()> onMessage;

private:
    void Clamp() {
        if (position < low) position = low;
        if (position > high) position = high;
    }
};

MapStringTable Strings() {
    return MapStringTable{
        {IDS_CONFIRM_EXIT, L"Are you sure to exit without installation?"},
        {IDS_INSTALLING_FIRMWARE, L"Installing firmware."},
        {IDS_INSTALLING_PANEL, L"Installing panel application."},
        {IDS_REBOOTING, L"Rebooting."},
        {IDS_WAITING_FOR_RESTART, L"Waiting for the printer."},
        {IDS_STOPPING, L"Stopping."},
        {IDS_PANEL_OPERATION, L"Finish the operation at the panel."},
    };
}

class SendStatusTest : public UpdateTest {
protected:
    void SetUp() override {
        UpdateTest::SetUp();
        // A panel that takes every command, for the final dialog's start of the installation.
        m_panelLog = std::make_shared<PanelLog>();
        auto panelPort = std::make_unique<RecordingPanelPort>(m_panelLog);
        m_panelPort = panelPort.get();
        ResetUpdateObjects(std::make_shared<CPanelUpdater>(std::move(panelPort), m_panelClock));
        SetUpFirmware(340, L"Zentil-640,Zentil-540", 100);
        SetUpPanel({3, 0, 1});
        m_script = std::make_shared<PortScript>();
        Installation().Device().m_pPort = PortPtr(new ScriptedPort(m_script));
    }
    void TearDown() override {
        CPanelUpdater::JoinTransferThreads();
        UpdateTest::TearDown();
    }

    // Delivers `count` ticks of the dialog's timer; stops early once it has ended.
    static void Tick(CSendStatusDlg& dialog, int count = 1) {
        for (int i = 0; i < count && !dialog.HasEnded(); ++i) ASSERT_TRUE(dialog.OnTimerMessage(dialog.m_nTimerId));
    }
    int Calls(const std::string& name) const {
        int n = 0;
        for (const std::string& call : m_script->calls) n += call.rfind(name, 0) == 0;
        return n;
    }

    std::shared_ptr<PortScript> m_script = std::make_shared<PortScript>();
    MapStringTable m_strings = Strings();
    RecordingView m_view;
    std::shared_ptr<PanelLog> m_panelLog;
    RecordingPanelPort* m_panelPort = nullptr;  // belongs to the panel updater
    ManualClock m_panelClock;
};

TEST_F(SendStatusTest, FirmwareGoesOutAfterTheWaitsAndIsPolledEveryFiveSeconds) {
    m_script->operationCodes = {45, 45, 45, 0};
    m_script->iplMode = {false, false, true};
    CSendFirmStatusDlg dialog(m_view, m_strings, Installation(), true);
    dialog.OnInitDialog();
    EXPECT_EQ(m_view.texts[IDC_STATUS_TEXT], L"Finish the operation at the panel.");
    EXPECT_EQ(m_view.texts[IDC_STEP_LABEL], L"1/2");
    EXPECT_EQ(m_view.periods, (std::vector<unsigned>{50}));
    EXPECT_EQ(m_view.frames, (std::vector<int>{0}));

    Tick(dialog, 2);  // still 45
    EXPECT_FALSE(dialog.m_bPanelOpDone);
    Tick(dialog);     // 45 has ended: noted, nothing more in this tick
    EXPECT_TRUE(dialog.m_bPanelOpDone);
    EXPECT_EQ(Calls("ipl"), 0);
    Tick(dialog, 2);  // not in IPL mode yet
    EXPECT_EQ(dialog.m_nIplWaitTicks, 2);
    EXPECT_EQ(Calls("send"), 0);
    Tick(dialog);     // IPL mode, no abort, answering: the transfer
    EXPECT_EQ(Calls("send 100"), 1);
    EXPECT_EQ(m_view.responsiveRuns, 1);
    EXPECT_EQ(m_view.texts[IDC_STATUS_TEXT], L"Installing firmware.");
    EXPECT_EQ(m_view.texts[IDC_PERCENT], L"66%");
    EXPECT_EQ(m_view.position, 2);
    EXPECT_EQ(m_view.timerStops, 1);
    EXPECT_EQ(m_view.periods, (std::vector<unsigned>{50, 250}));
    EXPECT_TRUE(dialog.m_bPolling);
    EXPECT_EQ(m_view.waitDepth, 0);

    // Polls: one every 20 ticks; the second finds the firmware accepted.
    m_script->states = {false, true};
    Tick(dialog, 19);
    EXPECT_EQ(Calls("state"), 0);
    Tick(dialog);
    EXPECT_EQ(Calls("state"), 1);
    EXPECT_TRUE(m_view.ends.empty());
    Tick(dialog, 20);
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_SUCCESS}));
    EXPECT_EQ(m_view.texts[IDC_PERCENT], L"100%");
    EXPECT_EQ(m_view.frames.size(), 1u + 6u + 40u);  // one frame a tick, and one at the start
    EXPECT_EQ(m_view.frames.back(), (1 + 6 + 40 - 1) % 4);
}

TEST_F(SendStatusTest, FirmwareProgressShowsAThirdBeforeTheSendAndTwoAfter) {
    std::vector<std::wstring> percentAtSend;
    m_script->onSend = [&] { percentAtSend.push_back(m_view.texts[IDC_PERCENT]); };
    CSendFirmStatusDlg dialog(m_view, m_strings, Installation(), false);
    dialog.OnInitDialog();
    EXPECT_EQ(m_view.texts[IDC_STATUS_TEXT], L"Installing firmware.");
    EXPECT_EQ(m_view.texts[IDC_STEP_LABEL], L"1/1");
    Tick(dialog);
    EXPECT_EQ(percentAtSend, (std::vector<std::wstring>{L"33%"}));
}

TEST_F(SendStatusTest, FirmwareWaitEndings) {
    struct Case {
        const char* name;
        std::function<void(PortScript&, RecordingView&)> script;
        int ticks;
        std::vector<int> ends;
        int sends;
    } cases[] = {
        {"never in IPL mode: 300 ticks, then on",
         [](PortScript& s, RecordingView&) { s.iplMode = {false}; }, 300, {}, 1},
        {"299 ticks without IPL mode still wait",
         [](PortScript& s, RecordingView&) { s.iplMode = {false}; }, 299, {}, 0},
        {"aborted at the panel", [](PortScript& s, RecordingView&) { s.operationCodes = {0, 1}; }, 1, {END_ABORTED}, 0},
        {"three failed answer checks", [](PortScript& s, RecordingView&) { s.answers = {false}; }, 3, {END_SEND_FAILED},
         0},
        {"two failed answer checks, then answering",
         [](PortScript& s, RecordingView&) { s.answers = {false, false, true}; }, 3, {}, 1},
        {"three failed sends", [](PortScript& s, RecordingView&) { s.sends = {false}; }, 1, {END_SEND_FAILED}, 3},
        {"second send succeeds", [](PortScript& s, RecordingView&) { s.sends = {false, true}; }, 1, {}, 2},
        {"poll timer does not start",
         [](PortScript&, RecordingView& v) { v.timerStarts = false; }, 1, {END_TIMER_FAILED}, 1},
        {"36 polls without acceptance", [](PortScript&, RecordingView&) {}, 1 + 36 * 20, {END_TIMEOUT}, 1},
        {"35 polls without acceptance", [](PortScript&, RecordingView&) {}, 1 + 35 * 20, {}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        m_view = RecordingView();
        c.script(*m_script, m_view);
        const bool timerStarts = m_view.timerStarts;
        m_view.timerStarts = true;  // the first timer always starts
        CSendFirmStatusDlg dialog(m_view, m_strings, Installation(), false);
        dialog.OnInitDialog();
        m_view.timerStarts = timerStarts;
        Tick(dialog, c.ticks);
        EXPECT_EQ(m_view.ends, c.ends);
        EXPECT_EQ(Calls("send"), c.sends);
        TearDown();
    }
}

TEST_F(SendStatusTest, AnswerCheckFailuresAreCountedAcrossDialogsUntilTheThird) {
    m_script->answers = {false};
    {
        CSendFirmStatusDlg first(m_view, m_strings, Installation(), false);
        first.OnInitDialog();
        Tick(first, 2);
        EXPECT_TRUE(m_view.ends.empty());
    }
    CSendFirmStatusDlg second(m_view, m_strings, Installation(), false);
    second.OnInitDialog();
    Tick(second);
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_SEND_FAILED}));
    EXPECT_EQ(Installation().Progress().firmFailures, 0);
}

TEST_F(SendStatusTest, EscapeEndsTheTransferDialogsAtOnceButNotTheFinalOne) {
    CSendFirmStatusDlg firmware(m_view, m_strings, Installation(), false);
    firmware.OnInitDialog();
    firmware.OnCancel();
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_ABORTED}));
    EXPECT_TRUE(m_view.questions.empty());

    RecordingView panelView;
    CSendPanelStatusDlg panel(panelView, m_strings, Installation(), false);
    panel.OnInitDialog();
    panel.OnCancel();
    EXPECT_EQ(panelView.ends, (std::vector<int>{END_ABORTED}));

    RecordingView finalView;
    CSendCompleteStatusDlg complete(finalView, m_strings, Installation(), kPartFirmware, 0x0501010A);
    complete.OnInitDialog();
    complete.OnCancel();
    complete.OnOK();
    EXPECT_TRUE(finalView.ends.empty());
}

TEST_F(SendStatusTest, TheGestureNeedsAllThreeKeysAndAYes) {
    CSendCompleteStatusDlg dialog(m_view, m_strings, Installation(), kPartFirmware, 0x0501010A);
    dialog.OnInitDialog();
    for (const unsigned flags : {kKeyShift | kKeyControl, kKeyLeftButton | kKeyShift, kKeyLeftButton | kKeyControl, 0u}) {
        dialog.OnRButtonDblClk(flags);
    }
    EXPECT_TRUE(m_view.questions.empty());

    dialog.OnRButtonDblClk(kKeyLeftButton | kKeyShift | kKeyControl);
    EXPECT_EQ(m_view.questions, (std::vector<std::wstring>{L"Are you sure to exit without installation?"}));
    EXPECT_EQ(m_view.lastButtons, MessageButtons::kYesNoDefaultNo);
    EXPECT_TRUE(m_view.ends.empty());

    m_view.answer = MessageAnswer::kYes;
    dialog.OnRButtonDblClk(kKeyLeftButton | kKeyShift | kKeyControl | 0x0002);  // the right button too
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_ABORTED}));
}

TEST_F(SendStatusTest, TicksThatComeWhileOneIsHandledDoNothing) {
    // The abort question is open while the timer goes on firing underneath it.
    CSendFirmStatusDlg dialog(m_view, m_strings, Installation(), false);
    dialog.OnInitDialog();
    m_view.onMessage = [&] { Tick(dialog, 5); };
    dialog.OnRButtonDblClk(kKeyLeftButton | kKeyShift | kKeyControl);
    EXPECT_EQ(Calls("send"), 0);
    EXPECT_EQ(m_view.frames.size(), 1u);

    // A tick that opens a modal window (here: the transfer, during which messages are handled)
    // is not entered again.
    m_script->onSend = [&] { Tick(dialog, 3); };
    m_view.onMessage = nullptr;
    Tick(dialog);
    EXPECT_EQ(Calls("send"), 1);
    EXPECT_EQ(m_view.frames.size(), 2u);

    // A timer that is not this dialog's is left to the caller; an ended dialog ignores ticks.
    EXPECT_FALSE(dialog.OnTimerMessage(dialog.m_nTimerId + 1));
    dialog.OnCancel();
    const auto calls = m_script->calls.size();
    Tick(dialog, 40);
    EXPECT_EQ(m_script->calls.size(), calls);
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_ABORTED}));
}

TEST_F(SendStatusTest, AnAbortDuringTheFirmwareSendTakesEffectWhenTheSendReturns) {
    // Escape, the close box (both OnCancel) and the gesture, while the data goes out: the dialog
    // stays until the attempt under way has returned, and no further attempt begins.
    enum class Abort { kEscape, kGesture };
    for (const Abort abort : {Abort::kEscape, Abort::kGesture}) {
        for (const bool sendSucceeds : {false, true}) {
            SCOPED_TRACE(testing::Message() << (abort == Abort::kEscape ? "Escape" : "gesture")
                                            << (sendSucceeds ? ", the send succeeds" : ", the send fails"));
            SetUp();
            m_view = RecordingView();
            m_view.answer = MessageAnswer::kYes;
            m_script->sends = {sendSucceeds};
            CSendFirmStatusDlg dialog(m_view, m_strings, Installation(), false);
            dialog.OnInitDialog();
            std::vector<int> endsDuringSend;
            std::wstring statusDuringSend;
            m_script->onSend = [&] {
                if (abort == Abort::kEscape) {
                    dialog.OnCancel();
                    dialog.OnCancel();
                } else {
                    dialog.OnRButtonDblClk(kKeyLeftButton | kKeyShift | kKeyControl);
                    dialog.OnRButtonDblClk(kKeyLeftButton | kKeyShift | kKeyControl);  // not asked again
                }
                endsDuringSend = m_view.ends;
                statusDuringSend = m_view.texts[IDC_STATUS_TEXT];
            };
            Tick(dialog);
            EXPECT_TRUE(endsDuringSend.empty()) << "the dialog ended while the transfer still ran";
            EXPECT_EQ(statusDuringSend, L"Stopping.");
            EXPECT_EQ(m_view.ends, (std::vector<int>{END_ABORTED}));
            EXPECT_EQ(Calls("send"), 1);
            EXPECT_EQ(m_view.questions.size(), abort == Abort::kGesture ? 1u : 0u);
            EXPECT_EQ(m_view.periods, (std::vector<unsigned>{50}));
            EXPECT_FALSE(dialog.m_bPolling);
            TearDown();
        }
    }
}

TEST_F(SendStatusTest, ADialogWhoseTimerDoesNotStartEndsAtOnce) {
    m_view.timerStarts = false;
    CSendFirmStatusDlg firmware(m_view, m_strings, Installation(), false);
    firmware.OnInitDialog();
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_TIMER_FAILED}));

    RecordingView finalView;
    finalView.timerStarts = false;
    CSendCompleteStatusDlg complete(finalView, m_strings, Installation(), kPartsBoth, 0x0501010A);
    complete.OnInitDialog();
    EXPECT_EQ(finalView.ends, (std::vector<int>{END_TIMER_FAILED}));
}

class PanelDialogTest : public SendStatusTest {
protected:
    // The dialog after the tick that started the transfer; the worker has ended (it had no panel
    // to reach), so the test sets the counters the worker would write.
    void StartTransfer(CSendPanelStatusDlg& dialog) {
        dialog.OnInitDialog();
        Tick(dialog);
        ASSERT_TRUE(dialog.m_bSending);
        CPanelUpdater::JoinTransferThreads();
        Worker(0, 0, kPanelConnected);
    }
    static void Worker(int count, int sent, int state) {
        CPanelUpdater& updater = Installation().Panel();
        updater.m_nBlockCount = count;
        updater.m_nBlocksSent = sent;
        updater.m_nState = state;
    }
};

TEST_F(PanelDialogTest, TheBarFollowsTheWorkerAndTheEndStateDecides) {
    CSendPanelStatusDlg dialog(m_view, m_strings, Installation(), true);
    StartTransfer(dialog);
    EXPECT_EQ(m_view.texts[IDC_STEP_LABEL], L"2/2");
    EXPECT_EQ(m_view.texts[IDC_STATUS_TEXT], L"Installing panel application.");
    EXPECT_EQ(m_view.periods, (std::vector<unsigned>{50, 1}));
    EXPECT_EQ(m_view.pauses, (std::vector<unsigned>{100}));
    EXPECT_EQ(m_view.high, 100);

    Tick(dialog);
    EXPECT_EQ(m_view.texts[IDC_PERCENT], L"0%");  // no block count yet
    Worker(3, 1, kPanelDataSent);
    Tick(dialog);
    EXPECT_EQ(m_view.texts[IDC_PERCENT], L"33%");
    EXPECT_EQ(m_view.position, 33);
    Worker(3, 3, kPanelDataSent);
    Tick(dialog);
    EXPECT_EQ(m_view.texts[IDC_PERCENT], L"100%");
    EXPECT_TRUE(dialog.m_bPolling);
    Tick(dialog, 50);  // the panel has not accepted yet: no limit here
    EXPECT_TRUE(m_view.ends.empty());
    Worker(3, 3, kPanelTransferred);
    Tick(dialog);
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_SUCCESS}));
}

TEST_F(PanelDialogTest, AFailedTransferShowsMinusOneForOneTickThenEnds) {
    CSendPanelStatusDlg dialog(m_view, m_strings, Installation(), false);
    StartTransfer(dialog);
    EXPECT_EQ(m_view.texts[IDC_STEP_LABEL], L"1/1");
    Worker(10, -1, kPanelIdle);
    Tick(dialog);
    EXPECT_EQ(m_view.texts[IDC_PERCENT], L"-1%");
    EXPECT_TRUE(m_view.ends.empty());
    Tick(dialog);
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_SEND_FAILED}));

    // Every block out, then refused by the panel: the poll sees the failed state.
    SetUp();
    m_view = RecordingView();
    CSendPanelStatusDlg refused(m_view, m_strings, Installation(), false);
    StartTransfer(refused);
    Worker(2, 2, kPanelDataSent);
    Tick(refused);
    Worker(2, -1, kPanelIdle);
    Tick(refused);
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_SEND_FAILED}));
}

TEST_F(PanelDialogTest, AnEmptyPackageIsAllSentOnceItsDigestIs) {
    CSendPanelStatusDlg dialog(m_view, m_strings, Installation(), false);
    StartTransfer(dialog);
    Worker(0, 0, kPanelHeaderSent);
    Tick(dialog);
    EXPECT_EQ(m_view.texts[IDC_PERCENT], L"0%");
    Worker(0, 0, kPanelDataSent);
    Tick(dialog);
    EXPECT_EQ(m_view.texts[IDC_PERCENT], L"100%");
    Worker(0, 0, kPanelTransferred);
    Tick(dialog);
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_SUCCESS}));
}

TEST_F(PanelDialogTest, AnAbortDuringThePanelTransferWaitsForTheWorkerToStop) {
    CSendPanelStatusDlg dialog(m_view, m_strings, Installation(), false);
    StartTransfer(dialog);
    Worker(10, 4, kPanelDataSent);
    dialog.OnCancel();
    EXPECT_TRUE(m_view.ends.empty());
    EXPECT_TRUE(Installation().Panel().m_bStopRequested);
    Tick(dialog, 3);  // the worker still sends its last block
    EXPECT_TRUE(m_view.ends.empty());
    Worker(10, -1, kPanelIdle);  // it has stopped: a failed transfer, shown as the abort it was
    Tick(dialog);
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_ABORTED}));

    // Before the worker runs, and once it has ended, Escape ends the dialog at once.
    SetUp();
    m_view = RecordingView();
    CSendPanelStatusDlg waiting(m_view, m_strings, Installation(), false);
    waiting.OnInitDialog();
    waiting.OnCancel();
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_ABORTED}));
}

TEST_F(PanelDialogTest, AStopRequestEndsARealTransferAsFailed) {
    // The updater's own worker against a panel that holds its first answer.
    auto gate = std::make_shared<PanelGate>();
    auto log = std::make_shared<PanelLog>();
    ResetUpdateObjects(std::make_shared<CPanelUpdater>(std::make_unique<RecordingPanelPort>(log, gate), m_panelClock));
    SetUpPanel({3, 0, 1}, std::vector<std::uint8_t>(5000, 'x'));
    CPanelUpdater& updater = Installation().Panel();
    gate->Close();
    ASSERT_TRUE(updater.StartTransferThread());
    ASSERT_TRUE(gate->WaitForBlockedReceive(5000));
    updater.RequestStop();
    gate->Open();
    CPanelUpdater::JoinTransferThreads();
    EXPECT_EQ(updater.m_nState, kPanelIdle);
    EXPECT_EQ(updater.m_nBlocksSent, -1);
    for (const std::string& line : log->Lines()) EXPECT_EQ(line.find("E007"), std::string::npos) << line;
}

TEST_F(PanelDialogTest, OnlyAPanelOnlyInstallationWaitsForThePanelOperation) {
    m_script->operationCodes = {45, 45, 0};
    Installation().Identifier().m_nResult = kCheckPanelOnly;
    CSendPanelStatusDlg panelOnly(m_view, m_strings, Installation(), false);
    panelOnly.OnInitDialog();
    EXPECT_EQ(m_view.texts[IDC_STATUS_TEXT], L"Finish the operation at the panel.");
    Tick(panelOnly);
    EXPECT_FALSE(panelOnly.m_bSending);
    Tick(panelOnly);  // 45 has ended
    Tick(panelOnly);
    EXPECT_TRUE(panelOnly.m_bSending);
    EXPECT_EQ(m_view.texts[IDC_STATUS_TEXT], L"Installing panel application.");

    // After a firmware transfer the operation code is not asked.
    SetUp();
    m_view = RecordingView();
    m_script->operationCodes = {45};
    Installation().Identifier().m_nResult = kCheckBothNeeded;
    CSendPanelStatusDlg both(m_view, m_strings, Installation(), true);
    both.OnInitDialog();
    Tick(both);
    EXPECT_TRUE(both.m_bSending);
    EXPECT_EQ(Calls("opcode"), 0);
}

TEST_F(PanelDialogTest, AnUnattendedWaitForThePanelsOperatorEndsAfterItsTimeWhateverTheTicks) {
    // Each question to the printer takes a second; the bound is ten seconds, not ten seconds of ticks.
    ManualClock clock;
    Installation().Waits().panelOperatorMs = 10'000;
    Installation().Waits().clock = &clock;
    m_script->operationCodes = {45};
    Installation().Identifier().m_nResult = kCheckPanelOnly;
    CSendPanelStatusDlg dialog(m_view, m_strings, Installation(), false);
    dialog.OnInitDialog();
    int ticks = 0;
    while (!dialog.HasEnded() && ticks < 100) {
        Tick(dialog);
        clock.Advance(1000);
        ++ticks;
    }
    EXPECT_EQ(dialog.EndCode(), END_SEND_FAILED);
    EXPECT_EQ(ticks, 11);  // the first tick starts the wait; ten seconds later it ends
    EXPECT_FALSE(dialog.m_bSending);
}

TEST_F(PanelDialogTest, APrinterThatNeitherAnswersNorReportsAcceptanceFailsOnTheThirdCheck) {
    m_script->answers = {false};
    m_script->states = {false, true, false};
    CSendPanelStatusDlg dialog(m_view, m_strings, Installation(), false);
    dialog.OnInitDialog();
    Tick(dialog);     // first failure
    EXPECT_EQ(Installation().Progress().panelFailures, 1);
    Tick(dialog);     // not answering, but the firmware state says accepted: the transfer starts
    EXPECT_TRUE(dialog.m_bSending);

    SetUp();
    m_view = RecordingView();
    m_script->answers = {false};
    CSendPanelStatusDlg failing(m_view, m_strings, Installation(), false);
    failing.OnInitDialog();
    Tick(failing, 3);
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_SEND_FAILED}));
}

class FinalDialogTest : public SendStatusTest {
protected:
    // Ticks until the restart has been taken (each tick `stepMs` on the dialog's clock).
    void Tick(CSendCompleteStatusDlg& dialog, int count = 1, std::uint64_t stepMs = 50) {
        for (int i = 0; i < count && !dialog.HasEnded(); ++i) {
            m_clock.Advance(stepMs);
            ASSERT_TRUE(dialog.OnTimerMessage(dialog.m_nTimerId));
        }
    }
    bool PanelToldToInstall() const {
        for (const std::string& line : m_panelLog->Lines()) {
            if (line == "send E009") return true;
        }
        return false;
    }

    ManualClock m_clock;
};

TEST_F(FinalDialogTest, SuccessOnlyOnceThePrinterIsBackWithTheInstalledVersions) {
    m_script->reboots = {false, false, true};
    CSendCompleteStatusDlg dialog(m_view, m_strings, Installation(), kPartsBoth, 0x0501010A, m_clock);
    dialog.OnInitDialog();
    EXPECT_EQ(m_view.texts[IDC_STATUS_TEXT], L"Rebooting.");
    EXPECT_EQ(m_view.texts[IDC_STEP_LABEL], L"2/2");
    EXPECT_EQ(m_view.high, 2);
    Tick(dialog, 3);
    EXPECT_TRUE(PanelToldToInstall());
    EXPECT_EQ(Calls("reboot"), 3);
    EXPECT_TRUE(dialog.m_bPolling);
    EXPECT_EQ(m_view.texts[IDC_STATUS_TEXT], L"Waiting for the printer.");

    // Restarting: no answer, then the boot loader; asked once a second, not at every tick.
    m_script->answers = {false, false, true};
    m_script->replies = {L"", L"", L"MDL:Zentil-640;VER:3.40;PANEL:3.0.1;MODE:IPL;"};
    Tick(dialog, 3 * 20);
    EXPECT_EQ(Calls("query"), 3);
    EXPECT_TRUE(m_view.ends.empty());
    m_script->replies = {L"MDL:Zentil-640;VER:3.40;PANEL:3.0.1;"};
    Tick(dialog, 20);
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_SUCCESS}));
    EXPECT_EQ(m_view.texts.count(IDC_PERCENT), 0u);  // the bar does not move here
}

TEST_F(FinalDialogTest, WhatThePrinterReportsAfterItsRestartDecides) {
    const std::wstring oldVersions = L"MDL:Zentil-640;VER:3.30;PANEL:3.0.0;";
    const std::wstring newVersions = L"MDL:Zentil-640;VER:3.40;PANEL:3.0.1;";
    struct Case {
        const char* name;
        std::uint32_t parts;
        std::vector<bool> answers;          // one a poll (a second apart); the last repeats
        std::vector<std::wstring> replies;  // the same
        int polls;
        std::vector<int> ends;
    } cases[] = {
        {"back with the old versions: a minute of them", kPartsBoth, {false, true}, {L"", oldVersions}, 1 + 61,
         {END_VERIFY_FAILED}},
        {"back with the old versions: not a minute yet", kPartsBoth, {false, true}, {L"", oldVersions}, 1 + 60, {}},
        {"the new firmware but the old panel application", kPartsBoth, {false, true},
         {L"", L"MDL:Zentil-640;VER:3.40;PANEL:3.0.0;"}, 1 + 61, {END_VERIFY_FAILED}},
        {"the old versions before it went down, then the new ones", kPartsBoth, {true, true, false, true},
         {oldVersions, oldVersions, L"", newVersions}, 4, {END_SUCCESS}},
        {"the old versions for 50 s, down, then 50 s more: no minute without a break", kPartsBoth,
         [] {
             std::vector<bool> a(50, true);
             a.push_back(false);
             return a;
         }(),
         [&] {
             std::vector<std::wstring> r(50, oldVersions);
             r.push_back(L"");
             r.push_back(oldVersions);
             return r;
         }(),
         50 + 1 + 50, {}},
        {"a model not in the list", kPartsBoth, {true}, {L"MDL:Morvik-9;VER:3.40;PANEL:3.0.1;"}, 1, {END_VERIFY_FAILED}},
        {"never back: waiting until the bound", kPartsBoth, {false}, {L""}, 299, {}},
        {"never back: the bound", kPartsBoth, {false}, {L""}, 300, {END_NOT_CONFIRMED}},
        {"firmware only: the panel application is not looked at", kPartFirmware, {true},
         {L"MDL:Zentil-640;VER:3.40;PANEL:2.0.0;"}, 1, {END_SUCCESS}},
        {"panel application only: the firmware is not looked at", kPartPanel, {true},
         {L"MDL:Zentil-640;VER:3.50;PANEL:3.0.1;"}, 1, {END_SUCCESS}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        m_view = RecordingView();
        CSendCompleteStatusDlg dialog(m_view, m_strings, Installation(), c.parts, 0x0501010A, m_clock);
        dialog.OnInitDialog();
        Tick(dialog);  // the restart is taken
        ASSERT_TRUE(dialog.m_bPolling);
        // One answer and one reply a poll, the last ones repeating; a tick a second.
        for (std::size_t poll = 0; poll < static_cast<std::size_t>(c.polls) && !dialog.HasEnded(); ++poll) {
            m_script->answers = {static_cast<bool>(c.answers[std::min(poll, c.answers.size() - 1)])};
            m_script->replies = {c.replies[std::min(poll, c.replies.size() - 1)]};
            Tick(dialog, 1, 1000);
        }
        EXPECT_EQ(m_view.ends, c.ends);
        TearDown();
    }
}

TEST_F(FinalDialogTest, ItsRequestsRunWhileTheWindowAnswersAndAnAbortWaitsForThem) {
    // During the restart request.
    {
        CSendCompleteStatusDlg dialog(m_view, m_strings, Installation(), kPartsBoth, 0x0501010A, m_clock);
        dialog.OnInitDialog();
        m_view.answer = MessageAnswer::kYes;
        std::vector<int> endsDuringRequest;
        m_script->onReboot = [&] {
            dialog.OnRButtonDblClk(kKeyLeftButton | kKeyShift | kKeyControl);
            endsDuringRequest = m_view.ends;
        };
        Tick(dialog);
        EXPECT_TRUE(endsDuringRequest.empty());
        EXPECT_EQ(m_view.ends, (std::vector<int>{END_ABORTED}));
        EXPECT_FALSE(dialog.m_bPolling);
    }
    // During a verification.
    SetUp();
    m_view = RecordingView();
    CSendCompleteStatusDlg dialog(m_view, m_strings, Installation(), kPartsBoth, 0x0501010A, m_clock);
    dialog.OnInitDialog();
    Tick(dialog);  // the panel told to install and the restart taken: two requests
    EXPECT_EQ(m_view.responsiveRuns, 2);
    m_script->answers = {false};
    m_view.answer = MessageAnswer::kYes;
    std::vector<int> endsDuringPoll;
    m_script->onQuery = [&] {
        dialog.OnRButtonDblClk(kKeyLeftButton | kKeyShift | kKeyControl);
        endsDuringPoll = m_view.ends;
    };
    Tick(dialog);
    EXPECT_EQ(m_view.responsiveRuns, 3);
    EXPECT_TRUE(endsDuringPoll.empty()) << "the dialog ended while its request still ran";
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_ABORTED}));
}

TEST_F(FinalDialogTest, ARestartRequestNeverTakenEndsAfterAMinute) {
    m_script->reboots = {false};
    CSendCompleteStatusDlg dialog(m_view, m_strings, Installation(), kPartsBoth, 0x0501010A, m_clock);
    dialog.OnInitDialog();
    Tick(dialog, 59, 1000);
    EXPECT_TRUE(m_view.ends.empty());
    Tick(dialog, 2, 1000);
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_REBOOT_REFUSED}));
    EXPECT_EQ(Calls("query"), 0);  // nothing was verified
}

TEST_F(FinalDialogTest, APanelThatDoesNotStartItsInstallationFailsTheInstallation) {
    m_panelPort->m_failAt = 0;  // the connection for the start command
    CSendCompleteStatusDlg dialog(m_view, m_strings, Installation(), kPartsBoth, 0x0501010A, m_clock);
    dialog.OnInitDialog();
    Tick(dialog);
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_VERIFY_FAILED}));
    EXPECT_EQ(Calls("reboot"), 0);

    // A firmware-only installation sent the panel nothing to install: it goes on.
    SetUp();
    m_view = RecordingView();
    m_panelPort->m_failAt = 0;
    CSendCompleteStatusDlg firmware(m_view, m_strings, Installation(), kPartFirmware, 0x0501010A, m_clock);
    firmware.OnInitDialog();
    Tick(firmware);
    EXPECT_TRUE(m_view.ends.empty());
    EXPECT_EQ(Calls("reboot"), 1);
}

TEST_F(FinalDialogTest, WithoutAPortItGivesUpAfter120Polls) {
    CSendCompleteStatusDlg dialog(m_view, m_strings, Installation(), kPartFirmware, 0, m_clock);
    dialog.OnInitDialog();
    dialog.m_bStartPending = false;
    dialog.m_bPolling = true;
    Installation().Device().m_pPort.reset();
    Tick(dialog, 119);
    EXPECT_TRUE(m_view.ends.empty());
    Tick(dialog);
    EXPECT_EQ(m_view.ends, (std::vector<int>{END_TIMEOUT}));
}

}  // namespace
