// Update descriptions, model lists and the identification of the printer.
#include <gtest/gtest.h>

#include "tests/native/fakes/UpdateFixture.h"

namespace {

TEST(ModelList, SplitsTrimsAndKeepsEmptyEntries) {
    const struct {
        const wchar_t* list;
        std::vector<std::wstring> models;
    } cases[] = {
        {L"Zentil-640,Zentil-540,Morvik-540,Morvik-300", {L"Zentil-640", L"Zentil-540", L"Morvik-540", L"Morvik-300"}},
        {L" Zentil-640 ,\tMorvik-300 ,", {L"Zentil-640", L"Morvik-300"}},
        {L"A,,B", {L"A", L"", L"B"}},
        {L",A", {L"", L"A"}},
        {L"A, ", {L"A", L""}},
        {L"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "list \"" << c.list << "\"");
        EXPECT_EQ(ParseModelList(c.list), c.models);
    }
}

TEST(ModelList, ExactAndSuffixMatching) {
    const CFirmUpdateInfo info(340, 41852, L"Zentil-640,Morvik-300");
    const CFirmUpdateInfo withEmpty(340, 41852, L"Zentil-640,,Morvik-300");
    const struct {
        const CFirmUpdateInfo& info;
        const wchar_t* name;
        bool exact;
        bool suffix;
    } cases[] = {
        {info, L"Zentil-640", true, true},
        {info, L"Morvik-300", true, true},
        {info, L"PRO Zentil-640", false, true},
        {info, L"Zentil-640 PRO", false, false},
        {info, L"zentil-640", false, false},
        {info, L"Zentil-64", false, false},
        {info, L"Zentil-640Zentil-640", false, true},
        {info, L"", false, false},
        {withEmpty, L"", true, true},
        {withEmpty, L"Other", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "name \"" << c.name << "\"");
        EXPECT_EQ(c.info.IsSupportedModel(c.name, false), c.exact);
        EXPECT_EQ(c.info.IsSupportedModel(c.name, true), c.suffix);
    }
}

using CheckDeviceTest = UpdateTest;

TEST_F(CheckDeviceTest, FailuresLeaveThePortWithTheCaller) {
    CUpdater& updater = Installation().Identifier();
    updater.m_nResult = 42;
    PortPtr none;
    EXPECT_EQ(updater.CheckDevice(none, 0), kCheckNoAnswer);
    EXPECT_EQ(updater.m_nResult, 42) << "a null port leaves the result alone";

    const struct {
        const wchar_t* reply;
        bool answers;
        int result;
    } cases[] = {
        {L"", false, kCheckNoAnswer},
        {L"", true, kCheckQueryFailed},
        {L"VER:3.30;PANEL:3.0.0;", true, kCheckNoModel},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "reply \"" << c.reply << "\"");
        auto log = std::make_shared<PrinterPortLog>();
        PortPtr port = MakePrinterPort(log, c.reply, c.answers);
        EXPECT_EQ(updater.CheckDevice(port, 0), c.result);
        EXPECT_EQ(updater.m_nResult, c.result);
        EXPECT_NE(port, nullptr);
        EXPECT_EQ(Installation().Device().m_pPort, nullptr);
        EXPECT_EQ(log->releases, 0);
    }
}

