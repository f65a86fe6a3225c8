// Printer discovery as the installer runs it, under Wine on a network of its own (with-netns.sh):
// the PC's adapters, the mDNS search against the simulated printers' responders (@3 answers with
// a malformed message, @4 sends every answer twice, @5 answers by multicast whatever it was asked,
// @6 splits its records over three datagrams, @7 answers in 1994 bytes, more than the search's
// buffer takes, @8 and @9 announce the same instance, each to one adapter only), the merge of the
// adapters in address order, the listening phase's length, sockets that cannot be set up, searches
// on other threads, at once, and stopped, and the registered printers read from DeviceInfo.xml
// merged with what answered. DiscoveryWithHeldAdapter runs on a PC with a third adapter whose
// port 5353 another program holds (with-netns.sh's WITH_NETNS_HELD_ADAPTER).
#include <winsock2.h>
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/Text.h"
#include "common/win32/CodePage.h"
#include "common/win32/UniqueHandle.h"
#include "discovery/DeviceInfoXml.h"
#include "discovery/win32/DeviceInfoPath.h"
#include "discovery/win32/MdnsSocket.h"
#include "tests/native/fakes/HexBytes.h"
#include "tests/windows/SimControl.h"
#include "update/UpdateModel.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::wstring> PcAddresses() {
    std::vector<std::wstring> addresses;
    std::istringstream in(std::getenv("PC_ADDRESSES") ? std::getenv("PC_ADDRESSES") : "");
    for (std::string a; in >> a;) addresses.push_back(text::WidenBytes(a));
    return addresses;
}

std::string HeldAddress() { return std::getenv("PC_HELD_ADDRESS") ? std::getenv("PC_HELD_ADDRESS") : ""; }

std::uint32_t HostOrder(const std::string& dotted) { return ::ntohl(::inet_addr(dotted.c_str())); }

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The models this build supports, as the installer's firmware description says them.
const CFirmUpdateInfo& Models() {
    static const CFirmUpdateInfo models(340, 41852, L"Zentil-640,Zentil-1640");
    return models;
}

// What a search heard, sorted: "TEXT from SOURCE" each.
std::vector<std::wstring> Heard(const CMDNSSearch& search) {
    std::vector<std::wstring> texts;
    for (const CMDNSService& service : search.m_services) texts.push_back(service.m_strText + L" from " + service.m_strSource);
    std::sort(texts.begin(), texts.end());
    return texts;
}

