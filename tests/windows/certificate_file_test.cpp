// The file of trusted printer certificates on a real file system: absent, made with its folders,
// replaced whole, and left alone when it cannot be read.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/win32/CertificateFile.h"

namespace {

class CertificateFileTest : public testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
        m_root = std::wstring(temp) + L"certificate-file-test-" + std::to_wstring(::GetCurrentProcessId());
        m_path = m_root + L"\\Corvane\\Firmware Installer\\printer-certificates.txt";
    }
    void TearDown() override {
        ::DeleteFileW(m_path.c_str());
        ::RemoveDirectoryW((m_root + L"\\Corvane\\Firmware Installer").c_str());
        ::RemoveDirectoryW((m_root + L"\\Corvane").c_str());
        ::RemoveDirectoryW(m_root.c_str());
    }

    std::wstring m_root;
    std::wstring m_path;
};

TEST_F(CertificateFileTest, AbsentIsEmptyThenWrittenWithItsFoldersAndReplacedWhole) {
    CCertificateFile file(m_path);
    EXPECT_EQ(file.Read(), std::optional<std::string>(""));

    ASSERT_TRUE(file.Replace("first\n"));
    EXPECT_EQ(file.Read(), std::optional<std::string>("first\n"));
    const std::string longer(200000, 'x');
    ASSERT_TRUE(file.Replace(longer));
    EXPECT_EQ(file.Read(), std::optional<std::string>(longer));
    ASSERT_TRUE(file.Replace("short\n"));
    EXPECT_EQ(file.Read(), std::optional<std::string>("short\n")) << "nothing of the longer content left";
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW((m_path + L".new*").c_str(), &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "no written copy left beside the file";
    if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
}

TEST_F(CertificateFileTest, AFileThatCannotBeReadIsNotEmptyAndAFolderInTheWayFailsTheWrite) {
    // A folder where the file should be: it exists but cannot be read, nor replaced.
    ASSERT_TRUE(CCertificateFile(m_path).Replace("x"));
    ASSERT_TRUE(::DeleteFileW(m_path.c_str()));
    ASSERT_TRUE(::CreateDirectoryW(m_path.c_str(), nullptr));
    CCertificateFile file(m_path);
    EXPECT_EQ(file.Read(), std::nullopt);
    EXPECT_FALSE(file.Replace("y"));
    ::RemoveDirectoryW(m_path.c_str());

    // Larger than any file of certificates: left alone rather than read.
    ASSERT_TRUE(file.Replace(std::string(CCertificateMemory::kLargestFile + 1, 'z')));
    EXPECT_EQ(file.Read(), std::nullopt);
}

TEST(UserCertificateFile, WithoutAFolderNothingIsReadOrWritten) {
    CCertificateFile file(L"");
    EXPECT_EQ(file.Read(), std::nullopt);
    EXPECT_FALSE(file.Replace("x"));
}

TEST(UserCertificateFile, LivesInTheUsersLocalApplicationData) {
    const std::wstring path = UserCertificateFilePath();
    EXPECT_NE(path.find(L"\\AppData\\Local\\Corvane\\Firmware Installer\\printer-certificates.txt"), std::wstring::npos)
        << std::string(path.begin(), path.end());
}

}  // namespace
