// Whole installations by the installer under Wine, driven from outside on the namespace harness
// against simulated printers: what the user is asked and told, the progress dialogs, the exit
// code, and what the printer received. Every printer of the run starts as a Zentil-640 with
// firmware 3.30 and panel application 3.0.0 (tests/e2e/CMakeLists.txt); each scenario uses a
// printer of its own and sets the faults it needs through the simulator's control port.
#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/resource.h"
#include "tests/e2e/ScenarioSupport.h"
#include "tests/windows/SimControl.h"

namespace {

using e2e::App;
using e2e::GetSettings;
using e2e::Widen;

const std::wstring kTitle = L"Corvane Firmware Installer";
// The English and Japanese texts the scenarios look for.
struct Texts {
    std::wstring timeQuestion, confirmExit, succeeded, subPower, canceled, firmSendFailed, panelSendFailed,
        installingFirmware, installingPanel, rebooting, panelOperation;
};

const Texts& Expected() {
    static const Texts english{
        L"The installation takes about 5 minutes.\nDo you want to continue?",
        L"Are you sure to exit without installation?",
        L"The installation of firmware was successful.",
        L"Turn off SUB power.",
        L"The installation has been canceled.",
        L"Failed to send firmware.\nTurn off main power and turn it on,\nthen try installation again.",
        L"Failed to send panelapplication.\nTurn off main power and turn it on,\nthen try installation again.",
        L"Installing and checking firmware...",
        L"Installing and checking panelapplication...",
        L"Rebooting printer...\nPlease wait a little.",
        L"Starting the installation, please complete the panel operations."};
    static const Texts japanese{
        L"インストールには約 5 分かかります。\n続行しますか?",
        L"インストールせずに終了しますか?",
        L"ファームウェアのインストールが完了しました。",
        L"サブ電源を切ってください。",
        L"インストールを中止しました。",
        L"ファームウェアの送信に失敗しました。\n主電源を切ってから入れ直し、\nもう一度インストールしてください。",
        L"パネルアプリケーションの送信に失敗しました。\n主電源を切ってから入れ直し、\nもう一度インストールしてください。",
        L"ファームウェアをインストールして確認しています...",
        L"パネルアプリケーションをインストールして確認しています...",
        L"プリンターを再起動しています...\nしばらくお待ちください。",
        L"インストールを開始します。プリンターのパネルで操作を完了してください。"};
    return GetSettings().Japanese() ? japanese : english;
}

constexpr DWORD kExitTimeoutMs = 15000;
constexpr wchar_t kCertificateStore[] = L"CorvanePrinterCertificates";

// A progress dialog as it was seen while the installation ran.
struct SeenDialog {
    HWND window = nullptr;
    std::wstring stepLabel;
    std::vector<std::wstring> statusTexts;  // each change, in order
    std::wstring lastPercent;
    bool movingShot = false;
};

struct Outcome {
    std::vector<std::wstring> messages;  // every message box, in order
    std::vector<SeenDialog> dialogs;
    std::optional<DWORD> exitCode;
};

std::wstring ReadText(HWND dialog, int id) { return ui::ControlText(dialog, id).value_or(L""); }

// The lower-case hex digest (L"SHA256", L"MD5") of a file; empty when it cannot be read.
std::string FileDigest(const std::wstring& path, const wchar_t* algorithm) {
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&provider, algorithm, nullptr, 0))) return {};
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::string hex;
    if (BCRYPT_SUCCESS(::BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0))) {
        bool read = false;
        if (FILE* file = ::_wfopen(path.c_str(), L"rb")) {
            std::vector<unsigned char> buffer(1 << 16);
            size_t n;
            while ((n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
                ::BCryptHashData(hash, buffer.data(), static_cast<ULONG>(n), 0);
            }
            read = !std::ferror(file);
            std::fclose(file);
        }
        DWORD size = 0, got = 0;
        ::BCryptGetProperty(provider, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&size), sizeof size, &got, 0);
        std::vector<unsigned char> digest(size);
        if (read && BCRYPT_SUCCESS(::BCryptFinishHash(hash, digest.data(), size, 0))) {
            static const char kDigits[] = "0123456789abcdef";
            for (unsigned char b : digest) {
                hex += kDigits[b >> 4];
                hex += kDigits[b & 15];
            }
        }
        ::BCryptDestroyHash(hash);
    }
    ::BCryptCloseAlgorithmProvider(provider, 0);
    return hex;
}

