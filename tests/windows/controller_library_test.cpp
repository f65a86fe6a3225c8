// The controller library as the installer uses it: loaded from its file, reached through its two
// exports and the interface objects' slots, against the printer simulator (@2 stays ready, @3
// goes through update mode and a restart, @4 counts connections; nothing listens on @5). @9 is
// a printer of the test's own that accepts the connection and never answers. The information
// text's conversion to the ANSI code page is checked on its own, with a double-byte code page.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "common/win32/UniqueHandle.h"
#include "controller/ControllerApi.h"
#include "controller/ControllerProtocol.h"
#include "controller/win32/AnsiText.h"
#include "tests/windows/SimControl.h"

namespace {

constexpr std::uint32_t kUnknownStatusWord = 0xFFFFFFFF;

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
    const FARPROC address = ::GetProcAddress(module, name);
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
}

// The library loaded the way the installer loads it: by full path, both objects looked up.
class Library {
public:
    Library() : m_module(::LoadLibraryW(CONTROLLER_LIBRARY_PATH)) {
        if (!m_module) return;
        const auto remote = Export<GetRemoteConnectApiFn>(m_module.get(), kGetRemoteConnectApiExport);
        const auto service = Export<GetServiceToolApiFn>(m_module.get(), kGetServiceToolApiExport);
        m_remote = remote ? remote() : nullptr;
        m_service = service ? service() : nullptr;
    }

    bool Loaded() const { return m_module && m_remote && m_service; }
    RemoteConnectAPI& Remote() { return *m_remote; }
    ServiceToolAPI& Service() { return *m_service; }

    bool Connect(const std::string& address) { return m_remote->Connect(address.c_str()) != 0; }
    std::string Information(int size = kControllerInfoBufferSize) {
        std::string buffer(static_cast<std::size_t>(size), 'x');
        m_service->GetInformation(buffer.data(), size);
        return buffer.substr(0, buffer.find('\0'));
    }
    void Unload() {
        m_remote = nullptr;
        m_service = nullptr;
        m_module.reset();
    }

private:
    UniqueModule m_module;
    RemoteConnectAPI* m_remote = nullptr;
    ServiceToolAPI* m_service = nullptr;
};

class ControllerLibrary : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.Connected());
        ASSERT_TRUE(library.Loaded()) << "cannot load the library or its objects: " << ::GetLastError();
    }

    SimControl sim;
    Library library;
};

TEST_F(ControllerLibrary, BothObjectsReportVersionV100) {
    EXPECT_STREQ(library.Remote().GetVersion(), "V100");
    EXPECT_STREQ(library.Service().GetVersion(), "V100");
}

TEST_F(ControllerLibrary, RequestsBeforeAnyConnectFailCleanly) {
    std::uint32_t status = 0, detail = 7;
    EXPECT_EQ(library.Service().GetStatus(&status, &detail), 0);
    EXPECT_EQ(status, kUnknownStatusWord);
    EXPECT_EQ(detail, 0u);
    EXPECT_EQ(library.Information(), "");
    int code = 0;
    library.Service().GetOperationCode(&code);
    EXPECT_EQ(code, -1);
    EXPECT_EQ(library.Service().StartUpdate(0), 0);
    EXPECT_EQ(library.Service().RequestReboot(), 0);
}

TEST_F(ControllerLibrary, ConnectsOnlyToAPrinterThatAnswers) {
    EXPECT_FALSE(library.Connect(sim.Printer(5))) << "nothing listens there";
    EXPECT_FALSE(library.Remote().Connect(nullptr));
    EXPECT_TRUE(library.Connect(sim.Printer(2)));
    EXPECT_FALSE(library.Connect(sim.Printer(5)));
    std::uint32_t status = 0, detail = 0;
    EXPECT_EQ(library.Service().GetStatus(&status, &detail), 0) << "the failed connect dropped the old connection";
}

