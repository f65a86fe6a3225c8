// Where DeviceInfo.xml is looked for, and reading it: the shared application-data folder, the
// install folders the registry names, in their order, and a file another program holds open.
#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "common/win32/UniqueHandle.h"
#include "discovery/DeviceInfoXml.h"
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

    // A reading that is asked to stop ends as nothing read, and may be tried again later.
    const UniqueKernelObject stop(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    Utf8FileRead how = Utf8FileRead::kRead;
    EXPECT_EQ(ReadUtf8File(file, kMostDeviceInfoBytes, &how, stop.get()), L"");
    EXPECT_EQ(how, Utf8FileRead::kUnreadable);
    ::DeleteFileW(file.c_str());
}

struct PieceEndCase {
    const char* name;
    std::string across;  // bytes laid across the end of each piece read
    std::size_t before;  // how many of them lie before it
};

// The file is read a piece at a time; what a piece's end cuts (a character, a malformed sequence,
// the bytes before a zero byte) reads as the whole file's bytes decode.
TEST(ReadUtf8File, ReadsInPiecesAsTheWholeFileDecodes) {
    using namespace std::string_literals;
    const PieceEndCase cases[] = {
        {"three bytes, one before", "\xE5\x80\x89", 1},
        {"three bytes, two before", "\xE5\x80\x89", 2},
        {"four bytes, three before", "\xF0\x9F\x96\xA8", 3},
        {"cut sequence then a tag", "\xE3\x83<", 2},
        {"cut sequence, the rest after", "\xF0\x9F\x96<", 1},
        {"stray continuations", "\x80\x80\x80", 1},
        {"zero byte after the end", "\xE3\x83\0z"s, 2},
    };
    const std::wstring file = TempFolder(L"pieces") + L"\\DeviceInfo.xml";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = "\xEF\xBB\xBF<a>";
        for (std::size_t end = kDeviceInfoReadPiece; end <= 2 * kDeviceInfoReadPiece; end += kDeviceInfoReadPiece) {
            bytes.append(end - c.before - bytes.size(), 'x');
            bytes += c.across;
        }
        bytes += "</a>";
        WriteFile(file, bytes);
        const std::wstring text = ReadUtf8File(file);
        EXPECT_EQ(text, Utf8FileText(bytes));
        EXPECT_GT(text.size(), kDeviceInfoReadPiece - 8);
    }
    ::DeleteFileW(file.c_str());
}

// A file above the limit reads as nothing, and one line on standard error says why.
TEST(ReadUtf8File, AFileAboveTheLimitReadsAsNothingAndSaysSo) {
    const std::wstring file = TempFolder(L"limit") + L"\\DeviceInfo.xml";
    WriteFile(file, "<a>x</a>");
    EXPECT_EQ(ReadUtf8File(file, 8), L"<a>x</a>");
    testing::internal::CaptureStderr();
    EXPECT_EQ(ReadUtf8File(file, 7), L"");
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("DeviceInfo.xml is not read: its 8 bytes are more than the 7 "), std::string::npos) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << said;

    // One byte past the limit the installer reads with (a file without its data, made at once).
    {
        UniqueFile large(::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(large);
        LARGE_INTEGER end{};
        end.QuadPart = static_cast<LONGLONG>(kMostDeviceInfoBytes) + 1;
        ASSERT_TRUE(::SetFilePointerEx(large.get(), end, nullptr, FILE_BEGIN));
        ASSERT_TRUE(::SetEndOfFile(large.get()));
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(ReadUtf8File(file), L"");
    EXPECT_NE(testing::internal::GetCapturedStderr().find(std::to_string(kMostDeviceInfoBytes + 1) + " bytes"),
              std::string::npos);
    ::DeleteFileW(file.c_str());
}

}  // namespace
