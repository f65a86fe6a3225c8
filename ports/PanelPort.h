// The operation-panel port: a connection to the printer's panel over which the panel application
// updater exchanges framed, acknowledged commands. Implemented over TCP port 57602 (plain or TLS)
// by CZPanelNetworkPort; tests use recording fakes.
//
// One thread at a time: the transfer worker while it runs, the user-interface thread otherwise.
// A port may be destroyed on the worker thread while the process ends, so an implementation must
// not depend on other objects with static storage in its destructor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/PeerTrust.h"

class IPort {
public:
    // Connects to the panel; true at once when already connected.
    virtual bool open() = 0;

    // Ends the connection. Always true; afterwards the port is not connected.
    virtual bool close() = 0;

    // Orderly end: stops sending, reads until the panel closes its side, then close().
    virtual bool shutdown() = 0;

    // Sends one command of `length` data bytes (at most 1024; `data` may be null when the length
    // is 0), starting at attempt number `attempt` (callers pass 0) and trying up to attempt 2.
    // True when the panel acknowledged it.
    virtual bool sendCommand(std::uint16_t length, std::uint16_t command, std::uint8_t attempt,
                             const std::uint8_t* data) = 0;

    // Waits up to 40 s for a message from the panel of at most `maxSize` bytes. True when it
    // carried `command` and was acknowledged.
    virtual bool receiveReply(std::uint16_t command, int maxSize) = 0;

    // The panel's address text (dotted IPv4), used by the next open().
    virtual void setHost(const std::wstring& host) = 0;

    // 0 none, 2 not connected or the exchange failed, 8 unexpected reply, otherwise a socket error.
    virtual int getLastError() const = 0;

    // The installation's trust in the printer, consulted by every later connection: a TLS peer is
    // sent nothing before the trust took its certificate, and plain text goes only where the
    // trust allows it. Without one, a panel that wants TLS cannot be reached.
    virtual void setPeerTrust(std::shared_ptr<IPeerTrust> trust) = 0;

    virtual ~IPort() = default;
};

// A panel port that reaches nothing: every connection attempt fails. It stands in where an
// updater is made without a port (tests), so that a transfer fails cleanly instead of crashing.
class CNullPanelPort final : public IPort {
public:
    bool open() override {
        m_nLastError = 2;
        return false;
    }
    bool close() override { return true; }
    bool shutdown() override { return true; }
    bool sendCommand(std::uint16_t, std::uint16_t, std::uint8_t, const std::uint8_t*) override {
        m_nLastError = 2;
        return false;
    }
    bool receiveReply(std::uint16_t, int) override {
        m_nLastError = 2;
        return false;
    }
    void setHost(const std::wstring&) override {}
    int getLastError() const override { return m_nLastError; }
    void setPeerTrust(std::shared_ptr<IPeerTrust>) override {}

private:
    int m_nLastError = 0;
};
