// Reading a file named on the command line from the prefix's file system: whole files up to the
// limit, what is missing, too large or not a file, and quiet mode's file of printers through it.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "app/CommandLine.h"
#include "app/win32/TextFileReader.h"
#include "common/win32/UniqueHandle.h"

namespace {

using Status = CommandLineFile::Status;

class TextFileReaderTest : public testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
        m_root = std::wstring(temp) + L"text-file-reader-test-" + std::to_wstring(::GetCurrentProcessId());
        ASSERT_TRUE(::CreateDirectoryW(m_root.c_str(), nullptr));
    }
    void TearDown() override {
        for (const wchar_t* name : {L"\\a.txt", L"\\printers.txt"}) ::DeleteFileW((m_root + name).c_str());
        ::RemoveDirectoryW((m_root + L"\\folder").c_str());
        ::RemoveDirectoryW(m_root.c_str());
    }

    std::wstring Write(const wchar_t* name, const std::string& content) const {
        const std::wstring path = m_root + name;
        std::ofstream(path.c_str(), std::ios::binary) << content;
        return path;
    }

    std::wstring m_root;
};

TEST_F(TextFileReaderTest, ReadsWholeFilesUpToTheLimit) {
    constexpr char kBytes[] = "\xEF\xBB\xBF" "10.0.0.1\r\n\0#\r\n";
    const std::string content(kBytes, sizeof kBytes - 1);
    const std::wstring path = Write(L"\\a.txt", content);
    for (const std::size_t limit : {content.size(), content.size() + 1, std::size_t{1} << 20}) {
        const CommandLineFile read = ReadTextFile(path, limit);
        EXPECT_EQ(read.status, Status::kRead) << limit;
        EXPECT_EQ(read.bytes, content) << limit;
    }
    EXPECT_EQ(ReadTextFile(path, content.size() - 1).status, Status::kTooLarge);
    EXPECT_EQ(ReadTextFile(Write(L"\\a.txt", ""), 10).status, Status::kRead);
}

TEST_F(TextFileReaderTest, WhatIsNotAFileOnDiskIsRefusedAtOnce) {
    ASSERT_TRUE(::CreateDirectoryW((m_root + L"\\folder").c_str(), nullptr));
    EXPECT_EQ(ReadTextFile(m_root + L"\\missing.txt", 100).status, Status::kNotFound);
    EXPECT_EQ(ReadTextFile(m_root + L"\\no-folder\\a.txt", 100).status, Status::kNotFound);
    EXPECT_EQ(ReadTextFile(m_root + L"\\folder", 100).status, Status::kUnreadable);
    EXPECT_EQ(ReadTextFile(L"NUL", 100).status, Status::kUnreadable);

    // A pipe whose writer never writes: reading it would wait for good.
    const std::wstring name = L"\\\\.\\pipe\\text-file-reader-test-" + std::to_wstring(::GetCurrentProcessId());
    const UniqueFile server(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0,
                                               0, nullptr));
    ASSERT_TRUE(server);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadTextFile(name, 100).status, Status::kUnreadable);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(TextFileReaderTest, QuietModeReadsItsPrintersThroughIt) {
    Write(L"\\printers.txt", "\xEF\xBB\xBF# hall 2\r\n10.0.0.7\r\n10.0.0.8 # plotter\r\n");
    wchar_t before[MAX_PATH];
    ASSERT_GT(::GetCurrentDirectoryW(MAX_PATH, before), 0u);
    ASSERT_TRUE(::SetCurrentDirectoryW(m_root.c_str()));
    const CommandLineValues values =
        ReadCommandLine({L"/q", L"/l", L"printers.txt", L"-l", L"missing.txt"}, ReadTextFile);
    const CommandLineValues relative = ReadCommandLine({L"/q", L"/lprinters.txt"}, ReadTextFile);
    ::SetCurrentDirectoryW(before);
    EXPECT_EQ(values.quietError, L"the file \"missing.txt\" does not exist");
    ASSERT_EQ(relative.quietError, L"");
    EXPECT_EQ(relative.quietOptions.printers, (std::vector<std::uint32_t>{0x0A000007u, 0x0A000008u}));
}

}  // namespace