// The certificates the installer remembered for printers (the current user's store of its own).
int RememberedCertificates() {
    const HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                             CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG,
                                             kCertificateStore);
    if (!store) return 0;
    int count = 0;
    for (PCCERT_CONTEXT c = nullptr; (c = ::CertEnumCertificatesInStore(store, c)) != nullptr;) ++count;
    ::CertCloseStore(store, 0);
    return count;
}

void ForgetRememberedCertificates() {
    ::CertUnregisterSystemStore(kCertificateStore, CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_DELETE_FLAG);
}

class Install : public e2e::Scenario {
protected:
    void SetUp() override {
        if (GetSettings().installer.empty() || !GetSettings().OnHarness()) {
            GTEST_SKIP() << "needs E2E_INSTALLER and the namespace harness (run-scenario.sh)";
        }
        ASSERT_TRUE(m_sim.Connected());
    }

    std::string Address(int n) const { return GetSettings().Printer(n); }

    // Sets the printer's settings and faults ("key value" each) and waits until it is ready.
    void Prepare(int n, const std::vector<std::string>& settings) {
        // A restart still running would end with the versions it installed.
        EXPECT_TRUE(m_sim.WaitFor(Address(n), "state", "ready"));
        for (const std::string& setting : settings) m_sim.Command("set " + Address(n) + " " + setting);
        m_sim.Command("clear " + Address(n));
        EXPECT_TRUE(m_sim.WaitFor(Address(n), "state", "ready"));
    }

    // The installer for printer `n`, identified, in its confirmation step.
    App* Identified(int n) {
        App* app = Launch(GetSettings().installer, {L"-i", Widen(Address(n))}, kTitle);
        if (!app) return nullptr;
        EXPECT_UI(ui::GetIpAddress(app->dialog, IDC_IP_ADDRESS).has_value());
        if (ui::ComboSelection(app->dialog, IDC_PRINTER_LIST) < 0) {
            EXPECT_UI(ui::SetIpAddress(app->dialog, IDC_IP_ADDRESS, Widen(Address(n))));
        }
        EXPECT_UI(ui::Click(app->dialog, IDOK));
        EXPECT_UI(ui::WaitForText(app->dialog, IDOK, GetSettings().Japanese() ? L"インストール" : L"Install", 20000));
        return app;
    }

    // Presses Install and follows the installation to the end of the process: answers the time
    // question with `timeAnswer` and every other message with OK, watches the progress dialogs
    // (a screenshot of each as it first shows, `onDialog` called on each tick it is seen).
    Outcome RunInstall(App& app, int timeAnswer = IDYES, DWORD timeoutMs = 240000,
                       const std::function<void(SeenDialog&)>& onDialog = {}) {
        Outcome out;
        EXPECT_UI(ui::Click(app.dialog, IDOK));
        const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
        while (app.process.Running() && ::GetTickCount64() < deadline) {
            for (HWND window : ui::TopLevelWindows(app.Id())) {
                if (!::IsWindowVisible(window)) continue;
                if (ui::IsMessageBox(window)) {
                    const auto box = ui::ReadMessageBox(window);
                    if (!box) continue;
                    out.messages.push_back(box->text);
                    e2e::Screenshot(L"message-" + std::to_wstring(out.messages.size()));
                    const int answer = box->text == Expected().timeQuestion ? timeAnswer : IDOK;
                    EXPECT_UI(ui::AnswerMessageBox(window, answer));
                    break;
                }
                if (::GetDlgItem(window, IDC_PROGRESS)) Follow(window, out, onDialog);
            }
            ::Sleep(30);
        }
        out.exitCode = app.process.WaitForExit(kExitTimeoutMs);
        return out;
    }

    void Follow(HWND window, Outcome& out, const std::function<void(SeenDialog&)>& onDialog) {
        SeenDialog* seen = nullptr;
        for (SeenDialog& d : out.dialogs) {
            if (d.window == window) seen = &d;
        }
        const bool first = !seen;
        if (first) {
            SeenDialog fresh;
            fresh.window = window;
            out.dialogs.push_back(fresh);
            seen = &out.dialogs.back();
        }
        const std::wstring status = ReadText(window, IDC_STATUS_TEXT);
        if (!status.empty() && (seen->statusTexts.empty() || seen->statusTexts.back() != status)) {
            seen->statusTexts.push_back(status);
        }
        // A read fails while the installer's thread is busy in a port call: keep what was seen.
        if (const std::wstring label = ReadText(window, IDC_STEP_LABEL); !label.empty()) seen->stepLabel = label;
        if (const std::wstring percent = ReadText(window, IDC_PERCENT); !percent.empty()) seen->lastPercent = percent;
        const std::wstring name = L"progress-" + std::to_wstring(out.dialogs.size());
        if (first) e2e::Screenshot(name);
        // Once more with the bar well on its way.
        const int percent = std::wcstol(seen->lastPercent.c_str(), nullptr, 10);
        if (!seen->movingShot && percent >= 30 && percent < 70) {
            seen->movingShot = true;
            e2e::Screenshot(name + L"-moving");
        }
        if (onDialog) onDialog(*seen);
    }