// A port taken for this process alone, as another program may hold it.
UniqueSocket HoldExclusively(const std::wstring& address, std::uint16_t port) {
    UniqueSocket holder(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    BOOL exclusive = TRUE;
    ::setsockopt(holder.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                 sizeof exclusive);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_port = ::htons(port);
    self.sin_addr.s_addr = ::inet_addr(WideToCodePage(CP_ACP, address).c_str());
    if (::bind(holder.get(), reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) holder.reset();
    return holder;
}

// Whether a thread (by default the calling one) has a message-only window of the search's
// notification class.
bool NotifyWindowExists(DWORD thread = ::GetCurrentThreadId()) {
    for (HWND window = nullptr;
         (window = ::FindWindowExW(HWND_MESSAGE, window, L"CorvaneMdnsNotify", nullptr)) != nullptr;) {
        if (::GetWindowThreadProcessId(window, nullptr) == thread) return true;
    }
    return false;
}

// This process's standard error goes to a file while the capture lives; Lines() restores it and
// gives what was written.
class StderrCapture {
public:
    StderrCapture() {
        wchar_t folder[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, folder);
        ::GetTempFileNameW(folder, L"err", 0, m_path);
        std::fflush(stderr);
        m_saved = ::_dup(2);
        const int file = ::_wopen(m_path, _O_WRONLY | _O_TRUNC | _O_BINARY);
        if (file >= 0) {
            ::_dup2(file, 2);
            ::_close(file);
        }
    }
    ~StderrCapture() {
        Restore();
        ::DeleteFileW(m_path);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::vector<std::string> Lines() {
        Restore();
        std::ifstream in(m_path, std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }

private:
    void Restore() {
        if (m_saved < 0) return;
        std::fflush(stderr);
        ::_dup2(m_saved, 2);
        ::_close(m_saved);
        m_saved = -1;
    }

    wchar_t m_path[MAX_PATH] = {};
    int m_saved = -1;
};

std::string LeftOut(const std::wstring& address, const char* step, int error) {
    return "mDNS search: " + WideToCodePage(CP_ACP, address) + " left out: " + step + " failed, error " +
           std::to_string(error);
}

class DiscoveryBase : public testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA data{};
        ::WSAStartup(MAKEWORD(2, 2), &data);
    }

    // A whole search; its duration in milliseconds.
    long long Search(CMDNSSearch& search, BOOL expected = TRUE, HANDLE stop = nullptr) {
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(search.Run(stop), expected);
        return MsSince(start);
    }

    // How many datagrams @n's last answer took.
    std::size_t Datagrams(int n) {
        const std::string sizes = m_sim.Show(m_sim.Printer(n), "mdns_last_answer");
        return sizes.empty() ? 0 : 1 + static_cast<std::size_t>(std::count(sizes.begin(), sizes.end(), ','));
    }

    // "TEXT from @n", as Heard() writes it.
    std::wstring From(const std::wstring& text, int n) { return text + L" from " + text::WidenBytes(m_sim.Printer(n)); }

    SimControl m_sim;
};

class Discovery : public DiscoveryBase {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_sim.Connected());
        ASSERT_EQ(PcAddresses().size(), 2u) << "run through with-netns.sh";
        // @8 answers the first adapter only, @9 the second only: the same instance heard on each
        // adapter from another sender.
        const std::vector<std::wstring> pc = PcAddresses();
        m_sim.Command("set " + m_sim.Printer(8) + " mdns_ignore_from " + WideToCodePage(CP_ACP, pc[1]));
        m_sim.Command("set " + m_sim.Printer(9) + " mdns_ignore_from " + WideToCodePage(CP_ACP, pc[0]));
    }

    // What every search over both adapters hears: each printer once, from its own address; of
    // the instance @8 and @9 share, the one heard on the later adapter in address order.
    std::vector<std::wstring> Everything() {
        std::vector<std::wstring> texts = {
            From(L"Corvane_Zentil-640_(ZT640-000001) ZT640000001.local", 1),
            From(L"Corvane_Zentil-1640_(ZT1640-000002) ZT1640000002.local", 2),
            // Of the malformed answer, what lies within the datagram counts: its SRV target
            // points past the end, so the instance is there without a host.
            From(L"Corvane_Zentil-640_(ZT640-000003) ", 3),
            From(L"Corvane_Zentil-640_(ZT640-000004) ZT640000004.local", 4),
            From(L"Corvane_Zentil-640_(ZT640-000005) ZT640000005.local", 5),
            From(L"Corvane_Zentil-640_(ZT640-000006) ZT640000006.local", 6),
            From(L"Corvane_Zentil-640_(ZT640-000007) ZT640000007.local", 7),
            From(L"Corvane_Zentil-640_(ZT640-000008) ZT640000009.local", 9),
        };
        std::sort(texts.begin(), texts.end());
        return texts;
    }
};

TEST_F(Discovery, TheLocalAddressesAreThePcsAdaptersWithoutLoopback) {
    CMDNSSearch search;
    search.EnumLocalAddresses();
    EXPECT_EQ(search.m_addresses, PcAddresses());
}

