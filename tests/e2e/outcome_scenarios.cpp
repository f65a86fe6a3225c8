// What the installer reports is true, and nothing the user does while it works can break the
// printer: success only once the printer is back from its restart with the installed versions,
// each way a restart can go wrong ending with its own message, an abort during the firmware send
// that waits for the send while the main dialog stays shut, a message of the controller library
// that keeps the main dialog shut, and a printer of another model refused before anything is sent.
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/e2e/InstallScenario.h"

namespace {

using namespace install;

// The printer's fault names as the simulator knows them.
constexpr char kNeverBack[] = "never_back on";
constexpr char kRefuseEveryRestart[] = "refuse_reboots all";
constexpr char kPanelRefusesToInstall[] = "refuse_install on";

class InstallOutcome : public Install {
protected:
    // Runs the installation; `finalSeenAt` gets the moment the final dialog first showed.
    Outcome RunTimed(App& app, ULONGLONG& finalSeenAt, DWORD timeoutMs = 240000) {
        finalSeenAt = 0;
        return RunInstall(app, IDYES, timeoutMs, [&](SeenDialog& dialog) {
            if (finalSeenAt || dialog.statusTexts.empty()) return;
            const std::wstring& status = dialog.statusTexts.front();
            if (status == Expected().rebooting || status == Expected().waitingForRestart) finalSeenAt = ::GetTickCount64();
        });
    }
};

TEST_F(InstallOutcome, SuccessIsShownOnlyOnceThePrinterIsBackWithTheNewVersions) {
    Prepare(1, {"restart_ms 8000"});
    App* app = Identified(1);
    ASSERT_NE(app, nullptr);
    ULONGLONG finalSeenAt = 0;
    const Outcome out = RunTimed(*app, finalSeenAt);
    EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, Expected().succeeded}));
    EXPECT_EQ(out.exitCode, std::optional<DWORD>(0));
    ASSERT_EQ(out.dialogs.size(), 3u);
    ExpectFinalDialogWaitedForTheRestart(out.dialogs[2]);
    ASSERT_NE(finalSeenAt, 0u);
    // The restart alone keeps the printer silent for 8 s.
    EXPECT_GE(out.messageTimes.back() - finalSeenAt, 7500u);
    ExpectVersions(1, "3.40", "3.0.1");
}

TEST_F(InstallOutcome, EachWayARestartGoesWrongFailsWithItsMessage) {
    struct Case {
        int printer;
        std::vector<std::string> faults;
        std::wstring message;
        ULONGLONG minSeconds, maxSeconds;  // from the final dialog's start to the message
    } cases[] = {
        // Back from its restart with the old firmware and panel application: a minute of them.
        {2, {"keep_old_version on"}, Expected().firmInstallFailed, 60, 100},
        // Never takes the restart request: a minute of requests.
        {3, {kRefuseEveryRestart}, Expected().restartRefused, 59, 90},
        // The panel refuses to start installing the package it received.
        {4, {kPanelRefusesToInstall}, Expected().firmInstallFailed, 0, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults.front());
        m_shotPrefix = Widen(c.faults.front().substr(0, c.faults.front().find(' '))) + L"-";
        Prepare(c.printer, c.faults);
        App* app = Identified(c.printer);
        ASSERT_NE(app, nullptr);
        ULONGLONG finalSeenAt = 0;
        const Outcome out = RunTimed(*app, finalSeenAt);
        EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, c.message}));
        EXPECT_EQ(out.exitCode, std::optional<DWORD>(4));
        ASSERT_EQ(out.dialogs.size(), 3u);
        ASSERT_NE(finalSeenAt, 0u);
        const ULONGLONG seconds = (out.messageTimes.back() - finalSeenAt) / 1000;
        EXPECT_GE(seconds, c.minSeconds);
        EXPECT_LE(seconds, c.maxSeconds);
        ExpectFirmwareReceivedWhole(c.printer);
        ExpectPackageReceivedWhole(c.printer);
        m_apps.clear();
    }
}

// Waits out the whole bound of a printer that never comes back: five minutes, so it has a run of
// its own (tests/e2e/CMakeLists.txt).
TEST_F(InstallOutcome, APrinterThatNeverComesBackIsReportedAsNotConfirmedAtTheBound) {
    Prepare(5, {kNeverBack});
    App* app = Identified(5);
    ASSERT_NE(app, nullptr);
    ULONGLONG finalSeenAt = 0;
    const Outcome out = RunTimed(*app, finalSeenAt, 480000);
    EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, Expected().notConfirmed}));
    EXPECT_EQ(out.exitCode, std::optional<DWORD>(4));
    ASSERT_EQ(out.dialogs.size(), 3u);
    ExpectFinalDialogWaitedForTheRestart(out.dialogs[2]);
    ASSERT_NE(finalSeenAt, 0u);
    const ULONGLONG seconds = (out.messageTimes.back() - finalSeenAt) / 1000;
    EXPECT_GE(seconds, 300u);
    EXPECT_LE(seconds, 330u);
    m_sim.Command("set " + Address(5) + " never_back off");
}

