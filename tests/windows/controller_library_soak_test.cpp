// The controller library loaded, used and unloaded 10,000 times, the way the printer port goes
// through it (up to twenty times a second while the installer waits for a printer): every load
// must leave nothing behind. Each load reads both objects' versions, tries a printer where nothing
// listens (@5), then reaches the simulator's printer at @2 and reads its information text and
// status words, as an identification does. After a warm-up the process's handles, the bytes in
// use on its heaps, its private bytes and its working set are taken, and again after the last
// load. Like the installer, the test keeps the socket library started itself while it uses the
// library; once it has given its own start back, no start of the library's may be left. The same
// goes for two copies of the library under different names loaded at the same time, as the ports
// of installations that run side by side load them.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "common/win32/UniqueHandle.h"
#include "controller/ControllerApi.h"

namespace {

constexpr int kWarmUpLoads = 200;
constexpr int kLoads = 10000;
// What the heaps may hold more after the loads than after the warm-up: far less than the smallest
// block any load could leave on them each time (16 bytes, 9,800 times over).
constexpr std::uint64_t kHeapTolerance = 64 * 1024;
// Private bytes and working set move in whole pages and with the system's own caches.
constexpr std::uint64_t kPagesTolerance = 1024 * 1024;

// One process-wide handle as the system's handle table lists it (SystemHandleInformation).
struct SystemHandleEntry {
    ULONG processId;
    UCHAR objectType;
    UCHAR flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};

// The process's handles in the system's handle table; 0 when it cannot be read.
DWORD HandlesInSystemTable() {
    using QueryFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return 0;
    constexpr ULONG kSystemHandleInformation = 16;
    std::vector<std::uint8_t> buffer(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const LONG status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) break;
        if (buffer.size() >= (1u << 28)) return 0;
        buffer.resize(buffer.size() * 2);
    }
    const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* entries = reinterpret_cast<const SystemHandleEntry*>(buffer.data() + sizeof(ULONG_PTR));
    DWORD mine = 0;
    for (ULONG i = 0; i < count; ++i) mine += entries[i].processId == ::GetCurrentProcessId();
    return mine;
}

// The process's open handles. Wine's GetProcessHandleCount always reports none; its handle table
// holds the process's handles all the same.
DWORD HandleCount() {
    DWORD count = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count > 0) return count;
    return HandlesInSystemTable();
}

// Bytes handed out and not yet freed on all the process's heaps (the C runtime's malloc included).
std::uint64_t HeapBytesInUse() {
    std::vector<HANDLE> heaps(64);
    for (;;) {
        const DWORD count = ::GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
        if (count <= heaps.size()) {
            heaps.resize(count);
            break;
        }
        heaps.resize(count);
    }
    std::uint64_t inUse = 0;
    for (const HANDLE heap : heaps) {
        if (!::HeapLock(heap)) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (::HeapWalk(heap, &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) inUse += entry.cbData;
        }
        ::HeapUnlock(heap);
    }
    return inUse;
}

struct ProcessUse {
    DWORD handles = 0;
    std::uint64_t heapInUse = 0;
    std::uint64_t privateBytes = 0;
    std::uint64_t workingSet = 0;
};

ProcessUse Measure() {
    ProcessUse use;
    use.handles = HandleCount();
    use.heapInUse = HeapBytesInUse();
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) {
        use.privateBytes = counters.PagefileUsage;
        use.workingSet = counters.WorkingSetSize;
    }
    return use;
}

// Whether anyone in the process has the socket library started: closing no socket fails either
// way, and the error says which.
bool SocketLibraryStarted() {
    return ::closesocket(INVALID_SOCKET) == SOCKET_ERROR && ::WSAGetLastError() != WSANOTINITIALISED;
}

std::string Printer(int n) {
    const char* net = std::getenv("SIM_NET");
    return std::string(net ? net : "") + "." + std::to_string(n);
}

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

// The library loaded as the printer port loads it: by full path, both objects looked up.
struct Library {
    explicit Library(const wchar_t* path = CONTROLLER_LIBRARY_PATH) : module(::LoadLibraryW(path)) {
        if (!module) return;
        const auto remoteConnect = Export<GetRemoteConnectApiFn>(module.get(), kGetRemoteConnectApiExport);
        const auto serviceTool = Export<GetServiceToolApiFn>(module.get(), kGetServiceToolApiExport);
        remote = remoteConnect ? remoteConnect() : nullptr;
        service = serviceTool ? serviceTool() : nullptr;
    }
    bool Loaded() const { return module && remote && service; }