TEST_F(ControllerLibrary, ReadsTheInformationTextAndStatusWords) {
    const std::string printer = sim.Printer(2);
    sim.Command("set " + printer + " model Zentil-T8");
    ASSERT_TRUE(library.Connect(printer));

    const std::string info = library.Information();
    EXPECT_EQ(info.rfind("MDL:Zentil-T8;", 0), 0u) << info;
    const std::string versions = "VER:" + sim.Show(printer, "firmware") + ";PANEL:" + sim.Show(printer, "panel") +
                                 ";MODE:NORMAL;";
    EXPECT_NE(info.find(versions), std::string::npos) << info;
    const std::string security = ";SECURITY:" + sim.Show(printer, "security") + ";";
    EXPECT_EQ(info.substr(info.size() - security.size()), security) << info;

    std::uint32_t status = 1, detail = 1;
    EXPECT_EQ(library.Service().GetStatus(&status, &detail), 1);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(detail, 0u);
    int code = -5;
    library.Service().GetOperationCode(&code);
    EXPECT_EQ(code, 0);
}

TEST_F(ControllerLibrary, InformationTextKeepsWithinTheBuffer) {
    ASSERT_TRUE(library.Connect(sim.Printer(2)));
    const std::string full = library.Information();
    ASSERT_GT(full.size(), 8u);

    const struct {
        int size;
        std::size_t textLength;
    } cases[] = {{8, 7}, {2, 1}, {1, 0}, {static_cast<int>(full.size()), full.size() - 1},
                 {static_cast<int>(full.size()) + 1, full.size()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::string buffer(static_cast<std::size_t>(c.size) + 4, 'x');
        library.Service().GetInformation(buffer.data(), c.size);
        EXPECT_EQ(buffer.substr(0, c.textLength), full.substr(0, c.textLength));
        EXPECT_EQ(buffer[c.textLength], '\0');
        EXPECT_EQ(buffer.substr(static_cast<std::size_t>(c.size)), "xxxx") << "written past the size";
    }
    char untouched = 'x';
    library.Service().GetInformation(&untouched, 0);
    EXPECT_EQ(untouched, 'x');
}

TEST_F(ControllerLibrary, StartsTheUpdateAndRestartsThePrinter) {
    const std::string printer = sim.Printer(3);
    ASSERT_TRUE(library.Connect(printer));
    EXPECT_EQ(library.Service().StartUpdate(0), 1);
    EXPECT_EQ(sim.Show(printer, "state"), "update-mode");
    std::uint32_t status = 0, detail = 0;
    EXPECT_EQ(library.Service().GetStatus(&status, &detail), 1);
    EXPECT_EQ(status, 0x81000000u);

    sim.Command("set " + printer + " opcode1 on");
    int code = 0;
    library.Service().GetOperationCode(&code);
    EXPECT_EQ(code, 1);
    sim.Command("set " + printer + " opcode1 off");

    EXPECT_EQ(library.Service().RequestReboot(), 1);
    EXPECT_EQ(sim.Show(printer, "reboot_requests"), "1");
    library.Service().GetOperationCode(&code);
    EXPECT_EQ(code, -1) << "the restarting printer cannot be asked";

    ASSERT_TRUE(sim.WaitFor(printer, "state", "ready"));
    ASSERT_TRUE(library.Connect(printer));
    EXPECT_EQ(library.Service().GetStatus(&status, &detail), 1);
    EXPECT_EQ(status, 0u);
}

TEST_F(ControllerLibrary, UnloadingClosesTheConnection) {
    const std::string printer = sim.Printer(4);
    ASSERT_TRUE(library.Connect(printer));
    EXPECT_EQ(sim.Show(printer, "controller_connections"), "1");
    ASSERT_TRUE(library.Connect(printer));
    EXPECT_TRUE(sim.WaitFor(printer, "controller_connections", "1")) << "a connect replaces the connection";

    library.Unload();
    EXPECT_TRUE(sim.WaitFor(printer, "controller_connections", "0"));

    Library again;
    ASSERT_TRUE(again.Loaded());
    EXPECT_TRUE(again.Connect(printer));
    EXPECT_EQ(again.Information().rfind("MDL:", 0), 0u);
}

// A listening socket that accepts connections (the system completes them) and never answers.
class SilentPrinter {
public:
    explicit SilentPrinter(const std::string& address) {
        WSADATA data{};
        m_started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        m_socket.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = ::htons(ctl::kControllerPort);
        where.sin_addr.s_addr = ::inet_addr(address.c_str());
        m_listening = m_socket &&
                      ::bind(m_socket.get(), reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0 &&
                      ::listen(m_socket.get(), 4) == 0;
    }
    ~SilentPrinter() {
        m_socket.reset();
        if (m_started) ::WSACleanup();
    }
    bool Listening() const { return m_listening; }

private:
    bool m_started = false;
    bool m_listening = false;
    UniqueSocket m_socket;
};

TEST_F(ControllerLibrary, PrinterThatNeverAnswersFailsWithinTheTimeOut) {
    const std::string printer = sim.Printer(9);
    SilentPrinter silent(printer);
    ASSERT_TRUE(silent.Listening()) << ::WSAGetLastError();

    const ULONGLONG start = ::GetTickCount64();
    EXPECT_FALSE(library.Connect(printer));
    const ULONGLONG elapsed = ::GetTickCount64() - start;
    EXPECT_GE(elapsed, 4500u) << "gave up before the response time-out";
    EXPECT_LT(elapsed, 8000u);
    std::uint32_t status = 0, detail = 0;
    EXPECT_EQ(library.Service().GetStatus(&status, &detail), 0);
}

// The conversion on its own: Japanese text in code page 932, where each of these characters
// takes two bytes, and in the thread's ANSI code page once the thread is Japanese.
TEST(ControllerInformationText, NeverSplitsADoubleByteCharacter) {
    const std::string utf8 = "MDL:\xE3\x82\xBC\xE3\x83\xB3;";  // "MDL:ゼン;"
    const std::string sjis = "MDL:\x83\x5B\x83\x93;";
    const struct {
        int size;
        std::string expected;
    } cases[] = {{64, sjis}, {9, sjis.substr(0, 8)}, {8, sjis.substr(0, 6)}, {7, sjis.substr(0, 6)},
                 {6, sjis.substr(0, 4)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        char buffer[64];
        std::memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(CopyAsAnsi(utf8, buffer, c.size, 932), static_cast<int>(c.expected.size()));
        EXPECT_EQ(std::string(buffer), c.expected);
    }

    const LCID before = ::GetThreadLocale();
    ASSERT_TRUE(::SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT)));
    char buffer[64];
    CopyAsAnsi(utf8, buffer, sizeof buffer);
    ::SetThreadLocale(before);
    EXPECT_EQ(std::string(buffer), sjis);
}

TEST(ControllerInformationText, ConvertsOrReplacesWhatTheCodePageLacks) {
    const struct {
        const char* utf8;
        const char* ansi;
    } cases[] = {
        {"SN:caf\xC3\xA9;", "SN:caf\xE9;"},   // é is one byte in 1252
        {"SN:\xE3\x82\xBC;", "SN:?;"},         // ゼ is not in 1252
        {"SN:\xFF;", "SN:?;"},                 // malformed UTF-8
        {"SN:A\xEF\xBC\x9B", "SN:A?"},          // a full-width semicolon is no separator
        {"", ""},
    };
    for (const auto& c : cases) {
        char buffer[32];
        std::memset(buffer, 'x', sizeof buffer);
        CopyAsAnsi(c.utf8, buffer, sizeof buffer, 1252);
        EXPECT_EQ(std::string(buffer), c.ansi) << c.utf8;
    }
}

}  // namespace
