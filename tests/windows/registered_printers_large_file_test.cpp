// A DeviceInfo.xml of 64 MB in the prefix's shared application-data folder, read as the installer
// reads it: thousands of registered printers of a model it does not serve, a few it serves among
// them, the last one at the very end. The printers listed are checked, and the peak working set
// against a few times the file; the time it took and the memory are printed.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/win32/PrinterDetection.h"
#include "common/win32/UniqueHandle.h"
#include "tests/windows/LargeDeviceInfo.h"
#include "discovery/DeviceInfoXml.h"

namespace {

using namespace device_info;

TEST(RegisteredPrintersLargeFile, SixtyFourMegabytesReadInBoundedMemory) {
    const std::wstring folder = SharedDeviceInfoPath();
    ASSERT_FALSE(folder.empty());
    ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    GeneratedFile file(folder + L"\\DeviceInfo.xml");
    ASSERT_TRUE(file.Open());

    std::vector<Listed> served;
    const int blocks = WriteLargeRegisteredList(file, served);
    const std::uint64_t size = file.Size();
    ASSERT_TRUE(file.Close());
    ASSERT_LE(size, kFileBytes + 4096);

    // The models this program's configuration names: Zentil-1640 is not among them.
    Win32PrinterDetection detection;
    CPrinterInfoList list;
    const std::uint64_t peakBefore = PeakWorkingSet();
    const auto started = std::chrono::steady_clock::now();
    const int usable = detection.ReadRegistered(0, list);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    const std::uint64_t peak = PeakWorkingSet();

    EXPECT_EQ(usable, blocks);
    std::vector<Listed> listed;
    for (std::size_t i = 0; i < list.GetSize(); ++i) listed.push_back({list[i].m_strNickName, list[i].m_dwIPAddress});
    EXPECT_EQ(listed, served);
    ASSERT_GT(peak, 0u);
    EXPECT_LT(peak, 4 * size) << "peak working set " << peak << " bytes for a file of " << size;

    std::printf("DeviceInfo.xml of %.1f MB, %d printers, %u served: read and parsed in %.2f s; peak working set "
                "%.1f MB (%.1f MB before reading)\n",
                size / 1048576.0, blocks, static_cast<unsigned>(list.GetSize()), took.count(), peak / 1048576.0,
                peakBefore / 1048576.0);
    std::fflush(stdout);
}

// A file above the limit lists nothing, and of the three attempts that find it, the first alone
// says so.
TEST(RegisteredPrintersLargeFile, AFileAboveTheLimitIsSaidOnce) {
    const std::wstring folder = SharedDeviceInfoPath();
    ASSERT_FALSE(folder.empty());
    ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    GeneratedFile file(folder + L"\\DeviceInfo.xml");
    ASSERT_TRUE(file.Open());
    ASSERT_TRUE(file.Extend(kMostDeviceInfoBytes + 1));
    ASSERT_TRUE(file.Close());

    Win32PrinterDetection detection(nullptr);
    CPrinterInfoList list;
    testing::internal::CaptureStderr();
    for (int attempt = 0; attempt < CDeviceInfoPath::kAttempts; ++attempt) {
        EXPECT_EQ(detection.ReadRegistered(attempt, list), 0);
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(list.GetSize(), 0u);
    EXPECT_NE(said.find("DeviceInfo.xml is not read"), std::string::npos) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << said;
}

}  // namespace
