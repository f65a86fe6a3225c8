// Where DeviceInfo.xml is looked for, and reading it: the shared application-data folder, the
// install folders the registry names, in their order, and a file another program holds open.
#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "common/win32/UniqueHandle.h"
#include "discovery/win32/DeviceInfoPath.h"

namespace {

constexpr wchar_t kDualKey[] = L"SOFTWARE\\Corvane\\Corvane Quillmark Dual\\Installer";
constexpr wchar_t kOneKey[] = L"SOFTWARE\\Corvane\\Quillmark\\1.0\\Installer";

std::wstring TempFolder(const wchar_t* name) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + name + std::to_wstring(::GetCurrentProcessId());
    ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    return folder;
}

void WriteFile(const std::wstring& path, const std::string& bytes) {
    const std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
    ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    std::ofstream(path.c_str(), std::ios::binary) << bytes;
}

void SetInstallPath(const wchar_t* key, const std::wstring& folder) {
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"InstallPath", REG_SZ, folder.c_str(),
                      static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
}

class DeviceInfoPathTest : public testing::Test {
protected:
    void TearDown() override { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane"); }
};

TEST_F(DeviceInfoPathTest, TheRegistrysInstallFoldersAreTriedInOrder) {
    const std::wstring dual = TempFolder(L"dual");
    const std::wstring one = TempFolder(L"one");
    WriteFile(one + L"\\Quillmark 1.0\\Device\\DeviceInfo.xml", "<DeviceInfo/>");
    SetInstallPath(kOneKey, one);

    // Only the second attempt's key names a folder, and the file is under its second piece.
    CDeviceInfoPath path;
    EXPECT_EQ(path.Find(1), L"");
    EXPECT_EQ(path.Find(2), one + L"\\Quillmark 1.0\\Device\\DeviceInfo.xml");
    EXPECT_EQ(path.m_strRoot, one);
    EXPECT_FALSE(path.Find(3).has_value());

    // Once the first attempt read an install folder, the second keeps it.
    SetInstallPath(kDualKey, dual);
    CDeviceInfoPath again;
    EXPECT_EQ(again.Find(1), L"");
    EXPECT_EQ(again.Find(2), L"");
    EXPECT_EQ(again.m_strRoot, dual);
}

TEST(ReadUtf8File, AFileHeldOpenByAnotherProgramReadsAsNothing) {
    const std::wstring file = TempFolder(L"held") + L"\\DeviceInfo.xml";
    WriteFile(file, "\xEF\xBB\xBF<a>\xE4\xBA\x8B</a>");
    EXPECT_EQ(ReadUtf8File(file), L"<a>事</a>");
    {
        UniqueFile holder(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        EXPECT_EQ(ReadUtf8File(file), L"");
    }
    EXPECT_EQ(ReadUtf8File(L""), L"");
    EXPECT_EQ(ReadUtf8File(file + L".missing"), L"");
    ::DeleteFileW(file.c_str());
}

}  // namespace
