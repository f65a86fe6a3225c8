// Starts every test of the update logic from fresh process-wide update objects, whatever ran
// before, and gives helpers to set the updaters up.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/Resources.h"
#include "tests/native/fakes/FakePorts.h"
#include "update/FirmUpdater.h"
#include "update/PanelUpdater.h"

// The panel updater is `panel`, or one whose port reaches nothing: the tests register no panel
// port factory, so the default-constructed instance is never made.
inline void ResetUpdateObjects(std::shared_ptr<CPanelUpdater> panel = nullptr) {
    ProcessInstance<CUpdateDeviceInfo>::Replace(std::make_shared<CUpdateDeviceInfo>());
    ProcessInstance<CUpdater>::Replace(std::make_shared<CUpdater>());
    ProcessInstance<CFirmUpdater>::Replace(std::make_shared<CFirmUpdater>());
    ProcessInstance<CPanelUpdater>::Replace(
        panel ? std::move(panel) : std::make_shared<CPanelUpdater>(std::make_unique<CNullPanelPort>(), SystemClock()));
}

class UpdateTest : public testing::Test {
protected:
    void SetUp() override { ResetUpdateObjects(); }
    void TearDown() override { ResetUpdateObjects(); }

    // The firmware updater carries version `version` for the models of `models`.
    void SetUpFirmware(std::int32_t version, const wchar_t* models = L"Zentil-640,Zentil-540") {
        auto info = std::make_unique<CFirmUpdateInfo>(version, 41852, models);
        auto image = std::make_unique<CPufFirmImage>(m_resources);
        ASSERT_TRUE(CFirmUpdater::GetInstance().SetUpdateData(info, image));
    }

    // The panel updater carries `version` and a package made of `package`.
    void SetUpPanel(const PanelVersion& version, const std::vector<std::uint8_t>& package = {'P', 'K'},
                    const wchar_t* models = L"Zentil-640,Zentil-540") {
        m_resources.Add(221, L"FIRMWARE", package);
        auto info = std::make_unique<CPanelUpdateInfo>(version, 41852, models);
        auto image = std::make_unique<CPufPanelImage>(m_resources);
        image->Load(221, L"FIRMWARE");
        ASSERT_TRUE(CPanelUpdater::GetInstance().SetUpdateData(info, image));
    }

    // Attaches a fake printer port answering `reply` as the identified printer's port.
    std::shared_ptr<PrinterPortLog> AttachPrinter(std::wstring reply, bool answers = true, int statusFormat = 0) {
        auto log = std::make_shared<PrinterPortLog>();
        CUpdateDeviceInfo& device = CUpdateDeviceInfo::GetInstance();
        device.m_pPort = MakePrinterPort(log, std::move(reply), answers);
        device.m_nStatusFormat = statusFormat;
        return log;
    }

    MemoryResources m_resources;
};
