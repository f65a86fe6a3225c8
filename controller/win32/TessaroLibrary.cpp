// The controller library the installer carries (Tessaro.DLL): the two exported interface objects,
// both served by one protocol connection to the printer. Every call fails cleanly (false, an
// empty text, operation code -1) when the printer cannot be asked; nothing is thrown across the
// library's boundary, since the caller was built against another copy of the C++ runtime.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/Clock.h"
#include "controller/ControllerApi.h"
#include "controller/ControllerClient.h"
#include "controller/win32/AnsiText.h"
#include "network/win32/WinsockNetwork.h"

// The C++ runtime linked into the library: frees the reserve it sets aside as the library loads
// for exceptions thrown when memory has run out.
namespace __gnu_cxx {
void __freeres();
}

namespace {

// The runtime's reserve for exceptions is about 73 KB taken from the process's heap as the
// library loads, and the runtime never gives it back itself: every load would leave it behind.
// Made before every other static object of the library, this goes after all of them, when no
// exception can be thrown any more.
struct RuntimeReserve {
    ~RuntimeReserve() { __gnu_cxx::__freeres(); }
};
RuntimeReserve g_runtimeReserve __attribute__((init_priority(101)));

// The status word written when the printer could not be asked: bit 31 set with state code 15,
// which the installer reads as "the information text is not valid" and "not accepted" rather
// than as a printer that is ready.
constexpr std::uint32_t kUnknownStatusWord = 0xFFFFFFFF;
constexpr int kUnknownOperationCode = -1;

// The clock of the library's own: static storage, gone with the library.
class TickClock final : public IClock {
public:
    std::uint64_t TickCount() const override { return ::GetTickCount64(); }
    void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

// Whether the process has the socket library started, by anyone. Closing no socket fails either
// way; the error says which.
bool SocketLibraryStarted() {
    return ::closesocket(INVALID_SOCKET) == SOCKET_ERROR && ::WSAGetLastError() != WSANOTINITIALISED;
}

// The socket library as the library uses it. Its start may not be given back while the library
// is being unloaded (under the loader lock), and the installer unloads the library after every
// operation, so every call starts the socket library for itself and gives that start back before
// it returns. The connection left open between calls lives on the host's own start: the installer
// keeps the socket library started for as long as it runs. Only in a process that has not
// started it does the library keep a start of its own while its connection is open; that one
// goes when the connection closes during a call, and stays if the library is unloaded with the
// connection open.
class CallNetwork final : public INetwork {
public:
    CallNetwork() = default;
    CallNetwork(const CallNetwork&) = delete;
    CallNetwork& operator=(const CallNetwork&) = delete;

    // Starts the socket library for the call that begins.
    void Begin() {
        if (!m_holdsStart) m_hostStarted = SocketLibraryStarted();
        m_call.emplace();
    }

    // Gives the call's start back; `connected`: the call leaves the connection open.
    void End(bool connected) noexcept {
        if (connected && !m_hostStarted && !m_holdsStart) {
            WSADATA data{};
            m_holdsStart = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        } else if (!connected && m_holdsStart) {
            ::WSACleanup();
            m_holdsStart = false;
        }
        m_call.reset();
    }

    // Sockets only while a call runs.
    std::unique_ptr<IByteStream> NewStream() override { return m_call ? m_call->NewStream() : nullptr; }
    std::unique_ptr<IDatagramSocket> NewDatagramSocket() override {
        return m_call ? m_call->NewDatagramSocket() : nullptr;
    }
    std::string ResolveIpv4(std::wstring_view host) override {
        return m_call ? m_call->ResolveIpv4(host) : std::string();
    }

private:
    std::optional<WinsockNetwork> m_call;
    bool m_hostStarted = false;
    bool m_holdsStart = false;
};

// The library's one connection, and everything it needs, owned by the library: the installer
// loads and unloads it around every request (up to twenty times a second while it waits for a
// printer), so a load must leave nothing behind. Unloading closes the connection. The lock is a
// slim reader/writer lock, which holds no handle and needs no clean-up.
class Session {
public:
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs `request` on the client, one caller at a time; `failed` when it cannot run.
    template <typename Result, typename Request>
    Result Run(Result failed, Request&& request) {
        ::AcquireSRWLockExclusive(&m_lock);
        Result result = failed;
        try {
            m_network.Begin();
            if (!m_client) m_client = std::make_unique<ctl::ControllerClient>(m_network, m_clock);
            result = request(*m_client);
        } catch (...) {
            result = failed;
        }
        m_network.End(m_client && m_client->Connected());
        ::ReleaseSRWLockExclusive(&m_lock);
        return result;
    }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
    TickClock m_clock;
    CallNetwork m_network;
    std::unique_ptr<ctl::ControllerClient> m_client;  // declared last: closes the connection first
};

Session g_session;

std::uint8_t AsByte(bool value) { return value ? 1 : 0; }

class RemoteConnect final : public RemoteConnectAPI {
public:
    const char* GetVersion() override { return kControllerApiVersion; }

    std::uint8_t Connect(const char* address) override {
        if (!address) return 0;
        return AsByte(g_session.Run(false, [&](ctl::ControllerClient& client) { return client.Connect(address); }));
    }
};

class ServiceTool final : public ServiceToolAPI {
public:
    const char* GetVersion() override { return kControllerApiVersion; }

    std::uint8_t GetStatus(std::uint32_t* status, std::uint32_t* detail) override {
        const std::optional<ctl::StatusWords> words = g_session.Run(
            std::optional<ctl::StatusWords>(), [](ctl::ControllerClient& client) { return client.GetStatus(); });
        if (status) *status = words ? words->status : kUnknownStatusWord;
        if (detail) *detail = words ? words->detail : 0;
        return AsByte(words && words->answer);
    }

    std::uint8_t Reserved2() override { return 0; }

    std::uint8_t GetInformation(char* buffer, int size) override {
        const std::optional<std::string> info = g_session.Run(
            std::optional<std::string>(), [](ctl::ControllerClient& client) { return client.GetInfo(); });
        CopyAsAnsi(info ? *info : std::string(), buffer, size);
        return AsByte(info.has_value());
    }

    std::uint8_t StartUpdate(int argument) override {
        return AsByte(
            g_session.Run(false, [&](ctl::ControllerClient& client) { return client.StartUpdate(argument); }));
    }

    std::uint8_t RequestReboot() override {
        return AsByte(g_session.Run(false, [](ctl::ControllerClient& client) { return client.RequestReboot(); }));
    }

    std::uint8_t Reserved6() override { return 0; }
    std::uint8_t Reserved7() override { return 0; }
    std::uint8_t Reserved8() override { return 0; }
    std::uint8_t Reserved9() override { return 0; }

    std::uint8_t GetOperationCode(int* code) override {
        const std::optional<std::int32_t> value = g_session.Run(
            std::optional<std::int32_t>(), [](ctl::ControllerClient& client) { return client.GetOperationCode(); });
        if (code) *code = value ? *value : kUnknownOperationCode;
        return AsByte(value.has_value());
    }
};

RemoteConnect g_remoteConnect;
ServiceTool g_serviceTool;

}  // namespace

// The exports, named by Tessaro.def.
extern "C" RemoteConnectAPI* GetRemoteConnectAPI() { return &g_remoteConnect; }
extern "C" ServiceToolAPI* GetServiceToolAPI() { return &g_serviceTool; }
