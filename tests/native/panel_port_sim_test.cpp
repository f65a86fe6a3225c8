// The panel port over real TCP against the printer simulator: the whole panel transfer through
// CPanelUpdater::TransferThread, then with the panel's faults — lost and wrong acknowledgements,
// a panel that hangs up mid-transfer, and acknowledgements that share a segment with the next
// message — and the later install request.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/Text.h"
#include "ports/PanelNetworkPort.h"
#include "sim/tests/SimProcess.h"
#include "tests/native/fakes/PosixNetwork.h"
#include "tests/native/fakes/RecordingPanelSystem.h"
#include "tests/native/fakes/TransferSupport.h"
#include "update/PanelUpdater.h"

namespace {

using simtest::PrinterAddress;

class PanelPortAgainstSimulator : public testing::Test {
protected:
    static void SetUpTestSuite() {
        sim_ = new simtest::SimProcess({"--printer", PrinterAddress(0)});
        package_ = new std::vector<std::uint8_t>(Package(300 * 1024 + 517));
    }
    static void TearDownTestSuite() {
        delete sim_;
        delete package_;
        sim_ = nullptr;
        package_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(sim_->Started());
        sim_->Control("clear " + m_address);
        for (const char* fault : {"ack_fault none", "coalesce_ack off", "close_after_blocks none"}) {
            sim_->Control("set " + m_address + " " + fault);
        }
        auto port = std::make_unique<CZPanelNetworkPort>(PanelPortEnvironment{m_network, SystemClock(), m_system, {}});
        m_port = port.get();
        m_updater = std::make_shared<CPanelUpdater>(std::move(port), m_clock);
        m_updater->SetTransferInfo(text::WidenBytes(m_address), L"3.40", L"PanelApplication", L"3.0.1",
                                   package_->data(), package_->size(), std::to_wstring(package_->size()),
                                   text::WidenBytes(simtest::Md5Hex(*package_)));
    }

    std::vector<std::string> RetryLines() {
        std::vector<std::string> retries;
        for (const std::string& line : sim_->Control("panel " + m_address)) {
            if (line.starts_with("R ")) retries.push_back(line);
        }
        return retries;
    }

    void ExpectAccepted() {
        EXPECT_EQ(m_updater->m_nState, kPanelTransferred);
        EXPECT_EQ(m_updater->m_nBlocksSent, static_cast<int>((package_->size() + 1023) / 1024));
        EXPECT_EQ(sim_->Show(m_address, "package_result"), "accepted");
        EXPECT_EQ(sim_->Show(m_address, "package_size"), std::to_string(package_->size()));
        EXPECT_EQ(sim_->Show(m_address, "package_md5"), simtest::Md5Hex(*package_));
    }

    static simtest::SimProcess* sim_;
    static std::vector<std::uint8_t>* package_;

    const std::string m_address = PrinterAddress(0);
    PosixNetwork m_network;
    RecordingPanelSystem m_system;
    NoPauseClock m_clock;
    CZPanelNetworkPort* m_port = nullptr;
    std::shared_ptr<CPanelUpdater> m_updater;
};

simtest::SimProcess* PanelPortAgainstSimulator::sim_ = nullptr;
std::vector<std::uint8_t>* PanelPortAgainstSimulator::package_ = nullptr;

TEST_F(PanelPortAgainstSimulator, ThePackageArrivesWholeAndTheInstallStartsLater) {
    ASSERT_EQ(m_updater->TransferThread(), 1);
    ExpectAccepted();
    EXPECT_FALSE(m_port->IsSecure());
    EXPECT_TRUE(RetryLines().empty());
    EXPECT_EQ(m_system.m_mutexNames, std::vector<std::wstring>{L"Global\\PanelUpdater"});

    // The final dialog sends the install request on a connection of its own.
    m_port->close();
    EXPECT_EQ(sim_->Show(m_address, "panel_install"), "no");
    ASSERT_TRUE(m_updater->StartPanelInstall(m_address.c_str()));
    EXPECT_EQ(m_updater->m_nState, kPanelInstalling);
    EXPECT_TRUE(sim_->WaitFor(m_address, "panel_install", "started"));
    EXPECT_FALSE(m_port->IsConnected()) << "shut down after the request";
}

TEST_F(PanelPortAgainstSimulator, ALostAcknowledgementSendsTheCommandAgain) {
    sim_->Control("set " + m_address + " ack_fault drop");
    sim_->Control("set " + m_address + " ack_fault_at 40");
    ASSERT_EQ(m_updater->TransferThread(), 1);
    ExpectAccepted();
    const std::vector<std::string> retries = RetryLines();
    ASSERT_EQ(retries.size(), 1u);
    EXPECT_TRUE(retries[0].starts_with("R E007 ")) << retries[0];
    EXPECT_TRUE(retries[0].ends_with(" 01")) << "second attempt: " << retries[0];
}

TEST_F(PanelPortAgainstSimulator, AWrongAcknowledgementIsAnUnexpectedAnswerAndTheCommandGoesAgain) {
    sim_->Control("set " + m_address + " ack_fault corrupt");
    sim_->Control("set " + m_address + " ack_fault_at 1");
    ASSERT_TRUE(m_port->open());
    // Starting at the last attempt shows the verdict on the wrong acknowledgement itself.
    const std::vector<std::uint8_t> versions(15, ' ');
    EXPECT_FALSE(m_port->sendCommand(15, kPanelSessionStart, 2, versions.data()));
    EXPECT_EQ(m_port->getLastError(), 8);
    m_port->close();

    sim_->Control("clear " + m_address);
    sim_->Control("set " + m_address + " ack_fault_at 7");
    ASSERT_EQ(m_updater->TransferThread(), 1);
    ExpectAccepted();
    const std::vector<std::string> retries = RetryLines();
    ASSERT_EQ(retries.size(), 1u);
    EXPECT_TRUE(retries[0].ends_with(" 01")) << retries[0];
}

TEST_F(PanelPortAgainstSimulator, APanelThatHangsUpEndsTheTransferAsFailed) {
    sim_->Control("set " + m_address + " close_after_blocks 3");
    const std::uint64_t start = SystemClock().TickCount();
    EXPECT_EQ(m_updater->TransferThread(), 0);
    EXPECT_LT(SystemClock().TickCount() - start, 20000u) << "noticed without waiting out the reply time";
    EXPECT_EQ(m_updater->m_nState, kPanelIdle);
    EXPECT_EQ(m_updater->m_nBlocksSent, -1);
    EXPECT_FALSE(m_port->IsConnected());
}

TEST_F(PanelPortAgainstSimulator, AcknowledgementsSharingASegmentWithTheNextMessageLoseNothing) {
    sim_->Control("set " + m_address + " coalesce_ack on");
    const std::uint64_t start = SystemClock().TickCount();
    ASSERT_EQ(m_updater->TransferThread(), 1);
    EXPECT_LT(SystemClock().TickCount() - start, 20000u) << "no message waited out";
    ExpectAccepted();
    EXPECT_TRUE(RetryLines().empty());
}

}  // namespace
