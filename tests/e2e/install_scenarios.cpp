// Whole installations by the installer under Wine, driven from outside on the namespace harness
// against simulated printers: what the user is asked and told, the progress dialogs, the exit
// code, and what the printer received.
#include "tests/e2e/InstallScenario.h"

namespace {

using namespace install;

TEST_F(Install, BothPartsInstallAndThePrinterReportsTheNewVersions) {
    Prepare(1, {});
    App* app = Identified(1);
    ASSERT_NE(app, nullptr);
    const Outcome out = RunInstall(*app);
    EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, Expected().succeeded}));
    EXPECT_EQ(out.exitCode, std::optional<DWORD>(0));
    // The final dialog stays until the printer is back from its restart with the new versions.
    ASSERT_EQ(out.dialogs.size(), 3u);
    EXPECT_EQ(out.dialogs[0].stepLabel, L"1/2");
    EXPECT_EQ(out.dialogs[0].statusTexts, (std::vector<std::wstring>{Expected().installingFirmware}));
    EXPECT_EQ(out.dialogs[1].stepLabel, L"2/2");
    EXPECT_EQ(out.dialogs[1].statusTexts, (std::vector<std::wstring>{Expected().installingPanel}));
    EXPECT_EQ(out.dialogs[2].stepLabel, L"2/2");
    ExpectFinalDialogWaitedForTheRestart(out.dialogs[2]);
    ExpectFirmwareReceivedWhole(1);
    ExpectPackageReceivedWhole(1);
    EXPECT_EQ(m_sim.Show(Address(1), "update_mode_requests"), "1");
    ExpectVersions(1, "3.40", "3.0.1");
}

TEST_F(Install, FirmwareOnlyAsksNothingAndRunsTwoDialogs) {
    // The printer takes the restart request only at the 21st time: the final dialog repeats it.
    Prepare(2, {"panel 3.0.1", "refuse_reboots 20"});
    App* app = Identified(2);
    ASSERT_NE(app, nullptr);
    const Outcome out = RunInstall(*app);
    EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().succeeded}));
    EXPECT_EQ(out.exitCode, std::optional<DWORD>(0));
    EXPECT_EQ(StepLabels(out), (std::vector<std::wstring>{L"1/1", L"1/1"}));
    ASSERT_EQ(out.dialogs.size(), 2u);
    // The restart asked for 21 times: the dialog said so meanwhile, then what it waits for.
    EXPECT_EQ(out.dialogs[1].statusTexts, (std::vector<std::wstring>{Expected().rebooting, Expected().waitingForRestart}));
    ExpectFirmwareReceivedWhole(2);
    EXPECT_EQ(m_sim.Show(Address(2), "reboots_refused"), "20");
    EXPECT_EQ(m_sim.Show(Address(2), "package_result"), "");
    ExpectVersions(2, "3.40", "3.0.1");
}

TEST_F(Install, PanelOnlyAsksAndStillEntersUpdateMode) {
    Prepare(3, {"firmware 3.40", "refuse_reboots 20"});
    App* app = Identified(3);
    ASSERT_NE(app, nullptr);
    const Outcome out = RunInstall(*app);
    EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, Expected().succeeded}));
    EXPECT_EQ(out.exitCode, std::optional<DWORD>(0));
    EXPECT_EQ(StepLabels(out), (std::vector<std::wstring>{L"1/1", L"1/1"}));
    EXPECT_EQ(m_sim.Show(Address(3), "update_mode_requests"), "1");
    EXPECT_EQ(m_sim.Show(Address(3), "firmware_result"), "");
    ExpectPackageReceivedWhole(3);
    ExpectVersions(3, "3.40", "3.0.1");
}

TEST_F(Install, NoToTheTimeQuestionEndsWithCodeZeroAndLeavesThePrinterAlone) {
    Prepare(4, {});
    App* app = Identified(4);
    ASSERT_NE(app, nullptr);
    const Outcome out = RunInstall(*app, IDNO);
    EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, Expected().confirmExit}));
    EXPECT_EQ(out.exitCode, std::optional<DWORD>(0));
    EXPECT_TRUE(out.dialogs.empty());
    EXPECT_EQ(m_sim.Show(Address(4), "update_mode_requests"), "0");
}

TEST_F(Install, SubPowerOnStopsBeforeAnyProgressDialog) {
    Prepare(5, {"sub_power on"});
    App* app = Identified(5);
    ASSERT_NE(app, nullptr);
    const Outcome out = RunInstall(*app);
    EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, Expected().subPower}));
    EXPECT_EQ(out.exitCode, std::optional<DWORD>(4));
    EXPECT_TRUE(out.dialogs.empty());
    EXPECT_EQ(m_sim.Show(Address(5), "update_mode_requests"), "0");
}

