// The panel transfer on a real worker thread: the user-interface thread polls the counters while
// the worker writes them, and the updater outlives a worker that is still blocked when the
// process-wide instance goes. Built with ThreadSanitizer in the native tree. Each test joins its
// worker once it has ended, so that no thread is still on its way out when the process ends.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/resource.h"
#include "tests/native/fakes/UpdateFixture.h"

namespace {

class PanelThreadTest : public UpdateTest {
protected:
    // A fresh process-wide panel updater on a recording port, set up for a package of `size` bytes.
    void Start(std::size_t size, std::shared_ptr<PanelGate> gate = nullptr) {
        m_log = std::make_shared<PanelLog>();
        m_clock = std::make_unique<RecordingClock>(m_log);
        ResetUpdateObjects(std::make_shared<CPanelUpdater>(std::make_unique<RecordingPanelPort>(m_log, gate), *m_clock));
        m_package.assign(size, 0x5A);
        SetUpPanel({3, 0, 1}, m_package);
        CPanelUpdater& updater = Installation().Panel();
        updater.SetHostAddress("192.168.0.10");
        updater.PrepareTransfer(MapStringTable{{IDS_CFG_FIRM_VERSION, L"3.40"},
                                               {IDS_CFG_PANEL_VERSION, L"3.0.1"},
                                               {IDS_CFG_PANEL_DIGEST, L"0123456789abcdef0123456789ABCDEF"}});
    }

    std::shared_ptr<PanelLog> m_log;
    std::unique_ptr<RecordingClock> m_clock;
    std::vector<std::uint8_t> m_package;
};

TEST_F(PanelThreadTest, TheDialogFollowsTheWorkerThroughTheCounters) {
    Start(300 * 1024 + 5);
    CPanelUpdater& updater = Installation().Panel();
    ASSERT_TRUE(updater.StartTransferThread());

    // Poll the way the progress dialog does, until the worker reports an end.
    int lastSent = 0;
    int state = updater.m_nState;
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (state != kPanelIdle && state != kPanelTransferred && std::chrono::steady_clock::now() < guard) {
        const int count = updater.m_nBlockCount;
        const int sent = updater.m_nBlocksSent;
        EXPECT_GE(sent, lastSent) << "progress never goes back while the transfer runs";
        if (count > 0) {
            EXPECT_LE(sent, count);
        }
        lastSent = sent;
        std::this_thread::yield();
        state = updater.m_nState;
    }
    ASSERT_EQ(state, kPanelTransferred);
    CPanelUpdater::JoinTransferThreads();
    EXPECT_EQ(updater.m_nBlockCount, 301);
    EXPECT_EQ(updater.m_nBlocksSent, 301);

    // The worker has handed the port back: the install request runs on this thread.
    EXPECT_TRUE(updater.StartPanelInstall(updater.m_szHost));
    EXPECT_EQ(m_log->Lines().back(), "close");
}

TEST_F(PanelThreadTest, AFailedWorkerEndsInTheFailureState) {
    Start(10);
    CPanelUpdater& updater = Installation().Panel();
    updater.SetHostAddress("");
    // A port that cannot connect.
    ResetUpdateObjects();
    CPanelUpdater& unconnected = Installation().Panel();
    ASSERT_TRUE(unconnected.StartTransferThread());
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (unconnected.m_nState != kPanelIdle && std::chrono::steady_clock::now() < guard) std::this_thread::yield();
    ASSERT_EQ(unconnected.m_nState, kPanelIdle);
    CPanelUpdater::JoinTransferThreads();
    EXPECT_EQ(unconnected.m_nBlocksSent, -1);
}

TEST_F(PanelThreadTest, TheUpdaterOutlivesAWorkerBlockedWhenItsInstanceGoes) {
    auto gate = std::make_shared<PanelGate>();
    gate->Close();
    Start(5000, gate);
    ASSERT_TRUE(Installation().Panel().StartTransferThread());
    ASSERT_TRUE(gate->WaitForBlockedReceive(60000));

    // What the end of the process does to the instance, while the worker waits for the panel.
    ResetUpdateObjects();
    EXPECT_FALSE(gate->PortDestroyed()) << "the worker still holds the updater and its port";

    gate->Open();
    ASSERT_TRUE(gate->WaitForPortDestroyed(60000)) << "the last holder, the worker, frees them when it ends";
    CPanelUpdater::JoinTransferThreads();
    const std::vector<std::string> lines = m_log->Lines();
    EXPECT_EQ(lines.back(), "receive E00C 16");
}

}  // namespace
