// Starts every test of the update logic from a fresh installation, whatever ran before, and gives
// helpers to set its updaters up.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/Resources.h"
#include "tests/native/fakes/FakePorts.h"
#include "update/Installation.h"

inline std::shared_ptr<CInstallation>& TestInstallationHolder() {
    static std::shared_ptr<CInstallation> installation;
    return installation;
}

// The installation the current test works on (ResetUpdateObjects makes it).
inline CInstallation& Installation() { return *TestInstallationHolder(); }

// A fresh installation whose panel updater is `panel`, or one whose port reaches nothing: the
// tests register no panel port factory.
inline void ResetUpdateObjects(std::shared_ptr<CPanelUpdater> panel = nullptr) {
    TestInstallationHolder() = std::make_shared<CInstallation>(
        panel ? std::move(panel) : std::make_shared<CPanelUpdater>(std::make_unique<CNullPanelPort>(), SystemClock()));
}

class UpdateTest : public testing::Test {
protected:
    void SetUp() override { ResetUpdateObjects(); }
    void TearDown() override { ResetUpdateObjects(); }

    // The firmware updater carries version `version` for the models of `models`, and an image of
    // `imageSize` zero bytes (none when 0).
    void SetUpFirmware(std::int32_t version, const wchar_t* models = L"Zentil-640,Zentil-540",
                       std::uint32_t imageSize = 0) {
        auto info = std::make_unique<CFirmUpdateInfo>(version, 41852, models);
        auto image = std::make_unique<CPufFirmImage>(m_resources);
        if (imageSize) {
            image->m_pData = std::make_unique<std::uint8_t[]>(imageSize + 1);
            image->m_nSize = imageSize;
        }
        ASSERT_TRUE(Installation().Firm().SetUpdateData(info, image));
    }

    // The panel updater carries `version` and a package made of `package`.
    void SetUpPanel(const PanelVersion& version, const std::vector<std::uint8_t>& package = {'P', 'K'},
                    const wchar_t* models = L"Zentil-640,Zentil-540") {
        m_resources.Add(221, L"FIRMWARE", package);
        auto info = std::make_unique<CPanelUpdateInfo>(version, 41852, models);
        auto image = std::make_unique<CPufPanelImage>(m_resources);
        image->Load(221, L"FIRMWARE");
        ASSERT_TRUE(Installation().Panel().SetUpdateData(info, image));
    }

    // Attaches a fake printer port answering `reply` as the identified printer's port.
    std::shared_ptr<PrinterPortLog> AttachPrinter(std::wstring reply, bool answers = true, int statusFormat = 0) {
        auto log = std::make_shared<PrinterPortLog>();
        CUpdateDeviceInfo& device = Installation().Device();
        device.m_pPort = MakePrinterPort(log, std::move(reply), answers);
        device.m_nStatusFormat = statusFormat;
        return log;
    }

    MemoryResources m_resources;
};
