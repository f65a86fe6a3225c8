// The fixture of the installation scenarios: the installer under Wine, driven from outside on the
// namespace harness against simulated printers. Every printer of a run starts as a Zentil-640 with
// firmware 3.30 and panel application 3.0.0 (tests/e2e/CMakeLists.txt); each scenario uses a
// printer of its own and sets the faults it needs through the simulator's control port.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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
    // Templates: each %s in turn is what the installer fills in (Fill below).
    std::wstring trustQuestion, certificateDeclined, certificateChanged, plainAfterTls, certificateForgotten, nothingSent;
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
        L"Stopping once the step under way\nhas ended...",
        L"The printer presents a certificate that the installer does not know yet.\n\nPrinter:  %s\nSerial number:  "
        L"%s\nIP address:  %s\nSHA-256 fingerprint:\n%s\n\nCompare the fingerprint with the one the printer shows on "
        L"its panel or web page.\nDo you trust this certificate and want to continue?",
        L"The printer's certificate was not trusted, so the installation has been canceled.\n%s",
        L"The printer %s presented a different certificate from the one trusted before, so the installation has been "
        L"stopped.\n%s\n\nTrusted before:\n%s\nPresented now:\n%s\n\nEither the printer's certificate was renewed, or another "
        L"device is answering in the printer's place.\nIf the printer's panel or web page shows the new fingerprint, "
        L"make the installer forget the old certificate by starting it once with the option /f %s,\nthen try "
        L"installation again.",
        L"The printer %s communicated over a secure connection before, but now asks for an unencrypted one, so the "
        L"installation has been stopped.\n%s\nCheck the printer's security setting. If it was turned off on purpose, make the "
        L"installer forget the printer by starting it once with the option /f %s,\nthen try installation again.",
        L"The installer has forgotten the certificate of %s.\nThe next installation shows the printer's certificate "
        L"before trusting it.",
        L"Nothing was sent to the printer."};
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
        L"実行中の処理が終わりしだい\n中止します...",
        L"プリンターが、インストーラーの知らない証明書を提示しています。\n\nプリンター:  %s\nシリアル番号:  %s\nIP "
        L"アドレス:  %s\nSHA-256 フィンガープリント:\n%s\n\nプリンターのパネルまたは Web "
        L"ページに表示されるフィンガープリントと比べてください。\nこの証明書を信頼して続行しますか?",
        L"プリンターの証明書が信頼されなかったため、インストールを中止しました。\n%s",
        L"プリンター %s が以前に信頼した証明書とは別の証明書を提示したため、インストールを中止しました。\n%s\n\n以前に信頼した証明書:"
        L"\n%s\n今回提示された証明書:\n%s\n\nプリンターの証明書が更新されたか、別の機器がプリンターの代わりに応答している可"
        L"能性があります。\nプリンターのパネルまたは Web ページに新しいフィンガープリントが表示されている場合は、インストーラー"
        L"をオプション /f %s を付けて一度起動して古い証明書を忘れさせてから、\nもう一度インストールしてください。",
        L"プリンター %s は以前は暗号化された接続で通信していましたが、今回は暗号化しない接続を求めているため、インストールを"
        L"中止しました。\n%s\nプリンターのセキュリティ設定を確認してください。意図して無効にした場合は、インストーラーをオプション /f "
        L"%s を付けて一度起動してプリンターを忘れさせてから、\nもう一度インストールしてください。",
        L"%s の証明書を忘れました。\n次回のインストールでは、信頼する前にプリンターの証明書を表示します。",
        L"プリンターには何も送信していません。"};
    return GetSettings().Japanese() ? japanese : english;
}

inline constexpr DWORD kExitTimeoutMs = 15000;

// Each %s of `text` in turn replaced by the next value.
inline std::wstring Fill(std::wstring text, const std::vector<std::wstring>& values) {
    std::size_t from = 0;
    for (const std::wstring& value : values) {
        const std::size_t at = text.find(L"%s", from);
        if (at == std::wstring::npos) break;
        text.replace(at, 2, value);
        from = at + value.size();
    }
    return text;
}

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

// Where the README says the installer remembers the printer certificates it trusts.
inline std::wstring CertificateFilePath() {
    PWSTR folder = nullptr;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder))) return {};
    std::wstring path = std::wstring(folder) + L"\\Corvane\\Firmware Installer\\printer-certificates.txt";
    ::CoTaskMemFree(folder);
    return path;
}

// The file's content; empty when there is none.
inline std::string CertificateFile() {
    std::string content;
    if (FILE* file = ::_wfopen(CertificateFilePath().c_str(), L"rb")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, n);
        std::fclose(file);
    }
    return content;
}

// The printers the file holds a certificate for: lines that are not comments.
inline int RememberedCertificates() {
    int count = 0;
    const std::string content = CertificateFile();
    for (std::size_t at = 0; at < content.size();) {
        const std::size_t end = std::min(content.find('\n', at), content.size());
        if (end > at && content[at] != '#') ++count;
        at = end + 1;
    }
    return count;
}

inline void ForgetRememberedCertificates() { ::DeleteFileW(CertificateFilePath().c_str()); }

// The current user's own trusted roots (the registry store, not the machine's): their SHA-1
// thumbprints in store order, so that any change shows.
inline std::string UserTrustedRoots() {
    const HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                             CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"Root");
    if (!store) return "(none)";
    std::string roots;
    for (PCCERT_CONTEXT c = nullptr; (c = ::CertEnumCertificatesInStore(store, c)) != nullptr;) {
        unsigned char hash[20];
        DWORD size = sizeof hash;
        if (::CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, hash, &size)) {
            static const char kDigits[] = "0123456789abcdef";
            for (DWORD i = 0; i < size; ++i) (roots += kDigits[hash[i] >> 4]) += kDigits[hash[i] & 15];
            roots += ' ';
        }
    }
    ::CertCloseStore(store, 0);
    return roots;
}

// "AB:CD:..." over two lines of sixteen bytes, as the installer shows a lower-case hex SHA-256.
inline std::wstring FingerprintLines(const std::string& hex) {
    std::wstring text;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        if (i > 0) text += i == 32 ? L'\n' : L':';
        text += static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(hex[i])));
        text += static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(hex[i + 1])));
    }
    return text;
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
    // run may have installed onto it) without TLS, sets the scenario's settings and faults ("key value" each)
    // and waits until it is ready.
    void Prepare(int n, const std::vector<std::string>& settings) {
        // A restart still running would end with the versions it installed.
        EXPECT_TRUE(m_sim.WaitFor(Address(n), "state", "ready"));
        m_sim.Command("set " + Address(n) + " firmware 3.30");
        m_sim.Command("set " + Address(n) + " panel 3.0.0");
        // Plain text and the certificate every printer starts with, whatever a scenario before set.
        m_sim.Command("set " + Address(n) + " tls off");
        m_sim.Command("set " + Address(n) + " certificate shared");
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
                                       : yesNo                              ? m_answerQuestion(box->text)
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
    // How RunInstall answers a Yes/No question other than the question of time.
    std::function<int(const std::wstring&)> m_answerQuestion = [](const std::wstring&) { return IDYES; };
    // Put before the names of the screenshots RunInstall takes: a scenario of several cases
    // keeps each case's.
    std::wstring m_shotPrefix;
};

}  // namespace install
