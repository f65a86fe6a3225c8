// The firmware updater's checks around the transfer, and the printer-state check.
#include <gtest/gtest.h>

#include "tests/native/fakes/UpdateFixture.h"

namespace {

using FirmUpdaterTest = UpdateTest;

TEST_F(FirmUpdaterTest, PrinterStateFromTheStatusWord) {
    const struct {
        const wchar_t* reply;
        int statusFormat;
        int result;
    } cases[] = {
        {L"MDL:Zentil-640;STATUS:80000000;", -1, kCheckOk},
        {L"MDL:Zentil-640;STATUS:7FFFFFFF;", -1, kCheckNotReady},
        {L"MDL:Zentil-640;STATUS:80000000FF;", -1, kCheckOk},
        {L"MDL:Zentil-640;STATUS:;", -1, kCheckNoAnswer},
        {L"MDL:Zentil-640;STATUS:8000000;", -1, kCheckNoAnswer},
        {L"MDL:Zentil-640;", -1, kCheckNoAnswer},
        {L"MDL:Zentil-640;MODE:IPL;", -1, kCheckIplMode},
        {L"STATUS:0002AB0108800000FF", 0, kCheckOk},
        {L"STATUS:0002AB01087FFFFFFF", 0, kCheckNotReady},
        {L"STATUS:01091FFFFFFFF", 0, kCheckOk},  // nine digits saturate to all ones
        {L"STATUS:0108zzzzzzzz", 0, kCheckNotReady},
        {L"STATUS:0002AB", 0, kCheckNoAnswer},
        {L"STATUS:80000000", 0, kCheckNoAnswer},
        {L"MODE:ipl;STATUS:0108800000FF", 0, kCheckOk},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "reply \"" << c.reply << "\" format " << c.statusFormat);
        AttachPrinter(c.reply, true, c.statusFormat);
        EXPECT_EQ(CheckPrinterState(Installation().Device()), c.result);
    }
    AttachPrinter(L"", false);
    EXPECT_EQ(CheckPrinterState(Installation().Device()), kCheckQueryFailed);
    Installation().Device().m_pPort.reset();
    EXPECT_EQ(CheckPrinterState(Installation().Device()), kCheckNoAnswer);
}

TEST_F(FirmUpdaterTest, NothingIsAskedBeforeSetUpOrWithoutAPort) {
    CFirmUpdater& updater = Installation().Firm();
    auto log = AttachPrinter(L"MDL:Zentil-640;VER:3.40;");
    EXPECT_EQ(updater.IsDeviceResponding(), kCheckNoAnswer);
    EXPECT_EQ(updater.VerifyInstalled(), kCheckNoAnswer);
    EXPECT_FALSE(updater.EnterUpdateMode());
    EXPECT_EQ(log->queries + log->startUpdates, 0);

    Installation().Device().m_pPort.reset();
    SetUpFirmware(340);
    EXPECT_EQ(updater.IsDeviceResponding(), kCheckNoAnswer);
    EXPECT_EQ(updater.VerifyInstalled(), kCheckNoAnswer);
    EXPECT_FALSE(updater.EnterUpdateMode());
}

TEST_F(FirmUpdaterTest, UpdateModeAndResponsivenessFollowThePort) {
    SetUpFirmware(340);
    CFirmUpdater& updater = Installation().Firm();
    auto log = AttachPrinter(L"MDL:Zentil-640;");
    auto& port = static_cast<FakePrinterPort&>(*Installation().Device().m_pPort);
    EXPECT_TRUE(updater.EnterUpdateMode());
    port.m_startUpdateAnswer = false;
    EXPECT_FALSE(updater.EnterUpdateMode());
    EXPECT_EQ(log->startUpdates, 2);

    EXPECT_EQ(updater.IsDeviceResponding(), kCheckOk);
    port.m_answers = false;
    EXPECT_EQ(updater.IsDeviceResponding(), kCheckQueryFailed);
}

TEST_F(FirmUpdaterTest, TheImageGoesOutWholeInUpToThreeAttempts) {
    CFirmUpdater& updater = Installation().Firm();
    EXPECT_FALSE(updater.SendImage()) << "not set up";
    const std::uint8_t firmware[] = {'P', 'U', 'F', '1', 0x42, 0};  // the restored image keeps a zero byte after it
    auto info = std::make_unique<CFirmUpdateInfo>(340, 41852, L"Zentil-640");
    auto image = std::make_unique<CPufFirmImage>(m_resources);
    image->m_pData = std::make_unique<std::uint8_t[]>(sizeof firmware);
    std::copy(std::begin(firmware), std::end(firmware), image->m_pData.get());
    image->m_nSize = sizeof firmware - 1;
    ASSERT_TRUE(updater.SetUpdateData(info, image));
    EXPECT_FALSE(updater.SendImage()) << "no port";

    for (const int failures : {0, 2, 3}) {
        SCOPED_TRACE(testing::Message() << failures << " failed sends");
        auto log = AttachPrinter(L"MDL:Zentil-640;");
        static_cast<FakePrinterPort&>(*Installation().Device().m_pPort).m_failedSends = failures;
        EXPECT_EQ(updater.SendImage(), failures < 3);
        EXPECT_EQ(log->sends, std::min(failures + 1, 3));
        EXPECT_EQ(log->lastSent, std::vector<std::uint8_t>(firmware, firmware + 5));
        EXPECT_EQ(log->lastBlockSize, 0u) << "the port's default blocks";
    }
}

TEST_F(FirmUpdaterTest, VerifyInstalledReleasesThePortOnlyOnTheNewVersion) {
    SetUpFirmware(340);
    const struct {
        const wchar_t* reply;
        bool answers;
        int result;
    } cases[] = {
        {L"", false, kCheckQueryFailed},
        {L"", true, kCheckNoAnswer},
        {L"MDL:Zentil-640;VER:3.40;MODE:IPL;", true, kCheckIplMode},
        {L"VER:3.40;", true, kCheckNoAnswer},
        {L"MDL:Zentil-64;VER:3.40;", true, kCheckNoModel},
        {L"MDL:PRO Zentil-640;VER:3.40;", true, kCheckNoModel},
        {L"MDL:Zentil-640;", true, kCheckNoAnswer},
        {L"MDL:Zentil-640;VER:-1.00;", true, kCheckNoAnswer},
        {L"MDL:Zentil-640;VER:3.30;", true, kCheckUpToDate},
        {L"MDL:Zentil-540;VER:3.40;", true, kCheckOk},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "reply \"" << c.reply << "\"");
        auto log = AttachPrinter(c.reply, c.answers);
        EXPECT_EQ(Installation().Firm().VerifyInstalled(), c.result);
        EXPECT_EQ(log->releases, c.result == kCheckOk ? 1 : 0);
        EXPECT_NE(Installation().Device().m_pPort, nullptr) << "the port stays attached";
    }
}

}  // namespace
