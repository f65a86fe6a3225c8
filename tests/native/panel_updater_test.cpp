// The panel application updater: the exact exchange with the panel, block splitting, failures at
// every step, the install request and the verification.
#include <gtest/gtest.h>

#include <numeric>

#include "app/resource.h"
#include "tests/native/fakes/UpdateFixture.h"

namespace {

constexpr char kDigest[] = "0123456789abcdef0123456789ABCDEF";

std::vector<std::uint8_t> Package(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return bytes;
}

class PanelUpdaterTest : public UpdateTest {
protected:
    void SetUp() override {
        m_log = std::make_shared<PanelLog>();
        m_clock = std::make_unique<RecordingClock>(m_log);
        auto port = std::make_unique<RecordingPanelPort>(m_log);
        m_port = port.get();
        ResetUpdateObjects(std::make_shared<CPanelUpdater>(std::move(port), *m_clock));
    }

    // Sets the updater up with a package of `size` bytes and prepares a transfer to 192.168.0.10.
    void Prepare(std::size_t size, const wchar_t* digest = L"0123456789abcdef0123456789ABCDEF") {
        m_package = Package(size);
        SetUpPanel({3, 0, 1}, m_package);
        CPanelUpdater& updater = Installation().Panel();
        updater.SetHostAddress("192.168.0.10");
        MapStringTable strings{{IDS_CFG_FIRM_VERSION, L"3.40"}, {IDS_CFG_PANEL_VERSION, L"3.0.1"}};
        if (*digest) strings.Set(IDS_CFG_PANEL_DIGEST, digest);
        updater.PrepareTransfer(strings);
    }

    std::vector<std::string> TransferLines(std::size_t size) const {
        std::vector<std::string> lines = {
            "host 192.168.0.10",
            "open",
            "send E000 \"3.40 3.0.1     \"",
            "receive E00A 16",
            "receive E00D 16",
            "sleep 500",
            "send E00E \"192.168.0.10   \"",
            "receive E00F 16",
            "sleep 500",
            "send E010 \"               \"",
            "receive E011 16",
            "sleep 500",
            "send E012 \"               \"",
            "sleep 100",
            "send E005",
        };
        std::string sizeField = std::to_string(size);
        sizeField.resize(10, ' ');
        lines.push_back("send E006 \"PanelApplication              " + sizeField + "\"");
        for (std::size_t offset = 0; offset < size; offset += 1024) {
            lines.push_back("send E007 " + std::to_string(std::min<std::size_t>(1024, size - offset)) + " bytes");
        }
        lines.push_back(std::string("send E008 \"") + kDigest + "\"");
        lines.push_back("receive E00C 16");
        return lines;
    }

    void ExpectFailedTransfer() const {
        const CPanelUpdater& updater = Installation().Panel();
        EXPECT_EQ(updater.m_nState, kPanelIdle);
        EXPECT_EQ(updater.m_nBlocksSent, -1);
        EXPECT_EQ(m_log->Lines().back(), "close");
    }

