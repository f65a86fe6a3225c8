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
#include "discovery/DeviceInfoXml.h"

namespace {

constexpr std::uint64_t kFileBytes = std::uint64_t{64} << 20;
constexpr int kServedEvery = 40000;  // about seven served printers in the file, and the last block

struct Listed {
    std::wstring nickName;
    std::uint32_t address;
    bool operator==(const Listed&) const = default;
};

std::uint64_t PeakWorkingSet() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return counters.PeakWorkingSetSize;
}

std::wstring SharedDeviceInfoPath() {
    wchar_t shared[MAX_PATH] = {};
    if (!::SHGetSpecialFolderPathW(nullptr, shared, CSIDL_COMMON_APPDATA, TRUE)) return {};
    return std::wstring(shared) + L"\\Corvane Quillmark\\Quillmark\\Device";
}

// Writes the file piece by piece, so that making it adds nothing to the peak being measured.
class GeneratedFile {
public:
    explicit GeneratedFile(const std::wstring& path)
        : m_path(path),
          m_file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~GeneratedFile() {
        m_file.reset();
        ::DeleteFileW(m_path.c_str());
        // The folders made for it go too, those that nothing else is in.
        std::wstring folder = m_path;
        for (int up = 0; up < 3; ++up) {
            folder.resize(folder.find_last_of(L'\\'));
            if (!::RemoveDirectoryW(folder.c_str())) break;
        }
    }
    GeneratedFile(const GeneratedFile&) = delete;
    GeneratedFile& operator=(const GeneratedFile&) = delete;

    bool Open() const { return static_cast<bool>(m_file); }
    std::uint64_t Size() const { return m_size + m_pending.size(); }

    void Write(const std::string& bytes) {
        m_pending += bytes;
        if (m_pending.size() >= (64u << 10)) Flush();
    }
    // Makes the file `size` bytes long at once, without writing its data.
    bool Extend(std::uint64_t size) {
        LARGE_INTEGER end{};
        end.QuadPart = static_cast<LONGLONG>(size);
        return ::SetFilePointerEx(m_file.get(), end, nullptr, FILE_BEGIN) && ::SetEndOfFile(m_file.get());
    }
    bool Close() {
        Flush();
        m_file.reset();
        return m_ok;
    }

private:
    void Flush() {
        DWORD written = 0;
        m_ok = m_ok && ::WriteFile(m_file.get(), m_pending.data(), static_cast<DWORD>(m_pending.size()), &written,
                                   nullptr) &&
               written == m_pending.size();
        m_size += m_pending.size();
        m_pending.clear();
    }

    std::wstring m_path;
    UniqueFile m_file;
    std::string m_pending;
    std::uint64_t m_size = 0;
    bool m_ok = true;
};

// One registered network printer as the print-management software writes it; the address's
// octets 10.a.b.c, stored least significant byte first.
std::string Block(int index, const char* model, std::uint32_t& address) {
    address = 0x0A000000u | (static_cast<std::uint32_t>(index) & 0xFFFFFFu);
    const std::uint32_t stored = (address >> 24) | (address >> 8 & 0xFF00u) | (address << 8 & 0xFF0000u) | address << 24;
    char block[512];
    std::snprintf(block, sizeof block,
                  "  <DeviceInfo>\r\n"
                  "    <strNickName>\xE5\x80\x89\xE5\xBA\xAB %07d</strNickName>\r\n"
                  "    <strLongModelName>%s</strLongModelName>\r\n"
                  "    <strSerialNum>ZT-%07d</strSerialNum>\r\n"
                  "    <ePortType>0</ePortType>\r\n"
                  "    <uchIP>%ld</uchIP>\r\n"
                  "    <strUSBPortName></strUSBPortName>\r\n"
                  "  </DeviceInfo>\r\n",
                  index, model, index, static_cast<long>(static_cast<std::int32_t>(stored)));
    return block;
}

std::wstring NickName(int index) {
    wchar_t digits[16];
    std::swprintf(digits, 16, L"%07d", index);
    return std::wstring(L"倉庫 ") + digits;
}

TEST(RegisteredPrintersLargeFile, SixtyFourMegabytesReadInBoundedMemory) {
    const std::wstring folder = SharedDeviceInfoPath();
    ASSERT_FALSE(folder.empty());
    ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    GeneratedFile file(folder + L"\\DeviceInfo.xml");
    ASSERT_TRUE(file.Open());

    std::vector<Listed> served;
    int blocks = 0;
    std::uint32_t address = 0;
    file.Write("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<DeviceInfoList>\r\n");
    while (file.Size() < kFileBytes) {
        const bool serve = blocks % kServedEvery == kServedEvery / 2;
        file.Write(Block(blocks, serve ? "Veyra Zentil-640" : "Zentil-1640", address));
        if (serve) served.push_back({NickName(blocks), address});
        ++blocks;
    }
    file.Write(Block(blocks, "Zentil-540", address));
    served.push_back({NickName(blocks), address});
    ++blocks;
    file.Write("</DeviceInfoList>\r\n");
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
