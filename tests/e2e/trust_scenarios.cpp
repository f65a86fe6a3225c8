// Printer certificates, end to end: the installer under Wine against simulated printers with TLS.
// What the user is asked, what is remembered (the installer's file in the user's local application
// data), what is refused, what the printer received meanwhile, and that the user's trusted roots
// never change.
#include "tests/e2e/InstallScenario.h"

namespace install {
namespace {

class InstallTrust : public Install {
protected:
    void SetUp() override {
        Install::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ForgetRememberedCertificates();
        m_roots = UserTrustedRoots();
    }
    void TearDown() override {
        if (!IsSkipped()) {
            EXPECT_EQ(UserTrustedRoots(), m_roots) << "the user's trusted roots changed";
            ForgetRememberedCertificates();
        }
        Install::TearDown();
    }

    // The question the installer asks about printer `n`'s certificate as the simulator presents it.
    std::wstring Question(int n) {
        return Fill(Expected().trustQuestion, {L"Zentil-640", L"ZT640-00010" + std::to_wstring(n), Widen(Address(n)),
                                               FingerprintLines(m_sim.Show(Address(n), "certificate_sha256"))});
    }

    // Answers the certificate question with `answer`, every other Yes/No question with Yes.
    void AnswerTrustQuestion(int answer) {
        m_answerQuestion = [answer](const std::wstring& text) {
            return text.rfind(Fill(Expected().trustQuestion, {}).substr(0, 20), 0) == 0 ? answer : IDYES;
        };
    }

    // Nothing of an installation reached the printer: no update-mode request (the panel application
    // goes only to a printer in update mode), no firmware.
    void ExpectNothingSent(int n) {
        EXPECT_EQ(m_sim.Show(Address(n), "update_mode_requests"), "0");
        EXPECT_EQ(m_sim.Show(Address(n), "firmware_connections"), "0");
        EXPECT_EQ(m_sim.Show(Address(n), "state"), "ready");
    }

    std::string m_roots;
};

// The first time, the certificate is shown with the printer it belongs to; No ends before the
// printer is asked for anything, and nothing is remembered.
TEST_F(InstallTrust, TheFirstCertificateIsShownAndNoSendsNothing) {
    m_shotPrefix = L"first-no-";
    Prepare(1, {"tls on"});
    AnswerTrustQuestion(IDNO);
    App* app = Identified(1);
    ASSERT_NE(app, nullptr);
    const Outcome out = RunInstall(*app);
    EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, Question(1), Fill(Expected().certificateDeclined, {Expected().nothingSent})}));
    EXPECT_EQ(out.exitCode, std::optional<DWORD>(1));
    EXPECT_TRUE(out.dialogs.empty());
    ExpectNothingSent(1);
    EXPECT_EQ(m_sim.Show(Address(1), "data_connections"), "1") << "one connection that only saw the certificate";
    EXPECT_EQ(RememberedCertificates(), 0);
}