TEST_F(Discovery, TheSimulatedPrintersAnswerWithinTheListeningPhase) {
    for (int n = 1; n <= 9; ++n) m_sim.Command("clear " + m_sim.Printer(n));
    CMDNSSearch search;
    search.EnumLocalAddresses();
    const long long elapsed = Search(search);
    EXPECT_GE(elapsed, 2000);
    EXPECT_LT(elapsed, 2600);

    // Each printer heard on both adapters, twice, by multicast, in pieces or cut short at the
    // buffer's end, is one service.
    EXPECT_EQ(Heard(search), Everything());
    EXPECT_EQ(Datagrams(5), 1u);
    EXPECT_EQ(Datagrams(6), 3u);
    EXPECT_EQ(m_sim.Show(m_sim.Printer(7), "mdns_last_answer"), "1994");

    // The query each printer got is the 44-byte PTR query, whatever its first two bytes.
    const MdnsQuery query = BuildQuery(0);
    const std::string expected = LowerHexText(query.data() + 2, query.size() - 2);
    for (int n : {1, 2}) {
        const std::string received = m_sim.Show(m_sim.Printer(n), "mdns_last_query");
        ASSERT_EQ(received.size(), 88u) << received;
        EXPECT_EQ(received.substr(4), expected);
        EXPECT_EQ(m_sim.Show(m_sim.Printer(n), "mdns_queries"), "2") << "one query from each adapter";
    }

    CPrinterInfoList list;
    search.AddCandidates(list, &Models());
    ASSERT_EQ(list.GetSize(), 8u);
    for (std::size_t i = 0; i < list.GetSize(); ++i) {
        const std::wstring& serial = list[i].m_strSerialNum;
        int n = serial == L"ZT1640-000002" ? 2 : 0;
        for (int k : {1, 3, 4, 5, 6, 7, 8}) {
            if (serial == L"ZT640-00000" + std::to_wstring(k)) n = k == 8 ? 9 : k;
        }
        ASSERT_NE(n, 0) << list[i].m_strService;
        EXPECT_EQ(list[i].m_dwIPAddress, HostOrder(m_sim.Printer(n))) << list[i].m_strService;
    }
}

// Each adapter keeps the last announcement of an instance it heard; over the adapters, the one
// later in the search's address order wins. @8 and @9 announce the same instance, @8 to the
// first adapter only and @9 to the second only, so the order alone decides which is listed.
TEST_F(Discovery, TheLaterAdapterInAddressOrderWins) {
    const std::vector<std::wstring> pc = PcAddresses();
    const struct {
        std::vector<std::wstring> order;
        std::wstring expected;
    } cases[] = {
        {{pc[0], pc[1]}, From(L"Corvane_Zentil-640_(ZT640-000008) ZT640000009.local", 9)},
        {{pc[1], pc[0]}, From(L"Corvane_Zentil-640_(ZT640-000008) ZT640000008.local", 8)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToCodePage(CP_ACP, c.order[0]) + " first");
        CMDNSSearch search;
        search.m_addresses = c.order;
        search.m_dwTimeout = 1000;
        Search(search);
        const std::vector<std::wstring> heard = Heard(search);
        const auto shared = std::count_if(heard.begin(), heard.end(), [](const std::wstring& text) {
            return text.rfind(L"Corvane_Zentil-640_(ZT640-000008) ", 0) == 0;
        });
        EXPECT_EQ(shared, 1);
        EXPECT_NE(std::find(heard.begin(), heard.end(), c.expected), heard.end());
    }
}

TEST_F(Discovery, TheListeningPhaseLastsItsTimeWithOrWithoutSockets) {
    for (bool withSockets : {false, true}) {
        SCOPED_TRACE(withSockets ? "with sockets" : "without sockets");
        CMDNSSearch search;
        search.m_dwTimeout = 1000;
        if (withSockets) search.EnumLocalAddresses();
        const long long elapsed = Search(search);
        EXPECT_GE(elapsed, 1000);
        EXPECT_LT(elapsed, 1500);
    }
}

