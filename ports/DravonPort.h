// The printer port: most requests go through the printer maker's controller library, which the
// port writes from the installer's resources into the temporary directory, loads, checks and
// unloads again around each operation. The library keeps one connection per loaded module, so a
// port with the library loaded has a module, and a file, of its own (ControllerLibraryFile): ports
// of installations that run side by side, on threads of their own, each talk to their own printer.
// The firmware goes to TCP port 9100 directly, and when the library cannot put a printer without
// TLS into update mode the port sends the update-mode frame itself. Whether the printer wants TLS
// is read once, over SNMP, at construction.
//
// Everything the port needs from the system comes through DravonEnvironment, so that the order of
// library calls, the status-word rules and the transfers run the same against fakes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/Clock.h"
#include "controller/ControllerApi.h"
#include "ports/ControllerHost.h"
#include "ports/ControllerLibraryFile.h"
#include "network/Network.h"
#include "ports/Port.h"

inline constexpr std::uint16_t kPrinterDataPort = 9100;
inline constexpr std::uint32_t kDefaultSendBlockSize = 102400;
inline constexpr int kTlsConnectAttempts = 3;
// A transfer to port 9100 that makes no progress for this long fails: the connection is not made,
// or a block is not taken by the printer. A printer that stops reading would otherwise hold the
// installer for good.
inline constexpr std::uint32_t kDataPortStallMs = 60000;
// The connection that only shows the printer's certificate before anything is sent waits this long
// for the printer to accept it; one that does not come in time leaves the decision to the transfer.
inline constexpr std::uint32_t kTrustCheckConnectMs = 10000;

struct DravonEnvironment {
    IControllerHost& host;
    INetwork& network;
    IClock& clock;  // paces the SNMP query
    // The SNMP answer is text in the system's ANSI code page (not the thread's, unlike the
    // library's information text).
    std::wstring (*fromSystemAnsi)(std::string_view text);
    // TLS connections to port 9100 for a printer that asks for them. Empty: such a printer gets
    // no firmware. Nothing goes over one before the port's trust has taken the certificate.
    SecureStreamFactory newSecureStream;
    // How long a transfer to port 9100 may make no progress (the connection, then each block).
    std::uint32_t stallMs = kDataPortStallMs;
};

class CDravonPort final : public CNetworkPort {
public:
    // `address` is the printer's IPv4 address in network byte order. Reads the printer's
    // SECURITY setting and loads the library once; a failed load is not an error here, since
    // every operation loads again when it needs to.
    //
    // This form uses the environment the platform registered (SetDefaultEnvironment); without
    // one the port reaches nothing and every operation fails.
    explicit CDravonPort(std::uint32_t address);
    CDravonPort(std::uint32_t address, const DravonEnvironment& environment);
    ~CDravonPort() override;

    CDravonPort(const CDravonPort&) = delete;
    CDravonPort& operator=(const CDravonPort&) = delete;

    // Registers the environment of ports made without one; call once at start-up, before the
    // first port is made. The referenced objects must outlive every port.
    static void SetDefaultEnvironment(const DravonEnvironment& environment);
    // Forgets it again: later ports reach nothing. For tests.
    static void ClearDefaultEnvironment();

    bool queryInformation(std::wstring& reply) override;
    bool startUpdate() override;
    bool sendData(const std::uint8_t* data, std::uint32_t length, std::uint32_t blockSize) override;
    void release() noexcept override;
    bool requestReboot() override;
    bool checkState() override;
    int getOperationCode() override;
    bool getStatusWords(std::uint32_t& status, std::uint32_t& detail) override;
    bool checkIplMode() override;
    void setPeerTrust(std::shared_ptr<IPeerTrust> trust) override { m_trust = std::move(trust); }
    PeerCheck checkPeerTrust() override;

    // True when transfers to port 9100 must use TLS; decided at construction.
    bool isSecure() const { return m_bSecure; }

private:
    bool extractController();
    bool loadController();
    bool loadOnDemand();
    bool connectPrinter();
    void unload() noexcept;
    void querySecurity();
    bool querySnmpStatus(std::wstring& text);
    bool sendSecure(const std::uint8_t* data, std::uint32_t length, std::uint32_t address, std::uint32_t blockSize);
    bool trustPeer(ISecureStream& stream);
    bool plainAllowed();

    std::uint32_t m_dwAddress;  // network byte order
    bool m_bSecure = false;
    IControllerHost::Module m_hModule = nullptr;
    ControllerLibraryFile m_libraryFile;  // this port's own file; held until unload
    ServiceToolAPI* m_pServiceTool = nullptr;
    RemoteConnectAPI* m_pRemoteConnect = nullptr;
    DravonEnvironment m_env;
    std::shared_ptr<IPeerTrust> m_trust;
};
