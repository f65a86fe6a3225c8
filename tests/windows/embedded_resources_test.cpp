// The installer's real product data, embedded as the installer embeds it: the firmware restores
// byte for byte, its header matches the configuration, the panel package is the one whose digest
// the string table carries, the controller library is the one just built, and the messages come
// in the user-interface language.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "app/resource.h"
#include "common/win32/ModuleResources.h"
#include "images/FirmImage.h"
#include "images/PanelImage.h"
#include "images/Version.h"

namespace {

bool ExpectJapanese() {
    const char* expected = std::getenv("EXPECT_UI_LANGUAGE");
    return expected && std::string(expected) == "ja";
}

std::wstring LoadString(unsigned id) {
    std::wstring text;
    ModuleResources().Load(id, text);
    return text;
}

std::vector<std::uint8_t> ReadFile(const wchar_t* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// MD5 by the system's cryptographic provider, so the check does not lean on the build's tool.
std::wstring SystemMd5Hex(const std::uint8_t* data, std::uint32_t size) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    std::wstring hex;
    if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        if (CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
            BYTE digest[16];
            DWORD digestSize = sizeof digest;
            if (CryptHashData(hash, data, size, 0) && CryptGetHashParam(hash, HP_HASHVAL, digest, &digestSize, 0)) {
                static const wchar_t kDigits[] = L"0123456789abcdef";
                for (DWORD i = 0; i < digestSize; ++i) {
                    hex.push_back(kDigits[digest[i] >> 4]);
                    hex.push_back(kDigits[digest[i] & 15]);
                }
            }
            CryptDestroyHash(hash);
        }
        CryptReleaseContext(provider, 0);
    }
    return hex;
}

}  // namespace

TEST(EmbeddedFirmware, RestoresByteForByteAsBuilt) {
    ModuleResources resources;
    CPufFirmImage image(resources);
    ASSERT_TRUE(image.Load(IDR_FIRMWARE_IMAGE, L"FIRMWARE"));
    ASSERT_NE(image.m_pData, nullptr);

    const std::vector<std::uint8_t> built = ReadFile(RESTORED_FIRMWARE_PATH);
    ASSERT_FALSE(built.empty()) << "cannot read the tool's restored image";
    ASSERT_EQ(image.m_nSize, built.size());
    EXPECT_EQ(0, std::memcmp(image.m_pData.get(), built.data(), built.size()));
    EXPECT_EQ(image.m_pData[image.m_nSize], 0) << "the check byte is cleared";
}

TEST(EmbeddedFirmware, HeaderMatchesConfiguration) {
    ModuleResources resources;
    CPufFirmImage image(resources);
    ASSERT_TRUE(image.Load(IDR_FIRMWARE_IMAGE, L"FIRMWARE"));

    FirmHeaderInfo header;
    ASSERT_TRUE(ParseFirmHeader(CopyFirmHeaderText(image).data(), &header));
    std::wstring version;
    ASSERT_TRUE(resources.Load(IDS_CFG_FIRM_VERSION, version));
    EXPECT_EQ(header.nVersion, VersionTextToInt(version));
    EXPECT_EQ(header.nVersion, 340);
    EXPECT_EQ(header.nModelCode, GetProductModelCode(resources));
    EXPECT_EQ(header.nModelCode, 41852);
}

TEST(EmbeddedPanelPackage, IsTheZipWhoseDigestTheTableCarries) {
    ModuleResources resources;
    CPufPanelImage image(resources);
    ASSERT_TRUE(image.Load(IDR_PANEL_IMAGE, L"FIRMWARE"));
    ASSERT_NE(image.m_pData, nullptr);
    ASSERT_GE(image.m_nSize, 4u);
    EXPECT_EQ(0, std::memcmp(image.m_pData, "PK\x03\x04", 4));
    EXPECT_GT(image.m_nSize, 8'000'000u);

    std::wstring digest;
    ASSERT_TRUE(resources.Load(IDS_CFG_PANEL_DIGEST, digest));
    EXPECT_EQ(digest.size(), 32u);
    EXPECT_EQ(digest, SystemMd5Hex(image.m_pData, image.m_nSize));
}

TEST(EmbeddedPanelPackage, StaysReadableAfterTheImageIsDestroyed) {
    ModuleResources resources;
    const std::uint8_t* data = nullptr;
    {
        CPufPanelImage image(resources);
        ASSERT_TRUE(image.Load(IDR_PANEL_IMAGE, L"FIRMWARE"));
        data = image.m_pData;
    }
    EXPECT_EQ(0, std::memcmp(data, "PK\x03\x04", 4));
}

TEST(EmbeddedControllerLibrary, IsTheBuiltLibraryByteForByte) {
    const std::optional<ResourceBytes> embedded = ModuleResources().Find(IDR_CONTROLLER_LIBRARY, L"DLL");
    ASSERT_TRUE(embedded);
    const std::vector<std::uint8_t> built = ReadFile(CONTROLLER_LIBRARY_PATH);
    ASSERT_FALSE(built.empty()) << "cannot read the built library";
    ASSERT_EQ(embedded->size, built.size());
    EXPECT_EQ(0, std::memcmp(embedded->data, built.data(), built.size()));
}

