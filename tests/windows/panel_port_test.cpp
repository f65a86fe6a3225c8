// The panel port through Winsock under Wine, against the printer simulator (@2 plain, @3 with TLS):
// the panel transfer with the port the installer registers, the panel's faults, the install
// request, the whole exchange over TLS, and the named mutex the port holds.
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>

#include "app/win32/Startup.h"
#include "common/Clock.h"
#include "common/Text.h"
#include "common/win32/UniqueHandle.h"
#include "ports/win32/PanelPortSystem.h"
#include "tests/native/fakes/MemoryCertificateFile.h"
#include "tests/native/fakes/TransferSupport.h"
#include "tests/windows/SimControl.h"
#include "update/CertificateMemory.h"
#include "update/PanelUpdater.h"
#include "update/PrinterTrust.h"

namespace {

// The MD5 digest as lower-case hex, from the system's own provider.
std::string Md5Hex(const std::vector<std::uint8_t>& bytes) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    std::string text;
    if (::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        if (::CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
            BYTE digest[16];
            DWORD size = sizeof digest;
            if (::CryptHashData(hash, bytes.data(), static_cast<DWORD>(bytes.size()), 0) &&
                ::CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) {
                static const char kHex[] = "0123456789abcdef";
                for (DWORD i = 0; i < size; ++i) {
                    text += kHex[digest[i] >> 4];
                    text += kHex[digest[i] & 0x0F];
                }
            }
            ::CryptDestroyHash(hash);
        }
        ::CryptReleaseContext(provider, 0);
    }
    return text;
}

const std::vector<std::uint8_t>& TestPackage() {
    static const std::vector<std::uint8_t> package = Package(300 * 1024 + 517);
    return package;
}

bool MutexExists(const wchar_t* name) {
    UniqueKernelObject mutex(::OpenMutexW(SYNCHRONIZE, FALSE, name));
    return static_cast<bool>(mutex);
}

class PanelPort : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_sim.Connected());
        ASSERT_EQ(m_digest.size(), 32u);
        m_sim.Command("clear " + m_address);
        for (const char* fault : {"ack_fault none", "coalesce_ack off", "close_after_blocks none"}) {
            m_sim.Command("set " + m_address + " " + fault);
        }
        // The port the installer itself registers at start-up.
        WirePlatform();
        m_updater = std::make_shared<CPanelUpdater>(nullptr);
        const std::vector<std::uint8_t>& package = TestPackage();
        m_updater->SetTransferInfo(text::WidenBytes(m_address), L"3.40", L"PanelApplication", L"3.0.1", package.data(),
                                   package.size(), std::to_wstring(package.size()), text::WidenBytes(m_digest));
    }

    std::shared_ptr<CPanelUpdater> MakeUpdater() {
        auto updater = std::make_shared<CPanelUpdater>(MakePanelNetworkPort(), m_clock);
        const std::vector<std::uint8_t>& package = TestPackage();
        updater->SetTransferInfo(text::WidenBytes(m_address), L"3.40", L"PanelApplication", L"3.0.1", package.data(),
                                 package.size(), std::to_wstring(package.size()), text::WidenBytes(m_digest));
        return updater;
    }

    std::vector<std::string> RetryLines() {
        std::vector<std::string> retries;
        for (const std::string& line : m_sim.PanelLog(m_address)) {
            if (line.rfind("R ", 0) == 0) retries.push_back(line);
        }
        return retries;
    }

    void ExpectAccepted(const CPanelUpdater& updater) {
        EXPECT_EQ(updater.m_nState, kPanelTransferred);
        EXPECT_EQ(m_sim.Show(m_address, "package_result"), "accepted");
        EXPECT_EQ(m_sim.Show(m_address, "package_size"), std::to_string(TestPackage().size()));
        EXPECT_EQ(m_sim.Show(m_address, "package_md5"), m_digest);
    }

    SimControl m_sim;
    const std::string m_address = m_sim.Printer(2);
    const std::string m_digest = Md5Hex(TestPackage());
    NoPauseClock m_clock;
    std::shared_ptr<CPanelUpdater> m_updater;
};

