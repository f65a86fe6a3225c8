// Running out of memory where the installer must carry on: the firmware image then does not load
// (and keeps what it held), and a panel worker that cannot be started leaves the progress dialog
// the failure state. Each operation is run once for every allocation it makes, with that one (and
// every later one) refused, until a run needs no refusal.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "app/resource.h"
#include "common/Clock.h"
#include "common/Resources.h"
#include "images/FirmImage.h"
#include "images/FirmKey.h"
#include "images/FirmRestore.h"
#include "tests/native/fakes/FailingAllocation.h"
#include "tests/native/fakes/FakePorts.h"
#include "update/PanelUpdater.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr wchar_t kFirmwareType[] = L"FIRMWARE";
// Enough allocation points for either operation; a run past it means the sweep never ended.
constexpr int kMostAllocations = 64;

// A scrambled image of `n` bytes whose restored bytes are `fill`, but for a last byte that makes
// the byte sum right.
Bytes ScrambledImage(std::size_t n, std::uint8_t fill) {
    Bytes restored(n, fill);
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; ++i) sum = static_cast<std::uint8_t>(sum + restored[i]);
    restored[n - 1] = static_cast<std::uint8_t>(0x7F - sum);
    Bytes scrambled(n);
    ScrambleFirmware(restored.data(), scrambled.data(), static_cast<std::uint32_t>(n), FirmKeyCycle());
    return scrambled;
}

TEST(AllocationFailure, TheFirmwareImageDoesNotLoadAndKeepsWhatItHeld) {
    MemoryResources resources;
    resources.Add(IDR_FIRMWARE_IMAGE, kFirmwareType, ScrambledImage(9000, 0x11));
    resources.Add(IDR_FIRMWARE_IMAGE + 1, kFirmwareType, ScrambledImage(12000, 0x22));
    CPufFirmImage image(resources);
    ASSERT_TRUE(image.Load(IDR_FIRMWARE_IMAGE, kFirmwareType));
    const std::uint8_t* held = image.m_pData.get();

    bool completed = false;
    for (int succeeding = 0; succeeding < kMostAllocations && !completed; ++succeeding) {
        SCOPED_TRACE(testing::Message() << "allocations before the failure: " << succeeding);
        bool loaded = false;
        bool threw = false;
        bool refused = false;
        {
            FailAllocationsAfter failure(succeeding);
            try {
                loaded = image.Load(IDR_FIRMWARE_IMAGE + 1, kFirmwareType);
            } catch (...) {
                threw = true;
            }
            refused = failure.Refused();
        }
        ASSERT_FALSE(threw);
        if (refused) {
            EXPECT_FALSE(loaded);
            EXPECT_EQ(image.m_pData.get(), held);
            EXPECT_EQ(image.m_nSize, 8999u);
        } else {
            EXPECT_TRUE(loaded);
            EXPECT_EQ(image.m_nSize, 11999u);
            EXPECT_EQ(image.m_pData[0], 0x22);
            completed = true;
        }
    }
    EXPECT_TRUE(completed);
}

TEST(AllocationFailure, RestoringAllocatesNothing) {
    const Bytes scrambled = ScrambledImage(100000, 0x33);
    Bytes restored(scrambled.size());
    FailAllocationsAfter failure(0);
    const std::uint8_t sum = RestoreFirmware(scrambled.data(), restored.data(),
                                             static_cast<std::uint32_t>(scrambled.size()), FirmKeyCycle());
    const bool refused = failure.Refused();
    EXPECT_FALSE(refused);
    EXPECT_EQ(sum, 0x7F);
}

TEST(AllocationFailure, APanelWorkerThatCannotStartLeavesTheFailureState) {
    bool completed = false;
    for (int succeeding = 0; succeeding < kMostAllocations && !completed; ++succeeding) {
        SCOPED_TRACE(testing::Message() << "allocations before the failure: " << succeeding);
        auto log = std::make_shared<PanelLog>();
        auto port = std::make_unique<RecordingPanelPort>(log);
        port->m_failAt = 0;  // a started worker fails at once, at open
        auto updater = std::make_shared<CPanelUpdater>(std::move(port), SystemClock());
        updater->m_nBlocksSent = 7;

        bool started = false;
        bool threw = false;
        bool refused = false;
        {
            FailAllocationsAfter failure(succeeding);
            try {
                started = updater->StartTransferThread();
            } catch (...) {
                threw = true;
            }
            refused = failure.Refused();
        }
        ASSERT_FALSE(threw);
        if (refused) {
            EXPECT_FALSE(started);
            EXPECT_EQ(updater->m_nState, kPanelIdle);
            EXPECT_EQ(updater->m_nBlocksSent, -1);
            CPanelUpdater::JoinTransferThreads();
            EXPECT_TRUE(log->Lines().empty()) << "no worker ran";
        } else {
            ASSERT_TRUE(started);
            CPanelUpdater::JoinTransferThreads();
            EXPECT_EQ(log->Lines(), (std::vector<std::string>{"open", "close"}));
            EXPECT_EQ(updater->m_nState, kPanelIdle);
            completed = true;
        }
    }
    EXPECT_TRUE(completed);
}

}  // namespace