// An adapter whose socket cannot be set up (here the second, its port 5353 taken by a socket
// that shares it with no one) is left out with one line on standard error; the addresses before
// and after it are searched for the whole phase.
TEST_F(Discovery, AnAdapterThatCannotBeSetUpIsLeftOutAndTheOthersSearched) {
    const std::vector<std::wstring> pc = PcAddresses();
    const UniqueSocket holder = HoldExclusively(pc[1], kMdnsPort);
    ASSERT_TRUE(holder);

    m_sim.Command("clear " + m_sim.Printer(1));
    CMDNSSearch search;
    search.m_addresses = {pc[0], pc[1], pc[0]};
    StderrCapture errors;
    const long long elapsed = Search(search);
    EXPECT_EQ(errors.Lines(), std::vector<std::string>{LeftOut(pc[1], "bind", WSAEACCES)});
    EXPECT_GE(elapsed, 2000);
    EXPECT_EQ(m_sim.Show(m_sim.Printer(1), "mdns_queries"), "2") << "the first and the third address asked";
    const std::vector<std::wstring> heard = Heard(search);
    EXPECT_NE(std::find(heard.begin(), heard.end(), From(L"Corvane_Zentil-640_(ZT640-000001) ZT640000001.local", 1)),
              heard.end());
}

TEST_F(Discovery, NoAdapterThatCanBeSetUpEndsTheSearchAtOnceWithNothingFound) {
    const std::vector<std::wstring> pc = PcAddresses();
    const UniqueSocket holder = HoldExclusively(pc[1], kMdnsPort);
    ASSERT_TRUE(holder);

    m_sim.Command("clear " + m_sim.Printer(1));
    CMDNSSearch search;
    search.m_addresses = {pc[1], pc[1]};
    StderrCapture errors;
    const long long elapsed = Search(search, FALSE);
    EXPECT_EQ(errors.Lines(), std::vector<std::string>(2, LeftOut(pc[1], "bind", WSAEACCES)));
    EXPECT_LT(elapsed, 1000) << "no listening phase";
    EXPECT_TRUE(search.m_services.empty());
    ::Sleep(300);
    EXPECT_EQ(m_sim.Show(m_sim.Printer(1), "mdns_queries"), "0");
}

// The main dialog searches on a worker thread: a search there hears its answers even after one
// on this thread, each search's window goes with it, and two at once on two threads each hear
// the printer that answers by multicast (unicast answers to one address and port reach one of
// the two sockets sharing it, whichever the system picks, so between them they hear the rest).
TEST_F(Discovery, SearchesOnOtherThreadsAndAtOnce) {
    {
        CMDNSSearch here;
        here.EnumLocalAddresses();
        here.m_dwTimeout = 1000;
        Search(here);
        EXPECT_EQ(Heard(here), Everything());
        EXPECT_FALSE(NotifyWindowExists());
    }

    CMDNSSearch searches[2];
    BOOL results[2] = {};
    std::atomic<bool> windowLeft{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            searches[i].EnumLocalAddresses();
            searches[i].m_dwTimeout = 1500;
            results[i] = searches[i].Run();
            if (NotifyWindowExists()) windowLeft = true;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_FALSE(windowLeft);

    std::vector<std::wstring> together;
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(results[i]);
        const std::vector<std::wstring> heard = Heard(searches[i]);
        EXPECT_NE(std::find(heard.begin(), heard.end(), From(L"Corvane_Zentil-640_(ZT640-000005) ZT640000005.local", 5)),
                  heard.end());
        together.insert(together.end(), heard.begin(), heard.end());
    }
    std::sort(together.begin(), together.end());
    together.erase(std::unique(together.begin(), together.end()), together.end());
    for (const std::wstring& text : Everything()) {
        EXPECT_NE(std::find(together.begin(), together.end(), text), together.end()) << WideToCodePage(CP_UTF8, text);
    }
}

