// The controller library's end of the controller protocol: one connection to one printer, one
// request at a time, every response awaited under a time-out of the library's own so that a
// printer that never answers cannot hang the installer. Portable: it reaches the network only
// through INetwork and keeps time with IClock. Not thread-safe; the library serialises its calls.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/Clock.h"
#include "controller/ControllerProtocol.h"
#include "network/Network.h"

namespace ctl {

// How long the library waits to reach the printer (and for a send to go out), and for each
// response, counted from when its request went out.
inline constexpr std::uint32_t kConnectTimeoutMs = 3000;
inline constexpr std::uint32_t kResponseTimeoutMs = 5000;

// A GET_STATUS answer as the printer gave it.
struct StatusWords {
    bool answer = false;
    std::uint32_t status = 0;
    std::uint32_t detail = 0;
};

class ControllerClient {
public:
    ControllerClient(INetwork& network, IClock& clock);
    ~ControllerClient();
    ControllerClient(const ControllerClient&) = delete;
    ControllerClient& operator=(const ControllerClient&) = delete;

    // Closes the previous connection, if any, connects to `address` on kControllerPort and says
    // HELLO with `address`. True when the printer answered that it is the printer at that
    // address; otherwise the connection is closed again.
    bool Connect(std::string_view address);

    // The requests. Each fails (nullopt, false) when there is no connection, when the exchange
    // fails (the connection is then closed and every later request fails until the next
    // Connect), or when the printer answered with an error result (the connection stays).
    std::optional<std::string> GetInfo();
    std::optional<StatusWords> GetStatus();
    bool StartUpdate(std::int32_t argument);  // the printer's answer
    bool RequestReboot();                     // the printer's answer
    std::optional<std::int32_t> GetOperationCode();

    bool Connected() const { return m_stream != nullptr; }
    void Close();

private:
    // Sends `request` (its id filled in) and reads its response; nullopt on a failed exchange,
    // which closes the connection.
    std::optional<Response> Exchange(Request request);
    std::optional<Response> ReadResponse(std::uint8_t type, std::uint32_t id);
    // An exchange whose response must carry result kOk.
    std::optional<Response> Ask(std::uint8_t type, std::int32_t argument = 0);

    INetwork& m_network;
    IClock& m_clock;
    std::unique_ptr<IByteStream> m_stream;  // null: not connected
    std::uint32_t m_nextId = 1;
};

}  // namespace ctl