TEST_F(PanelPort, TheRegisteredPortSendsThePackageAndLaterTheInstallRequest) {
    ASSERT_EQ(m_updater->TransferThread(), 1);
    ExpectAccepted(*m_updater);
    EXPECT_TRUE(RetryLines().empty());
    EXPECT_TRUE(MutexExists(L"Global\\PanelUpdater")) << "held while the port lives";

    EXPECT_EQ(m_sim.Show(m_address, "panel_install"), "no");
    ASSERT_TRUE(m_updater->StartPanelInstall(m_address.c_str()));
    EXPECT_EQ(m_updater->m_nState, kPanelInstalling);
    EXPECT_TRUE(m_sim.WaitFor(m_address, "panel_install", "started"));
}

TEST_F(PanelPort, ALostAcknowledgementSendsTheCommandAgain) {
    const auto updater = MakeUpdater();
    m_sim.Command("set " + m_address + " ack_fault drop");
    m_sim.Command("set " + m_address + " ack_fault_at 40");
    ASSERT_EQ(updater->TransferThread(), 1);
    ExpectAccepted(*updater);
    const std::vector<std::string> retries = RetryLines();
    ASSERT_EQ(retries.size(), 1u);
    EXPECT_EQ(retries[0].substr(0, 7), "R E007 ") << retries[0];
    EXPECT_EQ(retries[0].substr(retries[0].size() - 3), " 01") << retries[0];
}

TEST_F(PanelPort, AWrongAcknowledgementIsAnUnexpectedAnswerAndTheCommandGoesAgain) {
    m_sim.Command("set " + m_address + " ack_fault corrupt");
    m_sim.Command("set " + m_address + " ack_fault_at 1");
    {
        std::unique_ptr<CZPanelNetworkPort> port = MakePanelNetworkPort();
        port->setHost(text::WidenBytes(m_address));
        ASSERT_TRUE(port->open());
        // Starting at the last attempt shows the verdict on the wrong acknowledgement itself.
        const std::vector<std::uint8_t> versions(15, ' ');
        EXPECT_FALSE(port->sendCommand(15, kPanelSessionStart, 2, versions.data()));
        EXPECT_EQ(port->getLastError(), 8);
    }

    m_sim.Command("clear " + m_address);
    m_sim.Command("set " + m_address + " ack_fault_at 7");
    const auto updater = MakeUpdater();
    ASSERT_EQ(updater->TransferThread(), 1);
    ExpectAccepted(*updater);
    const std::vector<std::string> retries = RetryLines();
    ASSERT_EQ(retries.size(), 1u);
    EXPECT_EQ(retries[0].substr(retries[0].size() - 3), " 01") << retries[0];
}

TEST_F(PanelPort, APanelThatHangsUpEndsTheTransferAsFailed) {
    const auto updater = MakeUpdater();
    m_sim.Command("set " + m_address + " close_after_blocks 3");
    const std::uint64_t start = SystemClock().TickCount();
    EXPECT_EQ(updater->TransferThread(), 0);
    EXPECT_LT(SystemClock().TickCount() - start, 20000u) << "noticed without waiting out the reply time";
    EXPECT_EQ(updater->m_nState, kPanelIdle);
    EXPECT_EQ(updater->m_nBlocksSent, -1);
}

TEST_F(PanelPort, AcknowledgementsSharingASegmentWithTheNextMessageLoseNothing) {
    const auto updater = MakeUpdater();
    m_sim.Command("set " + m_address + " coalesce_ack on");
    const std::uint64_t start = SystemClock().TickCount();
    ASSERT_EQ(updater->TransferThread(), 1);
    EXPECT_LT(SystemClock().TickCount() - start, 20000u) << "no message waited out";
    ExpectAccepted(*updater);
}


