// The controller library's Win32 host under Wine: the temporary directory, the library written
// from the program's resource DLL/146, loading it and finding its exports, the file-error report,
// files that cannot be deleted while someone else holds them open, and its message boxes.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/resource.h"
#include "common/win32/ModuleResources.h"
#include "common/win32/UniqueHandle.h"
#include "common/win32/UserMessage.h"
#include "controller/ControllerApi.h"
#include "ports/win32/ControllerHost.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

Bytes ReadAll(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Opens `path` for reading the way a virus scanner might: without letting anyone delete it.
UniqueFile HoldOpen(const std::wstring& path) {
    return UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

void CreateFileWith(const std::wstring& path, const char* content) {
    std::ofstream(std::filesystem::path(path), std::ios::binary) << content;
}

class ControllerHostTest : public testing::Test {
protected:
    void SetUp() override {
        m_directory = m_host.TempDirectory();
        ASSERT_FALSE(m_directory.empty());
        // Names of this process's own, so that parallel test runs in the prefix never meet.
        m_prefix = m_directory + L"controller_host_test_" + std::to_wstring(::GetCurrentProcessId()) + L"_";
    }
    void TearDown() override {
        for (const std::wstring& path : m_paths) ::DeleteFileW(path.c_str());
    }
    std::wstring Path(const wchar_t* name) {
        m_paths.push_back(m_prefix + name);
        return m_paths.back();
    }

    Win32ControllerHost m_host;
    std::wstring m_directory;
    std::wstring m_prefix;
    std::vector<std::wstring> m_paths;
};

TEST_F(ControllerHostTest, TempDirectoryIsAnExistingDirectoryEndingWithASeparator) {
    EXPECT_EQ(m_directory.back(), L'\\');
    const DWORD attributes = ::GetFileAttributesW(m_directory.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(ControllerHostTest, WritesLoadsAndResolvesTheEmbeddedLibrary) {
    const auto resource = ModuleResources().Find(kControllerLibraryResourceId, kControllerLibraryResourceType);
    ASSERT_TRUE(resource.has_value()) << "the test program must carry DLL/146";
    const std::wstring path = Path(L"library.dll");
    CreateFileWith(path, "an older, longer file that the library must replace entirely ............");

    std::wstring report;
    ASSERT_EQ(m_host.WriteLibrary(path, report), IControllerHost::WriteResult::kWritten);
    EXPECT_EQ(ReadAll(path), Bytes(resource->data, resource->data + resource->size));

    const IControllerHost::Module module = m_host.Load(path);
    ASSERT_NE(module, nullptr);
    const IControllerHost::ExportFn getRemoteConnect = m_host.Resolve(module, kGetRemoteConnectApiExport);
    const IControllerHost::ExportFn getServiceTool = m_host.Resolve(module, kGetServiceToolApiExport);
    ASSERT_NE(getRemoteConnect, nullptr);
    ASSERT_NE(getServiceTool, nullptr);
    EXPECT_EQ(m_host.Resolve(module, "GetSomethingElse"), nullptr);
    EXPECT_STREQ(static_cast<RemoteConnectAPI*>(getRemoteConnect())->GetVersion(), "V100");
    EXPECT_STREQ(static_cast<ServiceToolAPI*>(getServiceTool())->GetVersion(), "V100");
    m_host.Free(module);

    // Unloaded, the file can go at once.
    m_host.DeleteLibraryFile(path);
    EXPECT_FALSE(Exists(path));
    EXPECT_TRUE(m_host.PendingDeletes().empty());
}

TEST_F(ControllerHostTest, WithoutTheResourceTheFileIsLeftEmpty) {
    Win32ControllerHost withoutLibrary(::GetModuleHandleW(L"kernel32.dll"));
    const std::wstring path = Path(L"empty.dll");
    CreateFileWith(path, "old content");
    std::wstring report;
    EXPECT_EQ(withoutLibrary.WriteLibrary(path, report), IControllerHost::WriteResult::kNoResource);
    EXPECT_TRUE(report.empty());
    ASSERT_TRUE(Exists(path));
    EXPECT_TRUE(ReadAll(path).empty());
    EXPECT_EQ(withoutLibrary.Load(path), nullptr);
}

TEST_F(ControllerHostTest, AFileThatCannotBeWrittenIsReportedWithTheSystemsReason) {
    {
        const std::wstring path = m_prefix + L"no-such-folder\\Tessaro.DLL";
        std::wstring report;
        EXPECT_EQ(m_host.WriteLibrary(path, report), IControllerHost::WriteResult::kFileError);
        EXPECT_EQ(report, L"Cannot write " + path + L": " + SystemErrorText(ERROR_PATH_NOT_FOUND));
    }
    {
        // Held open by someone who lets nobody write.
        const std::wstring path = Path(L"locked.dll");
        CreateFileWith(path, "x");
        const UniqueFile holder(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder);
        std::wstring report;
        EXPECT_EQ(m_host.WriteLibrary(path, report), IControllerHost::WriteResult::kFileError);
        EXPECT_EQ(report, L"Cannot write " + path + L": " + SystemErrorText(ERROR_SHARING_VIOLATION));
    }
    EXPECT_NE(SystemErrorText(ERROR_ACCESS_DENIED).find(L"denied"), std::wstring::npos);
    EXPECT_EQ(SystemErrorText(ERROR_ACCESS_DENIED).back(), L'.');  // no line end left over
}

TEST_F(ControllerHostTest, AHeldFileIsDeletedAtALaterCall) {
    const std::wstring held = Path(L"held.dll");
    CreateFileWith(held, "x");
    UniqueFile holder = HoldOpen(held);
    ASSERT_TRUE(holder);

    m_host.DeleteLibraryFile(held);
    EXPECT_TRUE(Exists(held));
    EXPECT_EQ(m_host.PendingDeletes(), std::vector<std::wstring>{held});

    // Still held: the next call tries again and keeps it.
    const std::wstring other = Path(L"other.dll");
    CreateFileWith(other, "y");
    m_host.DeleteLibraryFile(other);
    EXPECT_FALSE(Exists(other));
    EXPECT_TRUE(Exists(held));

    holder.reset();
    m_host.DeleteLibraryFile(m_prefix + L"never-created.dll");
    EXPECT_FALSE(Exists(held));
    EXPECT_TRUE(m_host.PendingDeletes().empty());
}

TEST_F(ControllerHostTest, DeletePendingFilesTriesEveryWaitingFileAgain) {
    const std::wstring first = Path(L"first-held.dll");
    const std::wstring second = Path(L"second-held.dll");
    CreateFileWith(first, "x");
    CreateFileWith(second, "y");
    UniqueFile firstHolder = HoldOpen(first);
    UniqueFile secondHolder = HoldOpen(second);
    ASSERT_TRUE(firstHolder && secondHolder);
    m_host.DeleteLibraryFile(first);
    m_host.DeleteLibraryFile(second);
    ASSERT_EQ(m_host.PendingDeletes(), (std::vector<std::wstring>{first, second}));

    firstHolder.reset();
    m_host.DeletePendingFiles();
    EXPECT_FALSE(Exists(first));
    EXPECT_TRUE(Exists(second));
    EXPECT_EQ(m_host.PendingDeletes(), std::vector<std::wstring>{second});

    secondHolder.reset();
    m_host.DeletePendingFiles();
    EXPECT_FALSE(Exists(second));
    EXPECT_TRUE(m_host.PendingDeletes().empty());
}

TEST_F(ControllerHostTest, TheHostsEndMakesTheLastAttempt) {
    const std::wstring held = Path(L"held-to-the-end.dll");
    CreateFileWith(held, "x");
    UniqueFile holder = HoldOpen(held);
    ASSERT_TRUE(holder);
    {
        Win32ControllerHost host;
        host.DeleteLibraryFile(held);
        EXPECT_TRUE(Exists(held));
        holder.reset();
    }
    EXPECT_FALSE(Exists(held));
}

// A library the system cannot load fails the load and nothing more: the system shows no box of
// its own (the port tells the user), and the thread's error mode is as it was.
TEST_F(ControllerHostTest, ADamagedLibraryFailsToLoadWithoutTheSystemAsking) {
    const std::wstring path = Path(L"damaged.dll");
    CreateFileWith(path, "MZ and nothing a loader could use");
    const UINT modeBefore = ::GetThreadErrorMode();
    EXPECT_EQ(m_host.Load(path), nullptr);
    EXPECT_EQ(::GetThreadErrorMode(), modeBefore);
}

// The host's boxes go to the presenter start-up registers, under the application's title; the
// box owned by the active dialog is the presenter's to make.
TEST(ControllerHostMessages, GoThroughTheRegisteredPresenterWithTheApplicationsTitle) {
    std::wstring title;
    ASSERT_TRUE(ModuleResources().Load(IDS_APP_TITLE, title));
    struct Shown {
        std::wstring text;
        std::wstring title;
        unsigned style;
        bool operator==(const Shown&) const = default;
    };
    std::vector<Shown> shown;
    SetUserMessagePresenter([&](const std::wstring& text, const std::wstring& caption, unsigned style) {
        shown.push_back({text, caption, style});
        return IDOK;
    });
    Win32ControllerHost host;
    host.ShowMessage(L"plain");
    host.ShowErrorMessage(L"error");
    SetUserMessagePresenter({});
    EXPECT_EQ(shown, (std::vector<Shown>{{L"plain", title, MB_OK}, {L"error", title, MB_OK | MB_ICONERROR}}));
}

TEST(AnsiText, ConvertsWithTheCodePage) {
    Win32ControllerHost host;
    EXPECT_EQ(host.FromThreadAnsi("MDL:Zentil-640;VER:3.40;"), L"MDL:Zentil-640;VER:3.40;");
    EXPECT_EQ(host.FromThreadAnsi(""), L"");
    EXPECT_EQ(SystemAnsiToWide("SECURITY:0.00;"), L"SECURITY:0.00;");
    if (::GetACP() == 1252) {
        EXPECT_EQ(SystemAnsiToWide("caf\xE9"), L"caf\u00E9");
    } else if (::GetACP() == 932) {
        EXPECT_EQ(SystemAnsiToWide("\x83\x65"), L"\u30C6");
    }
}

}  // namespace
