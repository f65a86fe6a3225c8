// The printer port: how the update logic reads the printer's information, puts it into update
// mode, sends it the firmware and follows it while it installs. Implemented over the controller
// library and TCP port 9100 by CDravonPort; tests use recording fakes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/PeerTrust.h"

// What looking at the printer's TLS peer before anything is sent found.
enum class PeerCheck {
    kTrusted,      // the printer wants no TLS and may have plain text, or its certificate is trusted
    kRefused,      // the trust said no (it holds why); nothing may be sent
    kUnreachable,  // the TLS peer could not be reached; the transfer's own connection decides
};

class CPort {
public:
    // The printer's information reply (key/value text). True exactly when `reply` is not empty.
    virtual bool queryInformation(std::wstring& reply) = 0;

    // Asks the printer to enter firmware-update mode. True when it accepted.
    virtual bool startUpdate() = 0;

    // Sends `length` bytes to the printer's data port in blocks of `blockSize` bytes (0 means
    // 102400). True only when every byte was sent.
    virtual bool sendData(const std::uint8_t* data, std::uint32_t length, std::uint32_t blockSize) = 0;

    // Unloads the controller library and deletes its file. The port stays usable and loads the
    // library again on its next operation. Never throws.
    virtual void release() = 0;

    // Asks the printer to restart. True when the request was accepted.
    virtual bool requestReboot() = 0;

    // True when the printer reports that it accepted the firmware (state code 6).
    virtual bool checkState() = 0;

    // The printer's operation code (45: the operator is busy at the panel; 1: aborted there);
    // -1 when the controller library cannot be loaded.
    virtual int getOperationCode() = 0;

    // The printer's status and detail words. True when the library answered.
    virtual bool getStatusWords(std::uint32_t& status, std::uint32_t& detail) = 0;

    // True when the printer runs its boot loader with a panel application version reported.
    virtual bool checkIplMode() = 0;

    // The installation's trust in the printer, which every TLS connection and every plain-text
    // transfer of the port consults first. Without one a printer that wants TLS gets nothing.
    virtual void setPeerTrust(std::shared_ptr<IPeerTrust> trust) = 0;

    // Before anything is sent: a printer that wants TLS shows its certificate to the trust (which
    // may ask the user); one that does not is checked for having been seen with TLS before.
    virtual PeerCheck checkPeerTrust() = 0;

    // Declared last, after the operations, so that their slot order stays as listed.
    virtual ~CPort() = default;
};

// A printer port reached over the network.
class CNetworkPort : public CPort {};

// Discards a printer port the only correct way: release() first, then delete.
struct PortRelease {
    void operator()(CPort* port) const noexcept {
        if (port) {
            port->release();
            delete port;
        }
    }
};

using PortPtr = std::unique_ptr<CPort, PortRelease>;
