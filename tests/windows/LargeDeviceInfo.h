// A DeviceInfo.xml of the print-management software, written piece by piece into the prefix's
// shared application-data folder: many registered printers of a model the installer does not
// serve, a few it serves among them and the last one at the very end. Used by the tests of the
// registered printers and by the installer's end-to-end scenarios.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <shlobj.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "common/win32/UniqueHandle.h"

namespace device_info {

inline constexpr std::uint64_t kFileBytes = std::uint64_t{64} << 20;
inline constexpr int kServedEvery = 40000;  // about seven served printers in the file, and the last block

struct Listed {
    std::wstring nickName;
    std::uint32_t address;
    bool operator==(const Listed&) const = default;
};

// The peak working set of `process` (this one by default); 0 when it cannot be read.
inline std::uint64_t PeakWorkingSet(HANDLE process = ::GetCurrentProcess()) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(process, &counters, sizeof counters)) return 0;
    return counters.PeakWorkingSetSize;
}

inline std::wstring SharedDeviceInfoPath() {
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
        if (m_keep) return;
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
    // The file stays when the object goes (its folders too).
    void Keep() { m_keep = true; }
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
    bool m_keep = false;
};

// One registered network printer as the print-management software writes it; the address's
// octets 10.a.b.c, stored least significant byte first.
inline std::string Block(int index, const char* model, std::uint32_t& address) {
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

inline std::wstring NickName(int index) {
    wchar_t digits[16];
    std::swprintf(digits, 16, L"%07d", index);
    return std::wstring(L"倉庫 ") + digits;
}

// Fills `file` to about kFileBytes (a few blocks more): every kServedEvery-th printer of a served
// model, the others of Zentil-1640, and a served Zentil-540 last. The served printers' nick names
// and addresses go to `served`; the number of blocks is returned.
inline int WriteLargeRegisteredList(GeneratedFile& file, std::vector<Listed>& served) {
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
    return blocks;
}

}  // namespace device_info