TEST_F(CheckDeviceTest, DecidesWhatNeedsInstalling) {
    SetUpFirmware(340);
    SetUpPanel({3, 0, 1});
    const struct {
        const wchar_t* reply;
        int result;
        std::int32_t firmVersion;
    } cases[] = {
        {L"MDL:Zentil-640;VER:3.30;PANEL:3.0.0;", kCheckBothNeeded, 330},
        {L"MDL:Zentil-640;VER:3.30;PANEL:3.0.1;", kCheckFirmwareOnly, 330},
        {L"MDL:Zentil-640;VER:3.40;PANEL:2.9.9;", kCheckPanelOnly, 340},
        {L"MDL:Zentil-640;VER:3.50;PANEL:3.1.0;", kCheckUpToDate, 350},
        {L"MDL:Zentil-640;PANEL:3.0.0;", kCheckPanelOnly, -1},
        {L"MDL:Zentil-640;PANEL:3.0.1;", kCheckUpToDate, -1},
        {L"MDL:Zentil-640;VER:3.30;", kCheckBothNeeded, 330},
        // Another model, named in the list or not: refused, whatever it would need.
        {L"MDL:Unknown-1;VER:3.30;PANEL:3.0.1;", kCheckNoModel, 330},
        {L"MDL:Zentil-6400;VER:3.30;PANEL:3.0.0;", kCheckNoModel, 330},
        {L"MDL:Corvane Zentil-640;VER:3.50;PANEL:3.1.0;", kCheckNoModel, 350},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "reply \"" << c.reply << "\"");
        PortPtr port = MakePrinterPort(std::make_shared<PrinterPortLog>(), c.reply);
        EXPECT_EQ(Installation().Identifier().CheckDevice(port, -1), c.result);
        const CUpdateDeviceInfo& device = Installation().Device();
        EXPECT_EQ(device.m_nFirmVersion, c.firmVersion);
        EXPECT_TRUE(std::wstring(c.reply).starts_with(L"MDL:" + device.m_strModelName + L";"));
        EXPECT_EQ(port == nullptr, c.result <= kCheckPanelOnly) << "only a decision to install takes the port";
    }
}

TEST_F(CheckDeviceTest, WithoutTheUpdatersSetUpNothingIsNeeded) {
    PortPtr port = MakePrinterPort(std::make_shared<PrinterPortLog>(), L"MDL:Zentil-640;VER:1.00;PANEL:0.0.1;");
    EXPECT_EQ(Installation().Identifier().CheckDevice(port, 0), kCheckUpToDate);
}

TEST_F(CheckDeviceTest, ASecondIdentificationReleasesAndDeletesTheFirstPort) {
    SetUpFirmware(340);
    auto first = std::make_shared<PrinterPortLog>();
    auto second = std::make_shared<PrinterPortLog>();
    PortPtr port = MakePrinterPort(first, L"MDL:Zentil-640;VER:3.30;");
    ASSERT_EQ(Installation().Identifier().CheckDevice(port, 0), kCheckFirmwareOnly);
    EXPECT_FALSE(first->destroyed);

    port = MakePrinterPort(second, L"MDL:Zentil-640;VER:3.30;");
    ASSERT_EQ(Installation().Identifier().CheckDevice(port, -1), kCheckFirmwareOnly);
    EXPECT_EQ(first->releases, 1);
    EXPECT_TRUE(first->destroyed);
    EXPECT_FALSE(second->destroyed);
    EXPECT_EQ(Installation().Device().m_nStatusFormat, -1);

    ResetUpdateObjects();
    EXPECT_EQ(second->releases, 1) << "the device description releases its port when it goes";
    EXPECT_TRUE(second->destroyed);
}

TEST_F(CheckDeviceTest, HandOverIsRefusedOnceAPortIsAttachedOrDataIsHeld) {
    SetUpFirmware(340);
    auto info = std::make_unique<CFirmUpdateInfo>(350, 41852, L"Zentil-640");
    auto image = std::make_unique<CPufFirmImage>(m_resources);
    EXPECT_FALSE(Installation().Firm().SetUpdateData(info, image));
    EXPECT_NE(info, nullptr) << "a refused description stays with the caller";

    AttachPrinter(L"MDL:Zentil-640;");
    auto panelInfo = std::make_unique<CPanelUpdateInfo>(PanelVersion{3, 0, 1}, 41852, L"Zentil-640");
    auto panelImage = std::make_unique<CPufPanelImage>(m_resources);
    EXPECT_FALSE(Installation().Panel().SetUpdateData(panelInfo, panelImage));
    EXPECT_NE(panelImage, nullptr);
}

}  // namespace