    UniqueModule module;
    RemoteConnectAPI* remote = nullptr;
    ServiceToolAPI* service = nullptr;
};

// One load as the printer port makes it: the versions checked, the conversation, the unload.
// Fails the test at the first thing that does not work.
void LoadUseAndUnload(const std::string& printer, const std::string& nobody) {
    Library library;
    ASSERT_TRUE(library.Loaded()) << "LoadLibrary: " << ::GetLastError();
    ASSERT_STREQ(library.remote->GetVersion(), kControllerApiVersion);
    ASSERT_STREQ(library.service->GetVersion(), kControllerApiVersion);

    ASSERT_EQ(library.remote->Connect(nobody.c_str()), 0) << "nothing listens at " << nobody;
    ASSERT_NE(library.remote->Connect(printer.c_str()), 0);
    char info[kControllerInfoBufferSize] = {};
    library.service->GetInformation(info, sizeof info);
    ASSERT_EQ(std::string(info).rfind("MDL:", 0), 0u) << info;
    std::uint32_t status = 1, detail = 1;
    ASSERT_NE(library.service->GetStatus(&status, &detail), 0);
    ASSERT_EQ(status, 0u);
}

// Both copies loaded, each connected to the printer and asked, then unloaded one after the other
// in the order given. Fails the test at the first thing that does not work.
void LoadBothUseAndUnload(const std::wstring& copy, const std::string& printer, bool copyGoesFirst) {
    std::optional<Library> original(std::in_place);
    std::optional<Library> other(std::in_place, copy.c_str());
    ASSERT_TRUE(original->Loaded() && other->Loaded()) << "LoadLibrary: " << ::GetLastError();
    ASSERT_NE(original->module.get(), other->module.get()) << "the copy was taken for the loaded library";

    ASSERT_NE(original->remote->Connect(printer.c_str()), 0);
    ASSERT_NE(other->remote->Connect(printer.c_str()), 0);
    for (Library* library : {&*original, &*other}) {
        char info[kControllerInfoBufferSize] = {};
        library->service->GetInformation(info, sizeof info);
        ASSERT_EQ(std::string(info).rfind("MDL:", 0), 0u) << "the other copy's connect closed this one's";
        std::uint32_t status = 1, detail = 1;
        ASSERT_NE(library->service->GetStatus(&status, &detail), 0);
        ASSERT_EQ(status, 0u);
    }
    (copyGoesFirst ? other : original).reset();
}

// A line every thousand loads, written out at once: a library that brings the process down still
// shows how far it got and what it had left behind by then.
void Report(int loads, const ProcessUse& use) {
    std::printf("after load %5d: %4lu handles, %9llu bytes in use on the heaps, %9llu private bytes, "
                "%9llu working set\n",
                loads, use.handles, static_cast<unsigned long long>(use.heapInUse),
                static_cast<unsigned long long>(use.privateBytes), static_cast<unsigned long long>(use.workingSet));
    std::fflush(stdout);
}

struct Soaked {
    int loads = 0;
    ProcessUse before;  // after the warm-up
    ProcessUse after;
};

// Calls `round`, which loads the library `loadsPerRound` times, until kLoads loads were made, or
// until the test fails; the process's use is taken after the warm-up and at the end.
template <typename Round>
Soaked Soak(int loadsPerRound, Round round) {
    Soaked soaked;
    const ULONGLONG start = ::GetTickCount64();
    for (int n = 0; soaked.loads < kWarmUpLoads && !testing::Test::HasFailure(); ++n) {
        round(n);
        soaked.loads += loadsPerRound;
    }
    soaked.before = Measure();
    Report(soaked.loads, soaked.before);
    for (int n = 0; soaked.loads < kLoads && !testing::Test::HasFailure(); ++n) {
        round(n);
        soaked.loads += loadsPerRound;
        if (soaked.loads % 1000 == 0 && soaked.loads < kLoads) Report(soaked.loads, Measure());
    }
    soaked.after = Measure();
    Report(soaked.loads, soaked.after);
    std::printf("%d loads in %.1f s\n", soaked.loads, static_cast<double>(::GetTickCount64() - start) / 1000.0);
    return soaked;
}

