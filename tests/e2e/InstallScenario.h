// The fixture of the installation scenarios: the installer under Wine, driven from outside on the
// namespace harness against simulated printers. Every printer of a run starts as a Zentil-640 with
// firmware 3.30 and panel application 3.0.0 (tests/e2e/CMakeLists.txt); each scenario uses a
// printer of its own and sets the faults it needs through the simulator's control port.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/resource.h"
#include "tests/e2e/ScenarioSupport.h"
#include "tests/windows/SimControl.h"

namespace install {

using e2e::App;
using e2e::GetSettings;
using e2e::Widen;

inline const std::wstring kTitle = L"Corvane Firmware Installer";
// The English and Japanese texts the scenarios look for.
struct Texts {
    std::wstring timeQuestion, confirmExit, succeeded, subPower, canceled, firmSendFailed, panelSendFailed,
        installingFirmware, installingPanel, rebooting, panelOperation, waitingForRestart, firmInstallFailed,
        restartRefused, notConfirmed, unsupportedZentil1640, printerNotFound, stopping;
};

inline const Texts& Expected() {
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
        L"Starting the installation, please complete the panel operations.",
        L"Waiting for the printer to restart\nand report the installed versions...",
        L"Failed to install firmware.\nTurn off main power and turn it on,\nthen try installation again.",
        L"The printer did not restart, so the installation could not be completed.\nTurn off main power and turn it "
        L"on,\nthen try installation again.",
        L"The installation was sent to the printer, but it could not be confirmed:\nthe printer has not answered for "
        L"5 minutes since it began to restart.\nCheck that the printer is on and connected to the network,\nthen "
        L"check the versions on the printer's panel.",
        L"This installer doesn't support Zentil-1640.\nDownload a proper installer for your printer.",
        L"Cannot find a printer.\nFill in IP address again or turn on main power.",
        L"Stopping once the step under way\nhas ended..."};
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
        L"インストールを開始します。プリンターのパネルで操作を完了してください。",
        L"プリンターの再起動と、インストールした\nバージョンの報告を待っています...",
        L"ファームウェアのインストールに失敗しました。\n主電源を切ってから入れ直し、\nもう一度インストールしてください。",
        L"プリンターが再起動しなかったため、インストールを完了できませんでした。\n主電源を切ってから入れ直し、\nもう一度インストールしてください。",
        L"インストールはプリンターに送信されましたが、確認できませんでした。\nプリンターが再起動を始めてから 5 "
        L"分間応答がありません。\nプリンターの電源が入っていてネットワークに接続されていることを確認し、\nプリンターのパネルでバージョンを確認してください。",
        L"このインストーラーは Zentil-1640 に対応していません。\nお使いのプリンター用のインストーラーをダウンロードしてください。",
        L"プリンターが見つかりません。\nIP アドレスを入力し直すか、主電源を入れてください。",
        L"実行中の処理が終わりしだい\n中止します..."};
    return GetSettings().Japanese() ? japanese : english;
}

inline constexpr DWORD kExitTimeoutMs = 15000;
inline constexpr wchar_t kCertificateStore[] = L"CorvanePrinterCertificates";

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
    std::vector<ULONGLONG> messageTimes;  // when each was first seen (GetTickCount64)
    std::vector<SeenDialog> dialogs;
    std::optional<DWORD> exitCode;
};

inline std::wstring ReadText(HWND dialog, int id) { return ui::ControlText(dialog, id).value_or(L""); }

// The lower-case hex digest (L"SHA256", L"MD5") of a file; empty when it cannot be read.
inline std::string FileDigest(const std::wstring& path, const wchar_t* algorithm) {
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
inline int RememberedCertificates() {
    const HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                             CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG,
                                             kCertificateStore);
    if (!store) return 0;
    int count = 0;
    for (PCCERT_CONTEXT c = nullptr; (c = ::CertEnumCertificatesInStore(store, c)) != nullptr;) ++count;
    ::CertCloseStore(store, 0);
    return count;
}

inline void ForgetRememberedCertificates() {
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

    // Puts the printer back to firmware 3.30 and panel application 3.0.0 (a scenario of the same
    // run may have installed onto it), sets the scenario's settings and faults ("key value" each)
    // and waits until it is ready.
    void Prepare(int n, const std::vector<std::string>& settings) {
        // A restart still running would end with the versions it installed.
        EXPECT_TRUE(m_sim.WaitFor(Address(n), "state", "ready"));
        m_sim.Command("set " + Address(n) + " firmware 3.30");
        m_sim.Command("set " + Address(n) + " panel 3.0.0");
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
                    out.messageTimes.push_back(::GetTickCount64());
                    e2e::Screenshot(m_shotPrefix + L"message-" + std::to_wstring(out.messages.size()));
                    // The question of the abort gesture is answered Yes: the user means it.
                    const bool yesNo = std::find(box->buttons.begin(), box->buttons.end(), IDYES) != box->buttons.end();
                    const int answer = box->text == Expected().timeQuestion ? timeAnswer
                                       : yesNo                              ? IDYES
                                                                            : IDOK;
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
        bool statusChanged = false;
        if (!status.empty() && (seen->statusTexts.empty() || seen->statusTexts.back() != status)) {
            seen->statusTexts.push_back(status);
            statusChanged = seen->statusTexts.size() > 1;
        }
        // A read fails while the installer's thread is busy in a port call: keep what was seen.
        if (const std::wstring label = ReadText(window, IDC_STEP_LABEL); !label.empty()) seen->stepLabel = label;
        if (const std::wstring percent = ReadText(window, IDC_PERCENT); !percent.empty()) seen->lastPercent = percent;
        const std::wstring name = m_shotPrefix + L"progress-" + std::to_wstring(out.dialogs.size());
        if (first) e2e::Screenshot(name);
        if (statusChanged) e2e::Screenshot(name + L"-status-" + std::to_wstring(seen->statusTexts.size()));
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

    // The final dialog said it restarts the printer, then what it waits for.
    static void ExpectFinalDialogWaitedForTheRestart(const SeenDialog& dialog) {
        ASSERT_FALSE(dialog.statusTexts.empty());
        EXPECT_EQ(dialog.statusTexts.back(), Expected().waitingForRestart);
        for (const std::wstring& text : dialog.statusTexts) {
            EXPECT_TRUE(text == Expected().rebooting || text == Expected().waitingForRestart) << ui::Utf8(text);
        }
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
    // Put before the names of the screenshots RunInstall takes: a scenario of several cases
    // keeps each case's.
    std::wstring m_shotPrefix;
};

}  // namespace install