// Yes installs and remembers the certificate for this printer: the next installation asks
// nothing. Another printer presenting the same certificate is asked about as new; the printer
// presenting a new certificate is refused with both fingerprints; the printer asking for plain
// text after TLS is refused; the option /f forgets it.
TEST_F(InstallTrust, ACertificateTrustedOnceIsHeldToAfterwards) {
    Prepare(2, {"tls on"});
    const std::string shared = m_sim.Show(Address(2), "certificate_sha256");
    AnswerTrustQuestion(IDYES);
    {
        SCOPED_TRACE("first installation: asked, Yes");
        m_shotPrefix = L"held-yes-";
        App* app = Identified(2);
        ASSERT_NE(app, nullptr);
        const Outcome out = RunInstall(*app);
        EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, Question(2), Expected().succeeded}));
        EXPECT_EQ(out.exitCode, std::optional<DWORD>(0));
        ExpectFirmwareReceivedWhole(2);
        ExpectPackageReceivedWhole(2);
        ExpectVersions(2, "3.40", "3.0.1");
        EXPECT_EQ(RememberedCertificates(), 1);
        EXPECT_NE(CertificateFile().find("serial=ZT640-000102\taddress=" + Address(2) + "\tmodel=Zentil-640\tsha256=" + shared),
                  std::string::npos)
            << CertificateFile();
        m_apps.clear();
    }
    {
        SCOPED_TRACE("second installation (firmware only): nothing asked");
        m_shotPrefix = L"held-again-";
        Prepare(2, {"tls on", "panel 3.0.1"});
        App* app = Identified(2);
        ASSERT_NE(app, nullptr);
        const Outcome out = RunInstall(*app);
        EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().succeeded}));
        EXPECT_EQ(out.exitCode, std::optional<DWORD>(0));
        ExpectFirmwareReceivedWhole(2);
        m_apps.clear();
    }
    const std::string remembered = CertificateFile();
    {
        SCOPED_TRACE("another printer with the same certificate: asked as new");
        m_shotPrefix = L"held-other-";
        Prepare(3, {"tls on"});
        ASSERT_EQ(m_sim.Show(Address(3), "certificate_sha256"), shared);
        AnswerTrustQuestion(IDNO);
        App* app = Identified(3);
        ASSERT_NE(app, nullptr);
        const Outcome out = RunInstall(*app);
        EXPECT_EQ(out.messages, (std::vector<std::wstring>{Expected().timeQuestion, Question(3), Fill(Expected().certificateDeclined, {Expected().nothingSent})}));
        EXPECT_EQ(out.exitCode, std::optional<DWORD>(1));
        ExpectNothingSent(3);
        EXPECT_EQ(CertificateFile(), remembered);
        m_apps.clear();
    }
    {
        SCOPED_TRACE("the printer presents a new certificate: refused");
        m_shotPrefix = L"held-changed-";
        Prepare(2, {"tls on", "certificate renewed"});
        const std::string renewed = m_sim.Show(Address(2), "certificate_sha256");
        ASSERT_NE(renewed, shared);
        App* app = Identified(2);
        ASSERT_NE(app, nullptr);
        const Outcome out = RunInstall(*app);
        const std::wstring printer = L"Zentil-640 (ZT640-000102, " + Widen(Address(2)) + L")";
        EXPECT_EQ(out.messages,
                  (std::vector<std::wstring>{Expected().timeQuestion,
                                             Fill(Expected().certificateChanged,
                                                  {printer, Expected().nothingSent, FingerprintLines(shared),
                                                   FingerprintLines(renewed), L"ZT640-000102"})}));
        EXPECT_EQ(out.exitCode, std::optional<DWORD>(4));
        ExpectNothingSent(2);
        EXPECT_EQ(CertificateFile(), remembered) << "a changed certificate is never remembered";
        m_apps.clear();
    }
    {
        SCOPED_TRACE("the printer asks for plain text: refused");
        m_shotPrefix = L"held-plain-";
        Prepare(2, {});  // plain text, as Prepare leaves every printer
        App* app = Identified(2);
        ASSERT_NE(app, nullptr);
        const Outcome out = RunInstall(*app);
        EXPECT_EQ(out.messages,
                  (std::vector<std::wstring>{
                      Expected().timeQuestion,
                      Fill(Expected().plainAfterTls, {L"Zentil-640 (ZT640-000102, " + Widen(Address(2)) + L")",
                                                      Expected().nothingSent, L"ZT640-000102"})}));
        EXPECT_EQ(out.exitCode, std::optional<DWORD>(4));
        ExpectNothingSent(2);
        EXPECT_EQ(m_sim.Show(Address(2), "data_connections"), "0") << "nothing on TCP 9100 in plain text";
        m_apps.clear();
    }
    {
        SCOPED_TRACE("forgotten with /f");
        m_shotPrefix = L"held-forget-";
        App* app = Launch(GetSettings().installer, {L"/f", L"ZT640-000102"}, kTitle);
        ASSERT_NE(app, nullptr);
        const auto box = ui::ReadMessageBox(app->dialog);
        ASSERT_TRUE(box.has_value());
        EXPECT_EQ(box->text, Fill(Expected().certificateForgotten, {L"Zentil-640 (ZT640-000102, " + Widen(Address(2)) + L")"}));
        e2e::Screenshot(m_shotPrefix + L"message");
        EXPECT_UI(ui::AnswerMessageBox(app->dialog, IDOK));
        EXPECT_EQ(app->process.WaitForExit(kExitTimeoutMs), std::optional<DWORD>(0));
        EXPECT_EQ(RememberedCertificates(), 0);
    }
}

// A TLS printer that stops reading the firmware: each attempt ends within the same bound as in
// plain text (60 s without progress), so three attempts end the installation within about three
// minutes, with the message that sending failed.
TEST_F(InstallTrust, ATlsPrinterThatStopsReadingFailsWithinTheBound) {
    m_shotPrefix = L"stall-";
    Prepare(4, {"tls on", "data_stall_after 262144"});
    AnswerTrustQuestion(IDYES);
    App* app = Identified(4);
    ASSERT_NE(app, nullptr);
    const ULONGLONG start = ::GetTickCount64();
    const Outcome out = RunInstall(*app, IDYES, 400000);
    const ULONGLONG elapsed = ::GetTickCount64() - start;
    ASSERT_GE(out.messages.size(), 3u);
    EXPECT_EQ(out.messages.back(), Expected().firmSendFailed);
    EXPECT_EQ(out.exitCode, std::optional<DWORD>(4));
    EXPECT_EQ(m_sim.Show(Address(4), "firmware_connections"), "3");
    EXPECT_GE(elapsed, 170000u);
    EXPECT_LE(elapsed, 250000u) << "an attempt took longer than its bound";
}

}  // namespace
}  // namespace install