// The installer's own package, 8.7 MB, to a panel that asks for TLS (@3): every frame and
// acknowledgement goes through the TLS socket, and the install request on a later connection.
// Each connection shows the panel's certificate to the trust first: asked about once, then
// remembered.
TEST_F(PanelPort, TheRealPackageGoesOverTlsToASecurePanel) {
    const std::string secure = m_sim.Printer(3);
    m_sim.Command("clear " + secure);
    std::ifstream in(PANEL_PACKAGE_PATH, std::ios::binary);
    const std::vector<std::uint8_t> package{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_EQ(package.size(), 8700000u);
    const std::string digest = Md5Hex(package);

    MemoryCertificateFile file;
    CCertificateMemory memory(file);
    int questions = 0;
    auto trust = std::make_shared<CPrinterTrust>(PrinterIdentity{L"", text::WidenBytes(secure), L"", L""}, memory,
                                                 [&](const PrinterIdentity&, const CertificateFingerprint&) {
                                                     ++questions;
                                                     return true;
                                                 });
    auto updater = std::make_shared<CPanelUpdater>(MakePanelNetworkPort(), m_clock);
    updater->SetPeerTrust(trust);
    updater->SetTransferInfo(text::WidenBytes(secure), L"3.40", L"PanelApplication", L"3.0.1", package.data(),
                             package.size(), std::to_wstring(package.size()), text::WidenBytes(digest));
    ASSERT_EQ(updater->TransferThread(), 1);
    EXPECT_EQ(updater->m_nState, kPanelTransferred);
    EXPECT_EQ(m_sim.Show(secure, "package_result"), "accepted");
    EXPECT_EQ(m_sim.Show(secure, "package_size"), "8700000");
    EXPECT_EQ(m_sim.Show(secure, "package_md5"), digest);

    ASSERT_TRUE(updater->StartPanelInstall(secure.c_str()));
    EXPECT_TRUE(m_sim.WaitFor(secure, "panel_install", "started"));
    EXPECT_EQ(questions, 1);
    EXPECT_NE(file.content.find("sha256=" + m_sim.Show(secure, "certificate_sha256")), std::string::npos);

    // A panel whose certificate the trust refuses is sent nothing.
    m_sim.Command("clear " + secure);
    m_sim.Command("set " + secure + " certificate other-" + std::to_string(::GetCurrentProcessId()));
    auto refused = std::make_shared<CPanelUpdater>(MakePanelNetworkPort(), m_clock);
    auto fresh = std::make_shared<CPrinterTrust>(PrinterIdentity{L"", text::WidenBytes(secure), L"", L""}, memory,
                                                 [](const PrinterIdentity&, const CertificateFingerprint&) { return true; });
    refused->SetPeerTrust(fresh);
    refused->SetTransferInfo(text::WidenBytes(secure), L"3.40", L"PanelApplication", L"3.0.1", package.data(),
                             package.size(), std::to_wstring(package.size()), text::WidenBytes(digest));
    EXPECT_EQ(refused->TransferThread(), 0);
    EXPECT_EQ(fresh->Refusal(), TrustRefusal::kChanged);
    EXPECT_EQ(m_sim.Show(secure, "package_size"), "");
    m_sim.Command("set " + secure + " certificate shared");
}

TEST(PanelPortSystem, TheNamedMutexIsHeldExactlyAsLongAsItsObject) {
    const std::wstring name = L"Local\\PanelPortTest-" + std::to_wstring(::GetCurrentProcessId());
    std::unique_ptr<IHeldSystemObject> held = ProcessPanelPortSystem().CreateNamedMutex(name);
    ASSERT_TRUE(held);
    EXPECT_TRUE(MutexExists(name.c_str()));
    std::unique_ptr<IHeldSystemObject> again = ProcessPanelPortSystem().CreateNamedMutex(name);
    EXPECT_TRUE(again) << "an existing mutex is opened";
    held.reset();
    again.reset();
    EXPECT_FALSE(MutexExists(name.c_str()));
}

TEST(PanelPortSystem, AnsiTextBecomesWideText) {
    Win32PanelPortSystem& system = ProcessPanelPortSystem();
    EXPECT_EQ(system.FromSystemAnsi("SECURITY:0.00;"), L"SECURITY:0.00;");
    EXPECT_EQ(system.FromSystemAnsi(""), L"");
}

}  // namespace
