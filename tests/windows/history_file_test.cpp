// The history file on the prefix's file system: lines from many threads whole and all there, the
// folders made, a torn last line ended first, and a file that cannot be written reported.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/win32/CertificateFile.h"
#include "app/win32/HistoryFile.h"
#include "common/win32/UniqueHandle.h"

namespace {

class HistoryFileTest : public testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
        m_root = std::wstring(temp) + L"history-file-test-" + std::to_wstring(::GetCurrentProcessId());
        m_folder = m_root + L"\\Corvane\\Firmware Installer";
        m_path = m_folder + L"\\history.jsonl";
    }
    void TearDown() override {
        ::SetFileAttributesW(m_path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(m_path.c_str());
        ::RemoveDirectoryW(m_folder.c_str());
        ::DeleteFileW((m_root + L"\\Corvane").c_str());
        ::RemoveDirectoryW((m_root + L"\\Corvane").c_str());
        ::RemoveDirectoryW(m_root.c_str());
    }

    std::string Content() const {
        std::ifstream in(m_path.c_str(), std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    void Write(const std::string& content) const {
        ASSERT_TRUE(::CreateDirectoryW(m_root.c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW((m_root + L"\\Corvane").c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW(m_folder.c_str(), nullptr));
        std::ofstream(m_path.c_str(), std::ios::binary) << content;
    }

    std::wstring m_root, m_folder, m_path;
};

TEST_F(HistoryFileTest, LinesFromManyThreadsAreAllThereWholeAndInEachThreadsOrder) {
    constexpr int kThreads = 8;
    constexpr int kLines = 200;
    // Lines of different lengths, some longer than a page, so that a torn or interleaved write shows.
    const auto line = [](int thread, int n) {
        return "{\"thread\":" + std::to_string(thread) + ",\"n\":" + std::to_string(n) + ",\"pad\":\"" +
               std::string(static_cast<std::size_t>((thread * 977 + n * 131) % 5000), static_cast<char>('a' + thread)) +
               "\"}";
    };
    std::vector<int> failures(kThreads, 0);
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int n = 0; n < kLines; ++n) {
                    if (!AppendHistoryLine(m_path, line(t, n))) ++failures[static_cast<std::size_t>(t)];
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[static_cast<std::size_t>(t)], 0) << "thread " << t;
    EXPECT_NE(::GetFileAttributesW(m_folder.c_str()), INVALID_FILE_ATTRIBUTES) << "the folders are made";

    const std::string content = Content();
    ASSERT_FALSE(content.empty());
    EXPECT_EQ(content.back(), '\n');
    std::vector<int> next(kThreads, 0);
    std::size_t lines = 0;
    std::istringstream in(content);
    for (std::string read; std::getline(in, read); ++lines) {
        const int thread = read.size() > 11 ? read[10] - '0' : -1;
        ASSERT_TRUE(thread >= 0 && thread < kThreads) << "line " << lines << ": " << read.substr(0, 40);
        int& expected = next[static_cast<std::size_t>(thread)];
        ASSERT_EQ(read, line(thread, expected)) << "line " << lines;
        ++expected;
    }
    EXPECT_EQ(lines, static_cast<std::size_t>(kThreads * kLines));
}

TEST_F(HistoryFileTest, ALastLineLeftWithoutItsLineBreakIsEndedFirst) {
    Write("{\"n\":1}\n{\"n\":2,\"mes");
    ASSERT_TRUE(AppendHistoryLine(m_path, "{\"n\":3}"));
    ASSERT_TRUE(AppendHistoryLine(m_path, "{\"n\":4}"));
    EXPECT_EQ(Content(), "{\"n\":1}\n{\"n\":2,\"mes\n{\"n\":3}\n{\"n\":4}\n");
}

TEST_F(HistoryFileTest, WhatCannotBeWrittenIsReportedAndLeavesTheFileAsItWas) {
    Write("{\"n\":1}\n");

    // Not a line: nothing written.
    EXPECT_FALSE(AppendHistoryLine(m_path, "{\"n\":2}\n{\"n\":3}"));
    EXPECT_FALSE(AppendHistoryLine(m_path, "{\"n\":2}\r"));
    EXPECT_FALSE(AppendHistoryLine(m_path, ""));
    EXPECT_FALSE(AppendHistoryLine(L"", "{\"n\":2}"));

    // Held by a program that shares it with nobody: refused within the bound of the retries.
    {
        const UniqueFile holder(::CreateFileW(m_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(AppendHistoryLine(m_path, "{\"n\":2}"));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
    // Open in a reader that shares it, as a viewer of the history would: written.
    {
        const UniqueFile reader(::CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(reader);
        EXPECT_TRUE(AppendHistoryLine(m_path, "{\"n\":2}"));
    }
    ASSERT_TRUE(::SetFileAttributesW(m_path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(AppendHistoryLine(m_path, "{\"n\":3}"));
    ASSERT_TRUE(::SetFileAttributesW(m_path.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(Content(), "{\"n\":1}\n{\"n\":2}\n");

    // A file where the folder should be.
    ASSERT_TRUE(::DeleteFileW(m_path.c_str()));
    ASSERT_TRUE(::RemoveDirectoryW(m_folder.c_str()));
    ASSERT_TRUE(::RemoveDirectoryW((m_root + L"\\Corvane").c_str()));
    std::ofstream((m_root + L"\\Corvane").c_str()) << "in the way";
    EXPECT_FALSE(AppendHistoryLine(m_path, "{\"n\":4}"));
}

TEST(UserHistoryFile, LivesBesideTheTrustedCertificates) {
    const std::wstring path = UserHistoryFilePath();
    const std::wstring certificates = UserCertificateFilePath();
    EXPECT_NE(path.find(L"\\AppData\\Local\\Corvane\\Firmware Installer\\history.jsonl"), std::wstring::npos)
        << std::string(path.begin(), path.end());
    EXPECT_EQ(path.substr(0, path.rfind(L'\\')), certificates.substr(0, certificates.rfind(L'\\')));
}

}  // namespace