class InstallUi : public Install {};

TEST_F(InstallUi, AnAbortDuringTheFirmwareSendWaitsForTheSendWhileTheMainDialogStaysShut) {
    // The printer stops reading the firmware: the send blocks until its 60 s without progress.
    Prepare(6, {"data_stall_after 262144"});
    App* app = Identified(6);
    ASSERT_NE(app, nullptr);
    const HWND mainDialog = app->dialog;
    ULONGLONG sendSeenAt = 0, abortedAt = 0;
    int step = 0;
    bool mainShutThroughout = true, progressStayed = false;
    const Outcome out = RunInstall(*app, IDYES, 240000, [&](SeenDialog& dialog) {
        if (!sendSeenAt) sendSeenAt = ::GetTickCount64();
        if (::GetTickCount64() - sendSeenAt < 8000) return;  // well into the stalled send
        mainShutThroughout = mainShutThroughout && !::IsWindowEnabled(mainDialog);
        if (step == 0) {
            // The gesture first (its question is answered Yes), then Escape and the close box,
            // and clicks on the main dialog underneath.
            e2e::Screenshot(L"before-abort");
            ::PostMessageW(dialog.window, WM_RBUTTONDBLCLK, MK_LBUTTON | MK_SHIFT | MK_CONTROL | MK_RBUTTON,
                           MAKELPARAM(20, 20));
            ++step;
        } else if (step == 1 && ::GetTickCount64() - sendSeenAt > 11000) {
            ::PostMessageW(dialog.window, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
            ::PostMessageW(dialog.window, WM_KEYUP, VK_ESCAPE, 0xC0010001);
            ::PostMessageW(dialog.window, WM_CLOSE, 0, 0);
            ui::Click(mainDialog, IDC_BACK);
            ui::Click(mainDialog, IDOK);
            // Straight to the dialog too, past its disabled buttons.
            ::PostMessageW(mainDialog, WM_COMMAND, MAKEWPARAM(IDC_BACK, BN_CLICKED), 0);
            ::PostMessageW(mainDialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            abortedAt = ::GetTickCount64();
            ++step;
        } else if (step == 2 && ::GetTickCount64() - abortedAt > 3000) {
            // Asked to stop, the dialog stays while the attempt under way runs to its end.
            progressStayed = ::IsWindowVisible(dialog.window) != FALSE;
            e2e::Screenshot(L"abort-pending");
            ++step;
        }
    });
    EXPECT_EQ(step, 3);
    EXPECT_TRUE(mainShutThroughout) << "the main dialog took input while the firmware went out";
    EXPECT_TRUE(progressStayed);
    EXPECT_EQ(out.messages,
              (std::vector<std::wstring>{Expected().timeQuestion, Expected().confirmExit, Expected().canceled}));
    EXPECT_EQ(out.exitCode, std::optional<DWORD>(1));
    ASSERT_EQ(out.dialogs.size(), 1u);
    // It said it would stop once the attempt under way had ended.
    EXPECT_EQ(out.dialogs[0].statusTexts,
              (std::vector<std::wstring>{Expected().installingFirmware, Expected().stopping}));
    // One firmware stream, one request for update mode: nothing ran a second time.
    EXPECT_EQ(m_sim.Show(Address(6), "firmware_connections"), "1");
    EXPECT_EQ(m_sim.Show(Address(6), "update_mode_requests"), "1");
    // The end came with the attempt's own end, about a minute after the stall began.
    ASSERT_GE(out.messageTimes.size(), 3u);
    EXPECT_GE(out.messageTimes.back() - abortedAt, 30000u);
}

// The temporary file of the controller library held by another program: every load shows the
// library's message while Next runs.
class LockedLibraryFile {
public:
    LockedLibraryFile() {
        wchar_t directory[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH, directory);
        m_file = ::CreateFileW((std::wstring(directory) + L"Tessaro.DLL").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    ~LockedLibraryFile() { Release(); }
    LockedLibraryFile(const LockedLibraryFile&) = delete;
    LockedLibraryFile& operator=(const LockedLibraryFile&) = delete;
    bool Held() const { return m_file != INVALID_HANDLE_VALUE; }
    void Release() {
        if (m_file != INVALID_HANDLE_VALUE) ::CloseHandle(m_file);
        m_file = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE m_file = INVALID_HANDLE_VALUE;
};

TEST_F(InstallUi, AControllerLibraryMessageDuringNextKeepsTheMainDialogShut) {
    Prepare(7, {});
    LockedLibraryFile lock;
    ASSERT_TRUE(lock.Held());
    App* app = Launch(GetSettings().installer, {L"-i", Widen(Address(7))}, kTitle);
    ASSERT_NE(app, nullptr);
    ASSERT_UI(ui::Click(app->dialog, IDOK));

    int libraryMessages = 0;
    std::vector<std::wstring> others;
    bool shutUnderEveryBox = true;
    const ULONGLONG deadline = ::GetTickCount64() + 60000;
    while (others.empty() && ::GetTickCount64() < deadline) {
        const auto box = ui::FindMessageBox(app->Id(), 20000);
        if (!box) break;
        if (box->text.starts_with(L"Cannot write ")) {
            if (++libraryMessages == 1) e2e::Screenshot(L"library-message");
            shutUnderEveryBox = shutUnderEveryBox && !::IsWindowEnabled(app->dialog);
            // Next and Cancel underneath, by click and straight to the dialog.
            ui::Click(app->dialog, IDOK);
            ui::Click(app->dialog, IDCANCEL);
            ::PostMessageW(app->dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            ::PostMessageW(app->dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            ::Sleep(300);
        } else {
            others.push_back(box->text);
        }
        EXPECT_UI(ui::AnswerMessageBox(box->window, IDOK));
    }
    EXPECT_GE(libraryMessages, 1);
    EXPECT_TRUE(shutUnderEveryBox) << "the main dialog stayed enabled under the library's message";
    // One Next, one outcome; the clicks made under the boxes did nothing.
    EXPECT_EQ(others, (std::vector<std::wstring>{Expected().printerNotFound}));
    EXPECT_TRUE(ui::NoMessageBoxFor(app->Id(), 2000));
    EXPECT_TRUE(app->process.Running());
    EXPECT_EQ(ui::ControlText(app->dialog, IDOK).value_or(L""), GetSettings().Japanese() ? L"次へ(&N)" : L"&Next");

    // Once the file is free, the same dialog identifies the printer.
    lock.Release();
    EXPECT_UI(ui::Click(app->dialog, IDOK));
    EXPECT_UI(ui::WaitForText(app->dialog, IDOK, GetSettings().Japanese() ? L"インストール" : L"Install", 20000));
    EXPECT_UI(ui::Click(app->dialog, IDCANCEL));
    const auto question = ui::FindMessageBox(app->Id());
    ASSERT_TRUE(question.has_value());
    EXPECT_EQ(question->text, Expected().confirmExit);
    EXPECT_UI(ui::AnswerMessageBox(question->window, IDYES));
    EXPECT_EQ(app->process.WaitForExit(kExitTimeoutMs), std::optional<DWORD>(1));
}

TEST_F(InstallUi, APrinterOfAnotherModelTypedInIsRefusedBeforeAnythingIsSent) {
    Prepare(9, {"model Zentil-1640"});
    App* app = Launch(GetSettings().installer, {}, kTitle);
    ASSERT_NE(app, nullptr);
    // The list does not offer it (another model): its address is typed in on the last row.
    const auto rows = ui::ComboRows(app->dialog, IDC_PRINTER_LIST);
    ASSERT_TRUE(rows.has_value() && !rows->empty());
    EXPECT_UI(ui::SelectComboRow(app->dialog, IDC_PRINTER_LIST, static_cast<int>(rows->size()) - 1));
    EXPECT_UI(ui::SetIpAddress(app->dialog, IDC_IP_ADDRESS, Widen(Address(9))));
    EXPECT_UI(ui::Click(app->dialog, IDOK));
    const auto box = ui::FindMessageBox(app->Id(), 20000);
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, Expected().unsupportedZentil1640);
    e2e::Screenshot(L"another-model");
    EXPECT_UI(ui::AnswerMessageBox(box->window, IDOK));
    EXPECT_EQ(m_sim.Show(Address(9), "update_mode_requests"), "0");
    EXPECT_EQ(m_sim.Show(Address(9), "firmware_connections"), "0");

    // Still in the selection step, and usable: the same printer as a Zentil-640 is identified.
    EXPECT_UI(ui::WaitForText(app->dialog, IDOK, GetSettings().Japanese() ? L"次へ(&N)" : L"&Next"));
    EXPECT_TRUE(ui::IsEnabled(app->dialog, IDC_IP_ADDRESS));
    m_sim.Command("set " + Address(9) + " model Zentil-640");
    EXPECT_UI(ui::Click(app->dialog, IDOK));
    EXPECT_UI(ui::WaitForText(app->dialog, IDOK, GetSettings().Japanese() ? L"インストール" : L"Install", 20000));
    EXPECT_UI(ui::Click(app->dialog, IDC_BACK));
    EXPECT_UI(ui::Click(app->dialog, IDCANCEL));
    EXPECT_EQ(app->process.WaitForExit(kExitTimeoutMs), std::optional<DWORD>(1));
}

}  // namespace
