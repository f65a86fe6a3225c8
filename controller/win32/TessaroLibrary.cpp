// The controller library the installer carries (Tessaro.DLL): the two exported interface objects,
// both served by one protocol connection to the printer. Every call fails cleanly (false, an
// empty text, operation code -1) when the printer cannot be asked; nothing is thrown across the
// library's boundary, since the caller was built against another copy of the C++ runtime.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/Clock.h"
#include "controller/ControllerApi.h"
#include "controller/ControllerClient.h"
#include "controller/win32/AnsiText.h"
#include "ports/win32/WinsockNetwork.h"

namespace {

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

// The library's one connection, and everything it needs, owned by the library: the installer
// loads and unloads it around every request (up to twenty times a second while it waits for a
// printer), so a load must leave nothing behind. The socket library is started on the first
// request, not while the library loads (never under the loader lock), and the start is given
// back when the library is unloaded: the host has started the socket library itself to reach us
// (its own address text came from it), so that clean-up only lowers the count. The lock is a
// slim reader/writer lock, which holds no handle and needs no clean-up.
class Session {
public:
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        m_client.reset();   // closes the connection
        m_network.reset();  // gives the socket library's start back
    }

    // Runs `request` on the client, one caller at a time; `failed` when it cannot run.
    template <typename Result, typename Request>
    Result Run(Result failed, Request&& request) {
        ::AcquireSRWLockExclusive(&m_lock);
        Result result = failed;
        try {
            if (!m_client) {
                if (!m_network) m_network = std::make_unique<WinsockNetwork>();
                m_client = std::make_unique<ctl::ControllerClient>(*m_network, m_clock);
            }
            result = request(*m_client);
        } catch (...) {
            result = failed;
        }
        ::ReleaseSRWLockExclusive(&m_lock);
        return result;
    }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
    TickClock m_clock;
    std::unique_ptr<WinsockNetwork> m_network;
    std::unique_ptr<ctl::ControllerClient> m_client;
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