TEST(EmbeddedImages, MissingResourcesFailToLoad) {
    ModuleResources resources;
    CPufFirmImage firmware(resources);
    CPufPanelImage panel(resources);
    EXPECT_FALSE(firmware.Load(999, L"FIRMWARE"));
    EXPECT_FALSE(firmware.Load(IDR_FIRMWARE_IMAGE, L"NOSUCHTYPE"));
    EXPECT_FALSE(panel.Load(999, L"FIRMWARE"));
    EXPECT_EQ(firmware.m_pData, nullptr);
    EXPECT_EQ(panel.m_pData, nullptr);
}

TEST(StringTable, ConfigurationIsTheSameInEveryLanguage) {
    const struct {
        unsigned id;
        const wchar_t* text;
    } kConfig[] = {
        {IDS_CFG_FIRM_VERSION, L"3.40"},
        {IDS_CFG_SERIES_NAME, L"Veyra Zentil Series"},
        {IDS_CFG_MODEL_LIST, L"Zentil-640,Zentil-540,Morvik-540,Morvik-300"},
        {IDS_CFG_MODEL_CODE, L"041852"},
        {IDS_CFG_PORT_TYPE, L"DLL_ETHERNET1"},
        {IDS_CFG_PANEL_VERSION, L"3.0.1"},
        {IDS_CFG_INSTALL_MINUTES, L"5"},
    };
    for (const auto& entry : kConfig) EXPECT_EQ(LoadString(entry.id), entry.text) << entry.id;
    EXPECT_EQ(LoadString(IDS_APP_TITLE), L"Corvane Firmware Installer");
}