    std::shared_ptr<PanelLog> m_log;
    std::unique_ptr<RecordingClock> m_clock;
    RecordingPanelPort* m_port = nullptr;
    std::vector<std::uint8_t> m_package;
};

TEST_F(PanelUpdaterTest, SendsTheExactExchangeAndThePackageInBlocks) {
    for (const std::size_t size : {std::size_t{2049}, std::size_t{2048}, std::size_t{0}, std::size_t{1}}) {
        SCOPED_TRACE(testing::Message() << "package of " << size << " bytes");
        SetUp();
        Prepare(size);
        CPanelUpdater& updater = Installation().Panel();
        EXPECT_EQ(updater.TransferThread(), 1);
        EXPECT_EQ(m_log->Lines(), TransferLines(size));
        EXPECT_EQ(updater.m_nState, kPanelTransferred);
        EXPECT_EQ(updater.m_nBlockCount, static_cast<int>((size + 1023) / 1024));
        EXPECT_EQ(updater.m_nBlocksSent, updater.m_nBlockCount);

        std::vector<std::uint8_t> sent;
        for (const auto& block : m_log->Blocks()) sent.insert(sent.end(), block.begin(), block.end());
        EXPECT_EQ(sent, m_package);
    }
}

TEST_F(PanelUpdaterTest, AFailureAtEveryStepEndsTheTransferWithThePortClosed) {
    // open, 5 commands and 4 waits of the opening exchange, header, 3 blocks, digest, final wait
    const int requests = 1 + 5 + 4 + 1 + 3 + 1 + 1;
    for (int failAt = 0; failAt < requests; ++failAt) {
        SCOPED_TRACE(testing::Message() << "request " << failAt << " fails");
        SetUp();
        Prepare(2049);
        m_port->m_failAt = failAt;
        EXPECT_EQ(Installation().Panel().TransferThread(), 0);
        ExpectFailedTransfer();
        const std::vector<std::string> lines = m_log->Lines();
        const auto asked = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
            return l == "open" || l.starts_with("send") || l.starts_with("receive");
        });
        EXPECT_EQ(asked, failAt + 1) << "nothing is asked of the port after the failure";
    }
}

TEST_F(PanelUpdaterTest, ADigestOfAnotherLengthFailsAfterTheBlocks) {
    for (const wchar_t* digest : {L"0123456789abcdef0123456789ABCDE", L"0123456789abcdef0123456789ABCDEF0", L""}) {
        SCOPED_TRACE(testing::Message() << "digest \"" << digest << "\"");
        SetUp();
        Prepare(2049, digest);
        EXPECT_EQ(Installation().Panel().TransferThread(), 0);
        ExpectFailedTransfer();
        const std::vector<std::string> lines = m_log->Lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "send E007 1024 bytes"), 2);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "send E007 1 bytes"), 1);
        EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string& l) {
            return l.starts_with("send E008") || l.starts_with("receive E00C");
        }));
    }
}

TEST_F(PanelUpdaterTest, APanelThatNeverGreetsFailsTheTransfer) {
    Prepare(10);
    m_port->m_silentCodes = {kPanelHello};
    EXPECT_EQ(Installation().Panel().TransferThread(), 0);
    ExpectFailedTransfer();
    EXPECT_EQ(Installation().Panel().m_nBlockCount, 0);
}

TEST_F(PanelUpdaterTest, AnAnnouncedSizeBeyondThePackageIsNeverRead) {
    Prepare(100);
    CPanelUpdater& updater = Installation().Panel();
    updater.SetTransferInfo(L"192.168.0.10", L"3.40", L"PanelApplication", L"3.0.1", m_package.data(),
                            m_package.size(), L"5000", L"0123456789abcdef0123456789ABCDEF");
    EXPECT_EQ(updater.TransferThread(), 0);
    ExpectFailedTransfer();
    EXPECT_TRUE(m_log->Blocks().empty());
}

TEST_F(PanelUpdaterTest, StartPanelInstallSendsTheInstallCommandAndShutsDown) {
    Prepare(10);
    CPanelUpdater& updater = Installation().Panel();
    EXPECT_TRUE(updater.StartPanelInstall(updater.m_szHost));
    EXPECT_EQ(updater.m_nState, kPanelInstalling);
    EXPECT_EQ(m_log->Lines(), (std::vector<std::string>{"host 192.168.0.10", "host 192.168.0.10", "open",
                                                        "send E009", "shutdown", "close"}));

    for (const int failAt : {0, 1}) {
        SCOPED_TRACE(testing::Message() << "request " << failAt << " fails");
        SetUp();
        Prepare(10);
        m_port->m_failAt = failAt;
        CPanelUpdater& fresh = Installation().Panel();
        EXPECT_FALSE(fresh.StartPanelInstall("10.0.0.7"));
        EXPECT_EQ(fresh.m_nState, kPanelIdle);
        EXPECT_EQ(m_log->Lines().back(), "close");
    }
}

