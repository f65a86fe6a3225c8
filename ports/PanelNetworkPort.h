// The operation-panel port over the network: TCP 57602 to the printer's panel, plain or TLS as the
// printer's SECURITY setting (read over SNMP before each connection) asks. Frames go out with up
// to three attempts, each waiting for the panel's acknowledgement; the panel's own messages are
// acknowledged as they arrive, and the sequence number follows the panel's numbering.
//
// The port reaches the system only through the seams below, so the whole protocol runs in the
// native tests against recording fakes and against the printer simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/Clock.h"
#include "network/Network.h"
#include "ports/PanelPort.h"

// A system object the port holds for its whole life; destruction releases it.
class IHeldSystemObject {
public:
    virtual ~IHeldSystemObject() = default;
};

// What the panel port needs from the system besides the network.
class IPanelPortSystem {
public:
    virtual ~IPanelPortSystem() = default;

    // Creates the machine-wide named mutex `name`, not owned by the caller (an existing one is
    // opened). The returned object keeps its handle; null when the mutex could not be had.
    virtual std::unique_ptr<IHeldSystemObject> CreateNamedMutex(std::wstring_view name) = 0;

    // Text in the system's ANSI code page (the SNMP answer) as wide text.
    virtual std::wstring FromSystemAnsi(std::string_view text) = 0;
};

struct PanelPortEnvironment {
    INetwork& network;
    IClock& clock;
    IPanelPortSystem& system;
    // The panel's TLS connections (three attempts, repeated only after a time-out), each shown to
    // the port's trust before anything is sent. Empty: a printer that asks for security cannot be
    // reached.
    SecureStreamFactory newSecureStream;
};

class CZPanelNetworkPort final : public IPort {
public:
    static constexpr std::uint16_t kPanelTcpPort = 57602;
    static constexpr std::uint32_t kDefaultTimeoutMs = 2000;
    static constexpr std::uint32_t kReplyTimeoutMs = 40000;
    static constexpr std::size_t kReceiveBufferSize = 2065;
    static constexpr int kTlsConnectAttempts = 3;
    static constexpr wchar_t kMutexName[] = L"Global\\PanelUpdater";

    // Last-error values besides socket error numbers.
    static constexpr int kErrorNone = 0;
    static constexpr int kErrorNotConnected = 2;
    static constexpr int kErrorUnexpectedReply = 8;

    explicit CZPanelNetworkPort(PanelPortEnvironment environment);
    ~CZPanelNetworkPort() override;
    CZPanelNetworkPort(const CZPanelNetworkPort&) = delete;
    CZPanelNetworkPort& operator=(const CZPanelNetworkPort&) = delete;

    bool open() override;
    bool close() override;
    bool shutdown() override;
    bool sendCommand(std::uint16_t length, std::uint16_t command, std::uint8_t attempt,
                     const std::uint8_t* data) override;
    bool receiveReply(std::uint16_t command, int maxSize) override;
    void setHost(const std::wstring& host) override;
    int getLastError() const override { return m_nLastError; }
    void setPeerTrust(std::shared_ptr<IPeerTrust> trust) override { m_trust = std::move(trust); }

    // Readings for tests and diagnostics.
    bool IsConnected() const { return m_bConnected; }
    bool IsSecure() const { return m_bSecure; }
    std::uint8_t Sequence() const { return m_nSequence; }

private:
    bool querySecurity();
    bool querySnmpStatus(std::string& text);
    bool connectPanel();
    bool connectPlain();
    bool connectSecure();
    void endConnection();

    // 1 acknowledged, 0 no acknowledgement in time, -1 failure or a wrong acknowledgement.
    int sendFrame(std::uint16_t length, std::uint16_t command, std::uint8_t attempt, const std::uint8_t* data);
    // The bytes sent (8), or -1.
    int acknowledgeReply(std::uint16_t command, const std::vector<std::uint8_t>& message);
    // Sends all of `bytes` on the connection; on failure the connection is ended and -1 returned.
    int sendWhole(const std::uint8_t* bytes, std::size_t size);
    // Bytes kept from an earlier read first, then one receive from the connection waiting up to
    // `timeoutMs`: the count, 0 when nothing arrived in time, -1 on a receive error.
    int receiveData(std::uint8_t* buffer, std::size_t size, std::uint32_t timeoutMs);
    // Reads into `bytes` until it holds `wanted` bytes or the time until `deadline` has run out.
    // False when a receive failed.
    bool receiveUntil(std::vector<std::uint8_t>& bytes, std::size_t wanted, std::uint64_t deadline);
    // Keeps bytes that arrived behind the message just read, for the next read.
    void keepForNextRead(const std::uint8_t* bytes, std::size_t size);

    INetwork& m_network;
    IClock& m_clock;
    IPanelPortSystem& m_system;
    SecureStreamFactory m_newSecureStream;
    std::shared_ptr<IPeerTrust> m_trust;

    std::wstring m_strHost;
    bool m_bConnected = false;
    std::unique_ptr<IByteStream> m_stream;  // the plain or TLS connection; null when none
    std::unique_ptr<IHeldSystemObject> m_mutex;
    std::uint32_t m_nTimeout = kDefaultTimeoutMs;
    int m_nLastError = kErrorNone;
    std::uint8_t m_nSequence = 0;
    bool m_bSecure = false;
    // Bytes of the panel's next message that arrived together with the previous one.
    std::vector<std::uint8_t> m_pending;
};