TEST(StringTable, MessagesComeInTheUserInterfaceLanguage) {
    const LANGID language = PRIMARYLANGID(GetUserDefaultUILanguage());
    if (ExpectJapanese()) {
        ASSERT_EQ(language, LANG_JAPANESE) << "the Japanese locale did not reach Wine";
        EXPECT_EQ(LoadString(IDS_BUTTON_NEXT), L"次へ(&N)");
        EXPECT_EQ(LoadString(IDS_CONFIRM_INSTALL_TIME), L"インストールには約 %s 分かかります。\n続行しますか?");
        // Every message has its Japanese text: a string block missing from one language would
        // load as nothing at all, not as the English text.
        const unsigned kMessages[] = {
            IDS_ABOUTBOX, IDS_CONFIRM_INSTALL_TIME, IDS_SOCKET_INIT_FAILED, IDS_INPUT_IP_ADDRESS,
            IDS_BUTTON_INSTALL, IDS_BUTTON_NEXT, IDS_AUTO_DETECTION, IDS_PANEL_SEND_FAILED,
            IDS_REBOOTING, IDS_FATAL_ERROR, IDS_PRINTER_NOT_FOUND, IDS_UNSUPPORTED_MODEL,
            IDS_UP_TO_DATE, IDS_SUB_POWER_ON, IDS_INSTALLER_CORRUPTED, IDS_FIRM_SEND_FAILED,
            IDS_FIRM_INSTALL_FAILED, IDS_ALREADY_RUNNING, IDS_ILLEGAL_PARAMETER, IDS_CANCELED,
            IDS_INSTALLING_FIRMWARE, IDS_CONFIRM_EXIT, IDS_INSTALL_SUCCEEDED, IDS_INSTALLING_PANEL,
            IDS_PANEL_OPERATION, IDS_WAITING_FOR_RESTART, IDS_STOPPING, IDS_RESTART_REFUSED,
            IDS_RESTART_NOT_CONFIRMED, IDS_CERT_QUESTION, IDS_CERT_DECLINED, IDS_CERT_CHANGED, IDS_PLAIN_AFTER_TLS,
            IDS_CERT_MISSING, IDS_CERT_FORGOTTEN, IDS_CERT_NOT_REMEMBERED, IDS_CERT_FORGET_FAILED,
            IDS_TRUST_NOTHING_SENT, IDS_TRUST_IN_UPDATE_MODE, IDS_CERT_FILE_UNREADABLE, IDS_SEARCHING_PRINTERS,
        };
        for (unsigned id : kMessages) {
            const std::wstring text = LoadString(id);
            EXPECT_TRUE(std::any_of(text.begin(), text.end(), [](wchar_t c) { return c >= 0x3000; })) << id;
        }
        const std::wstring withPlaceholder[] = {LoadString(IDS_CONFIRM_INSTALL_TIME), LoadString(IDS_UNSUPPORTED_MODEL),
                                                LoadString(IDS_UP_TO_DATE)};
        for (const std::wstring& text : withPlaceholder) EXPECT_NE(text.find(L"%s"), std::wstring::npos) << text.size();
        return;
    }
    ASSERT_NE(language, LANG_JAPANESE);
    const struct {
        unsigned id;
        const wchar_t* text;
    } kEnglish[] = {
        {IDS_ABOUTBOX, L"&About Firmware Installer..."},
        {IDS_CONFIRM_INSTALL_TIME, L"The installation takes about %s minutes.\nDo you want to continue?"},
        {IDS_SOCKET_INIT_FAILED, L"Failed to initialize Windows socket."},
        {IDS_INPUT_IP_ADDRESS, L"Input IP Address"},
        {IDS_SEARCHING_PRINTERS, L"Searching for printers..."},
        {IDS_BUTTON_INSTALL, L"Install"},
        {IDS_BUTTON_NEXT, L"&Next"},
        {IDS_AUTO_DETECTION, L"Automatic Detection"},
        {IDS_PANEL_SEND_FAILED, L"Failed to send panelapplication.\nTurn off main power and turn it on,\nthen try installation again."},
        {IDS_REBOOTING, L"Rebooting printer...\nPlease wait a little."},
        {IDS_FATAL_ERROR, L"Fatal error."},
        {IDS_PRINTER_NOT_FOUND, L"Cannot find a printer.\nFill in IP address again or turn on main power."},
        {IDS_UNSUPPORTED_MODEL, L"This installer doesn't support %s.\nDownload a proper installer for your printer."},
        {IDS_UP_TO_DATE, L"Current version is %s. \nInstallation is not necessary."},
        {IDS_SUB_POWER_ON, L"Turn off SUB power."},
        {IDS_INSTALLER_CORRUPTED, L"This installer is corrupted.\nDownload another installer."},
        {IDS_FIRM_SEND_FAILED, L"Failed to send firmware.\nTurn off main power and turn it on,\nthen try installation again."},
        {IDS_FIRM_INSTALL_FAILED, L"Failed to install firmware.\nTurn off main power and turn it on,\nthen try installation again."},
        {IDS_ALREADY_RUNNING, L"Execution Error.\nThe previous installer is still executing."},
        {IDS_ILLEGAL_PARAMETER, L"Illegal command parameter."},
        {IDS_CANCELED, L"The installation has been canceled."},
        {IDS_INSTALLING_FIRMWARE, L"Installing and checking firmware..."},
        {IDS_CONFIRM_EXIT, L"Are you sure to exit without installation?"},
        {IDS_INSTALL_SUCCEEDED, L"The installation of firmware was successful."},
        {IDS_INSTALLING_PANEL, L"Installing and checking panelapplication..."},
        {IDS_PANEL_OPERATION, L"Starting the installation, please complete the panel operations."},
    };
    for (const auto& entry : kEnglish) EXPECT_EQ(LoadString(entry.id), entry.text) << entry.id;
    // The messages of printer trust: each loads, and holds as many %s as its callers fill.
    const struct {
        unsigned id;
        std::size_t placeholders;
    } kTrust[] = {
        {IDS_CERT_QUESTION, 4},      {IDS_CERT_DECLINED, 1},      {IDS_CERT_CHANGED, 5},
        {IDS_PLAIN_AFTER_TLS, 3},    {IDS_CERT_MISSING, 1},       {IDS_CERT_FORGOTTEN, 1},
        {IDS_CERT_NOT_REMEMBERED, 1}, {IDS_CERT_FORGET_FAILED, 1}, {IDS_TRUST_NOTHING_SENT, 0},
        {IDS_TRUST_IN_UPDATE_MODE, 0}, {IDS_CERT_FILE_UNREADABLE, 2},
    };
    for (const auto& entry : kTrust) {
        const std::wstring text = LoadString(entry.id);
        EXPECT_FALSE(text.empty()) << entry.id;
        std::size_t count = 0;
        for (std::size_t at = text.find(L"%s"); at != std::wstring::npos; at = text.find(L"%s", at + 2)) ++count;
        EXPECT_EQ(count, entry.placeholders) << entry.id;
    }
}

// What records and results say is English whatever the user reads; strings of no language (the
// configuration) come through too.
TEST(StringTable, TheEnglishTableIsEnglishInEveryLanguage) {
    const ModuleResources english = EnglishModuleStrings();
    const struct {
        unsigned id;
        const wchar_t* text;
    } kExpected[] = {
        {IDS_INSTALL_SUCCEEDED, L"The installation of firmware was successful."},
        {IDS_UP_TO_DATE, L"Current version is %s. \nInstallation is not necessary."},
        {IDS_CONFIRM_EXIT, L"Are you sure to exit without installation?"},
        {IDS_CFG_FIRM_VERSION, L"3.40"},
        {IDS_APP_TITLE, L"Corvane Firmware Installer"},  // the first of its block of sixteen
    };
    for (const auto& entry : kExpected) {
        std::wstring text;
        EXPECT_TRUE(english.Load(entry.id, text)) << entry.id;
        EXPECT_EQ(text, entry.text) << entry.id;
    }
    std::wstring text = L"left over";
    EXPECT_FALSE(english.Load(4321, text));
    EXPECT_TRUE(text.empty());
}

TEST(StringTable, MissingStringIsReportedAsMissing) {
    std::wstring text = L"left over";
    EXPECT_FALSE(ModuleResources().Load(4321, text));
    EXPECT_TRUE(text.empty());
}