// Cancel on the main dialog: the stop event ends a search on another thread within a few
// milliseconds, with FALSE and nothing merged, and its sockets and window are gone; a search
// whose stop is already signalled sends nothing.
TEST_F(Discovery, AStopEndsTheSearchPromptlyWithNothingMerged) {
    const std::vector<std::wstring> pc = PcAddresses();
    const UniqueKernelObject stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(stop);

    CMDNSSearch search;
    search.EnumLocalAddresses();
    search.m_dwTimeout = 10000;
    BOOL result = TRUE;
    Clock::time_point returned{};
    bool windowLeft = true;
    std::atomic<DWORD> workerId{0};
    std::thread worker([&] {
        workerId = ::GetCurrentThreadId();
        result = search.Run(stop.get());
        returned = Clock::now();
        windowLeft = NotifyWindowExists();
    });
    ::Sleep(500);  // the printers have answered by now
    EXPECT_TRUE(NotifyWindowExists(workerId)) << "the search's window belongs to the thread that runs it";
    EXPECT_FALSE(NotifyWindowExists());
    const Clock::time_point signalled = Clock::now();
    ::SetEvent(stop.get());
    worker.join();
    const long long delay = std::chrono::duration_cast<std::chrono::milliseconds>(returned - signalled).count();
    EXPECT_LT(delay, 50);
    EXPECT_FALSE(result);
    EXPECT_TRUE(search.m_services.empty());
    EXPECT_FALSE(windowLeft);
    // Port 5353 of both adapters is free to take for oneself: no socket of the search is left.
    for (const std::wstring& address : pc) EXPECT_TRUE(HoldExclusively(address, kMdnsPort)) << WideToCodePage(CP_ACP, address);

    m_sim.Command("clear " + m_sim.Printer(1));
    CMDNSSearch stopped;
    stopped.EnumLocalAddresses();
    EXPECT_LT(Search(stopped, FALSE, stop.get()), 50);
    EXPECT_TRUE(stopped.m_services.empty());
    ::Sleep(300);
    EXPECT_EQ(m_sim.Show(m_sim.Printer(1), "mdns_queries"), "0");
}

// The listening phase dispatches every message of its thread, a window's among them, and hands
// a quit it took back to the thread's own loop once the phase is over, which a quit does not cut
// short.
TEST_F(Discovery, TheThreadsMessagesAreDispatchedAndAQuitHandedBack) {
    static std::atomic<int> handled{0};
    handled = 0;
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = [](HWND window, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (message == WM_APP + 1) ++handled;
        return ::DefWindowProcW(window, message, wParam, lParam);
    };
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"DiscoveryTestWindow";
    ::RegisterClassExW(&windowClass);

    std::atomic<HWND> window{nullptr};
    std::atomic<DWORD> threadId{0};
    int handledDuringRun = -1;
    long long elapsed = 0;
    bool quitAfter = false;
    WPARAM quitCode = 0;
    std::thread worker([&] {
        HWND own = ::CreateWindowExW(0, L"DiscoveryTestWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     ::GetModuleHandleW(nullptr), nullptr);
        MSG message;
        ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists from here
        threadId = ::GetCurrentThreadId();
        window = own;
        CMDNSSearch search;
        search.EnumLocalAddresses();
        search.m_dwTimeout = 1000;
        const Clock::time_point start = Clock::now();
        search.Run();
        elapsed = MsSince(start);
        handledDuringRun = handled;
        if (::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
            quitAfter = true;
            quitCode = message.wParam;
        }
        ::DestroyWindow(own);
    });
    for (int i = 0; i < 200 && !window; ++i) ::Sleep(10);
    ASSERT_TRUE(window) << "the worker's window";
    ::Sleep(200);
    ::PostMessageW(window, WM_APP + 1, 0, 0);
    ::PostThreadMessageW(threadId, WM_QUIT, 7, 0);
    ::PostMessageW(window, WM_APP + 1, 0, 0);
    worker.join();
    EXPECT_EQ(handledDuringRun, 2);
    EXPECT_GE(elapsed, 1000);
    EXPECT_TRUE(quitAfter);
    EXPECT_EQ(quitCode, 7u);
}

// The registered printers, read from DeviceInfo.xml where the maker's software keeps it, are
// updated by what answers, and what else answers is added.
TEST_F(Discovery, RegisteredPrintersAreMergedWithThoseThatAnswer) {
    wchar_t shared[MAX_PATH] = {};
    ASSERT_TRUE(::SHGetSpecialFolderPathW(nullptr, shared, CSIDL_COMMON_APPDATA, TRUE));
    const std::wstring folder = std::wstring(shared) + L"\\Corvane Quillmark\\Quillmark\\Device";
    ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    const std::wstring file = folder + L"\\DeviceInfo.xml";
    const std::uint32_t one = HostOrder(m_sim.Printer(1));
    {
        // uchIP holds the address's octets from the least significant byte up.
        const std::int32_t uchIP = static_cast<std::int32_t>(::htonl(one));
        std::ofstream out(file.c_str(), std::ios::binary);
        out << "\xEF\xBB\xBF<DeviceInfoList><DeviceInfo><strNickName>\xE4\xBA\x8B\xE5\x8B\x99\xE6\x89\x80</strNickName>"
               "<strLongModelName>Corvane Zentil-640</strLongModelName><strSerialNum>OLD</strSerialNum>"
               "<ePortType>0</ePortType><uchIP>"
            << uchIP << "</uchIP></DeviceInfo></DeviceInfoList>";
    }

    CPrinterInfoList list;
    CDeviceInfoPath path;
    for (int attempt = 0; attempt < CDeviceInfoPath::kAttempts; ++attempt) {
        if (ParseDeviceInfoXml(ReadUtf8File(path.Find(attempt).value_or(L"")), list) > 0) break;
    }
    ::DeleteFileW(file.c_str());
    ASSERT_EQ(list.GetSize(), 1u);
    EXPECT_EQ(path.m_strFile, file);

    CMDNSSearch search;
    search.EnumLocalAddresses();
    Search(search);
    search.AddCandidates(list, &Models());
    ASSERT_EQ(list.GetSize(), 8u);
    EXPECT_EQ(list[0].m_dwIPAddress, one);
    EXPECT_EQ(list[0].m_strNickName, L"事務所");
    EXPECT_EQ(list[0].m_strModel, L"Zentil-640");
    EXPECT_EQ(list[0].m_strSerialNum, L"ZT640-000001");
    for (std::size_t i = 1; i < list.GetSize(); ++i) {
        EXPECT_NE(list[i].m_dwIPAddress, one);
        EXPECT_TRUE(list[i].m_strNickName.empty());
    }
}

// A PC with a third adapter whose port 5353 a Linux program holds for itself: the search leaves
// it out, says so once, and lists the printers it hears on the other two for the whole phase.
class DiscoveryWithHeldAdapter : public DiscoveryBase {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_sim.Connected());
        ASSERT_EQ(PcAddresses().size(), 3u) << "run through with-netns.sh with WITH_NETNS_HELD_ADAPTER=1";
        ASSERT_FALSE(HeldAddress().empty());
    }
};