    static std::vector<std::wstring> StepLabels(const Outcome& out) {
        std::vector<std::wstring> labels;
        for (const SeenDialog& d : out.dialogs) labels.push_back(d.stepLabel);
        return labels;
    }

    // Waits for the printer's restart to end and checks the versions it then reports.
    void ExpectVersions(int n, const std::string& firmware, const std::string& panel) {
        EXPECT_TRUE(m_sim.WaitFor(Address(n), "state", "ready"));
        EXPECT_EQ(m_sim.Show(Address(n), "firmware"), firmware);
        EXPECT_EQ(m_sim.Show(Address(n), "panel"), panel);
    }

    void ExpectFirmwareReceivedWhole(int n) {
        const std::string expected = FileDigest(ui::WindowsPath(Widen(E2E_RESTORED_FIRMWARE)), BCRYPT_SHA256_ALGORITHM);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(m_sim.Show(Address(n), "firmware_result"), "accepted");
        EXPECT_EQ(m_sim.Show(Address(n), "firmware_sha256"), expected);
    }

    void ExpectPackageReceivedWhole(int n) {
        const std::string expected = FileDigest(ui::WindowsPath(Widen(E2E_PANEL_PACKAGE)), BCRYPT_MD5_ALGORITHM);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(m_sim.Show(Address(n), "package_result"), "accepted");
        EXPECT_EQ(m_sim.Show(Address(n), "package_md5"), expected);
        EXPECT_EQ(m_sim.Show(Address(n), "package_digest"), expected);
    }

    SimControl m_sim;
};

TEST_F(Install, BothPartsInstallAndThePrinterReportsTheNewVersions) {
    Prepare(1, {});
    App* app = Identified(1);
    ASSERT_NE(app, nullptr);
    const Outcome out = RunInstall(*app);
    EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, Expected().succeeded}));
    EXPECT_EQ(out.exitCode, std::optional<DWORD>(0));
    // The final dialog may come and go between two looks: a printer that takes the restart
    // request at once lets it end on its first poll (the scenarios below hold it longer).
    ASSERT_GE(out.dialogs.size(), 2u);
    EXPECT_EQ(out.dialogs[0].stepLabel, L"1/2");
    EXPECT_EQ(out.dialogs[0].statusTexts, (std::vector<std::wstring>{Expected().installingFirmware}));
    EXPECT_EQ(out.dialogs[1].stepLabel, L"2/2");
    EXPECT_EQ(out.dialogs[1].statusTexts, (std::vector<std::wstring>{Expected().installingPanel}));
    if (out.dialogs.size() > 2) {
        EXPECT_EQ(out.dialogs[2].stepLabel, L"2/2");
        EXPECT_EQ(out.dialogs[2].statusTexts, (std::vector<std::wstring>{Expected().rebooting}));
    }
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
    if (out.dialogs.size() == 2) {
        EXPECT_EQ(out.dialogs[1].statusTexts, (std::vector<std::wstring>{Expected().rebooting}));
    }
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

TEST_F(Install, APrinterWithTlsIsRememberedAndTrustedTheSecondTime) {
    ForgetRememberedCertificates();
    ASSERT_EQ(RememberedCertificates(), 0);
    Prepare(9, {"tls on"});
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(testing::Message() << "installation " << round);
        App* app = Identified(9);
        ASSERT_NE(app, nullptr);
        const Outcome out = RunInstall(*app);
        EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, Expected().succeeded}));
        EXPECT_EQ(out.exitCode, std::optional<DWORD>(0));
        ExpectFirmwareReceivedWhole(9);
        ExpectPackageReceivedWhole(9);
        EXPECT_EQ(RememberedCertificates(), 1);
        ExpectVersions(9, "3.40", "3.0.1");
        Prepare(9, {"firmware 3.30", "panel 3.0.0"});
        m_apps.clear();
    }
    ForgetRememberedCertificates();
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