TEST_F(Install, EscapeInTheFirmwareDialogCancels) {
    // The printer waits for its operator for a long time: the dialog waits with it.
    Prepare(6, {"opcode45_ms 600000"});
    App* app = Identified(6);
    ASSERT_NE(app, nullptr);
    bool pressed = false;
    const Outcome out = RunInstall(*app, IDYES, 60000, [&](SeenDialog& dialog) {
        if (pressed || dialog.statusTexts.empty() || dialog.statusTexts.back() != Expected().panelOperation) return;
        ::PostMessageW(dialog.window, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        ::PostMessageW(dialog.window, WM_KEYUP, VK_ESCAPE, 0xC0010001);
        pressed = true;
    });
    EXPECT_TRUE(pressed);
    EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, Expected().canceled}));
    EXPECT_EQ(out.exitCode, std::optional<DWORD>(1));
    ASSERT_EQ(out.dialogs.size(), 1u);
    EXPECT_EQ(m_sim.Show(Address(6), "firmware_result"), "");
    m_sim.Command("set " + Address(6) + " opcode45_ms 0");
}

TEST_F(Install, APanelThatDropsTheConnectionFailsThePanelPart) {
    Prepare(7, {"close_after_blocks 40"});
    App* app = Identified(7);
    ASSERT_NE(app, nullptr);
    const Outcome out = RunInstall(*app);
    EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, Expected().panelSendFailed}));
    EXPECT_EQ(out.exitCode, std::optional<DWORD>(4));
    EXPECT_EQ(out.dialogs.size(), 2u);
    ExpectFirmwareReceivedWhole(7);
}

TEST_F(Install, APrinterBusyAtItsPanelIsWaitedFor) {
    Prepare(8, {"opcode45_ms 4000"});
    App* app = Identified(8);
    ASSERT_NE(app, nullptr);
    const Outcome out = RunInstall(*app);
    EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, Expected().succeeded}));
    EXPECT_EQ(out.exitCode, std::optional<DWORD>(0));
    ASSERT_EQ(out.dialogs.size(), 3u);
    EXPECT_EQ(out.dialogs[0].statusTexts, (std::vector<std::wstring>{Expected().panelOperation, Expected().installingFirmware}));
    ExpectFirmwareReceivedWhole(8);
}

// Faults on the way that the installation rides out, or ends with its message.
class InstallFaults : public Install {};

TEST_F(InstallFaults, ADroppedOrCoalescedPanelAcknowledgementStillSucceeds) {
    const std::vector<std::string> faults[] = {{"ack_fault drop", "ack_fault_at 5"}, {"coalesce_ack on"}};
    int n = 1;
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.front());
        Prepare(n, fault);
        App* app = Identified(n);
        ASSERT_NE(app, nullptr);
        const Outcome out = RunInstall(*app);
        EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, Expected().succeeded}));
        EXPECT_EQ(out.exitCode, std::optional<DWORD>(0));
        ExpectPackageReceivedWhole(n);
        ++n;
    }
}

TEST_F(InstallFaults, APrinterThatStopsReadingFirmwareFailsWithinTheBound) {
    Prepare(3, {"data_stall_after 262144"});
    App* app = Identified(3);
    ASSERT_NE(app, nullptr);
    const ULONGLONG start = ::GetTickCount64();
    // Well into the stalled transfer the dialog still answers at once (it does not hang).
    std::optional<bool> answering;
    const Outcome out = RunInstall(*app, IDYES, 400000, [&](SeenDialog& dialog) {
        if (answering || ::GetTickCount64() - start < 20000) return;
        DWORD_PTR result = 0;
        answering = ::SendMessageTimeoutW(dialog.window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &result) != 0 &&
                    !::IsHungAppWindow(dialog.window);
        e2e::Screenshot(L"stalled");
    });
    const ULONGLONG seconds = (::GetTickCount64() - start) / 1000;
    EXPECT_EQ(answering, std::optional<bool>(true));
    EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, Expected().firmSendFailed}));
    EXPECT_EQ(out.exitCode, std::optional<DWORD>(4));
    EXPECT_EQ(out.dialogs.size(), 1u);
    // Three attempts of 60 s without progress each, and the waits around them.
    EXPECT_GE(seconds, 180u);
    EXPECT_LT(seconds, 260u);
    EXPECT_EQ(m_sim.Show(Address(3), "data_connections"), "3");
}

}  // namespace