TEST_F(DiscoveryWithHeldAdapter, ThePrintersOnTheOtherAdaptersAreListed) {
    for (int n : {1, 2}) m_sim.Command("clear " + m_sim.Printer(n));
    CMDNSSearch search;
    search.EnumLocalAddresses();
    EXPECT_EQ(search.m_addresses, PcAddresses());

    StderrCapture errors;
    const long long elapsed = Search(search);
    EXPECT_EQ(errors.Lines(), std::vector<std::string>{LeftOut(text::WidenBytes(HeldAddress()), "bind", WSAEACCES)});
    EXPECT_GE(elapsed, 2000);
    EXPECT_LT(elapsed, 2600);
    EXPECT_EQ(Heard(search), (std::vector<std::wstring>{From(L"Corvane_Zentil-1640_(ZT1640-000002) ZT1640000002.local", 2),
                                                        From(L"Corvane_Zentil-640_(ZT640-000001) ZT640000001.local", 1)}));
    for (int n : {1, 2}) EXPECT_EQ(m_sim.Show(m_sim.Printer(n), "mdns_queries"), "2") << "one query from each good adapter";

    CPrinterInfoList list;
    search.AddCandidates(list, &Models());
    ASSERT_EQ(list.GetSize(), 2u);
}

TEST_F(DiscoveryWithHeldAdapter, TheHeldAdapterAloneFindsNothingAtOnce) {
    CMDNSSearch search;
    search.m_addresses = {text::WidenBytes(HeldAddress())};
    StderrCapture errors;
    EXPECT_LT(Search(search, FALSE), 1000) << "no listening phase";
    EXPECT_EQ(errors.Lines().size(), 1u);
    EXPECT_TRUE(search.m_services.empty());
}

}  // namespace
