// The application's wiring of the platform: at the end, once the installation has released and
// deleted its printer's port, the library files that were still held open get their last attempt.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/win32/Startup.h"
#include "common/win32/UniqueHandle.h"
#include "ports/win32/ControllerHost.h"
#include "tests/native/fakes/FakePorts.h"
#include "update/Installation.h"

namespace {

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

TEST(Startup, TheInstallationReleasesThePrintersPortAndFinishPlatformDeletesTheFilesLeftBehind) {
    WirePlatform();
    Win32ControllerHost& host = ProcessControllerHost();
    const std::wstring path =
        host.TempDirectory() + L"startup_test_" + std::to_wstring(::GetCurrentProcessId()) + L".dll";
    std::ofstream(std::filesystem::path(path), std::ios::binary) << "library";

    // A virus scanner holds the library file while the port is done with it.
    UniqueFile scanner(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(scanner);
    host.DeleteLibraryFile(path);
    ASSERT_EQ(host.PendingDeletes(), std::vector<std::wstring>{path});
    scanner.reset();

    auto log = std::make_shared<PrinterPortLog>();
    {
        CInstallation installation;
        installation.Device().m_pPort = MakePrinterPort(log, L"MDL:Zentil-640;");
    }
    EXPECT_EQ(log->releases, 1);
    EXPECT_TRUE(log->destroyed);

    FinishPlatform();
    EXPECT_FALSE(Exists(path));
    EXPECT_TRUE(host.PendingDeletes().empty());
}

}  // namespace