void ExpectNothingLeftBehind(const Soaked& soaked) {
    ASSERT_EQ(soaked.loads, kLoads);
    EXPECT_GT(soaked.after.handles, 0u) << "the process's handles cannot be counted";
    EXPECT_LE(soaked.after.handles, soaked.before.handles);
    EXPECT_LE(soaked.after.heapInUse, soaked.before.heapInUse + kHeapTolerance);
    EXPECT_LE(soaked.after.privateBytes, soaked.before.privateBytes + kPagesTolerance);
    EXPECT_LE(soaked.after.workingSet, soaked.before.workingSet + kPagesTolerance);
}

TEST(ControllerLibrarySoak, TenThousandLoadsLeaveNothingBehind) {
    ASSERT_NE(std::getenv("SIM_NET"), nullptr) << "run this test through with-sim.sh";
    const std::string printer = Printer(2);
    const std::string nobody = Printer(5);
    ASSERT_FALSE(SocketLibraryStarted());
    WSADATA data{};
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);

    const Soaked soaked = Soak(1, [&](int) { LoadUseAndUnload(printer, nobody); });
    ::WSACleanup();

    ExpectNothingLeftBehind(soaked);
    EXPECT_FALSE(SocketLibraryStarted()) << "the library left a start of the socket library behind";
}

// The copy's file, deleted when the test ends however it ends.
class CopiedLibrary {
public:
    explicit CopiedLibrary(std::wstring path) : m_path(std::move(path)) {
        m_copied = ::CopyFileW(CONTROLLER_LIBRARY_PATH, m_path.c_str(), FALSE) != 0;
    }
    ~CopiedLibrary() { ::DeleteFileW(m_path.c_str()); }
    CopiedLibrary(const CopiedLibrary&) = delete;
    CopiedLibrary& operator=(const CopiedLibrary&) = delete;

    bool Copied() const { return m_copied; }
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
    bool m_copied = false;
};

// Ports of installations that run side by side each load a copy of the library of their own:
// two modules at once, each with its own runtime, socket library start and connection, coming
// and going in either order.
TEST(ControllerLibrarySoak, TwoCopiesLoadedTogetherLeaveNothingBehind) {
    ASSERT_NE(std::getenv("SIM_NET"), nullptr) << "run this test through with-sim.sh";
    wchar_t directory[MAX_PATH + 1] = {};
    ASSERT_NE(::GetTempPathW(MAX_PATH, directory), 0u);
    // Another base name than the library's own, and not one of the installer's.
    const CopiedLibrary copy(std::wstring(directory) + L"controller_library_soak_" +
                             std::to_wstring(::GetCurrentProcessId()) + L".dll");
    ASSERT_TRUE(copy.Copied()) << "CopyFile: " << ::GetLastError();
    const std::string printer = Printer(2);
    ASSERT_FALSE(SocketLibraryStarted());
    WSADATA data{};
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);

    const Soaked soaked = Soak(2, [&](int round) { LoadBothUseAndUnload(copy.Path(), printer, round % 2 != 0); });
    ::WSACleanup();

    ExpectNothingLeftBehind(soaked);
    EXPECT_FALSE(SocketLibraryStarted()) << "a copy left a start of the socket library behind";
}

// A host that has not started the socket library itself: the library's connection needs a start
// between calls, and the start goes with the connection.
TEST(ControllerLibrarySoak, WithoutTheHostsStartTheConnectionKeepsOneOfItsOwn) {
    ASSERT_NE(std::getenv("SIM_NET"), nullptr) << "run this test through with-sim.sh";
    ASSERT_FALSE(SocketLibraryStarted());
    Library library;
    ASSERT_TRUE(library.Loaded());

    ASSERT_NE(library.remote->Connect(Printer(2).c_str()), 0);
    EXPECT_TRUE(SocketLibraryStarted());
    std::uint32_t status = 1, detail = 1;
    EXPECT_NE(library.service->GetStatus(&status, &detail), 0) << "the connection did not outlive the connect";
    EXPECT_EQ(status, 0u);

    EXPECT_EQ(library.remote->Connect(Printer(5).c_str()), 0);
    EXPECT_FALSE(SocketLibraryStarted()) << "the closed connection kept its start";
}

}  // namespace