TEST_F(PanelUpdaterTest, NeedsUpdateComparesPartByPart) {
    EXPECT_FALSE(Installation().Panel().NeedsUpdate()) << "not set up";
    SetUpPanel({3, 0, 1});
    const struct {
        PanelVersion printer;
        bool needed;
    } cases[] = {
        {{3, 0, 1}, false}, {{2, 9, 9}, true}, {{3, 1, 0}, false}, {{3, 0, 0}, true}, {{0, 0, 0}, true},
    };
    for (const auto& c : cases) {
        Installation().Device().m_panelVersion = c.printer;
        EXPECT_EQ(Installation().Panel().NeedsUpdate(), c.needed)
            << c.printer.nMajor << "." << c.printer.nMinor << "." << c.printer.nBuild;
    }
}

TEST_F(PanelUpdaterTest, VerifyInstalledReleasesThePortOnlyOnTheNewVersion) {
    EXPECT_EQ(Installation().Panel().VerifyInstalled(), kCheckNoAnswer) << "not set up";
    SetUpPanel({3, 0, 1});
    EXPECT_EQ(Installation().Panel().VerifyInstalled(), kCheckNoAnswer) << "no port";
    const struct {
        const wchar_t* reply;
        bool answers;
        int result;
    } cases[] = {
        {L"", false, kCheckQueryFailed},
        {L"", true, kCheckNoAnswer},
        {L"MDL:Zentil-640;PANEL:3.0.1;MODE:IPL;", true, kCheckIplMode},
        {L"PANEL:3.0.1;", true, kCheckNoAnswer},
        {L"MDL:Morvik-300;PANEL:3.0.1;", true, kCheckNoModel},
        {L"MDL:Zentil-640;PANEL:3.-1.1;", true, kCheckNoAnswer},
        {L"MDL:Zentil-640;PANEL:3.0.0;", true, kCheckUpToDate},
        {L"MDL:Zentil-640;", true, kCheckUpToDate},
        {L"MDL:Zentil-640;PANEL:3.0.1;", true, kCheckOk},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "reply \"" << c.reply << "\"");
        auto log = AttachPrinter(c.reply, c.answers);
        EXPECT_EQ(Installation().Panel().VerifyInstalled(), c.result);
        EXPECT_EQ(log->releases, c.result == kCheckOk ? 1 : 0);
    }
}

// The process-wide updater takes its port from the factory start-up registers. Each case forgets
// the registration again when it ends.
class PanelPortRegistration : public testing::Test {
protected:
    // Other tests of this program may have started threads: the dying child starts afresh.
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    void TearDown() override { CPanelUpdater::SetPortFactory(nullptr); }
};
using PanelPortRegistrationDeathTest = PanelPortRegistration;

TEST_F(PanelPortRegistrationDeathTest, WithoutAPortFromTheFactoryTheProcessStopsSayingWhy) {
    const struct {
        const char* what;
        CPanelUpdater::PortFactory factory;
        const char* diagnostic;
    } cases[] = {
        {"nothing registered", nullptr, "no panel port factory registered"},
        {"a factory that makes no port", [] { return std::unique_ptr<IPort>(); }, "factory made no port"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_DEATH(
            {
                CPanelUpdater::SetPortFactory(c.factory);
                CPanelUpdater updater(nullptr);
            },
            c.diagnostic);
    }
}

TEST_F(PanelPortRegistration, TheRegisteredFactoryMakesThePort) {
    auto log = std::make_shared<PanelLog>();
    int made = 0;
    CPanelUpdater::SetPortFactory([&] {
        ++made;
        return std::make_unique<RecordingPanelPort>(log);
    });
    CPanelUpdater updater(nullptr);
    EXPECT_EQ(made, 1);
    updater.SetTransferInfo(L"10.0.0.7", L"3.40", L"PanelApplication", L"3.0.1", nullptr, 0, L"0", L"");
    EXPECT_EQ(log->Lines(), std::vector<std::string>{"host 10.0.0.7"});
}

}  // namespace
