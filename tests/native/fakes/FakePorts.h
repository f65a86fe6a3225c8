// Recording fakes of the printer port, the panel port and the clock for the update logic's tests.
// The panel fakes write one line per request into a shared log, so a test reads the whole
// exchange, pauses included, as a list of lines.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "ports/PanelPort.h"
#include "ports/Port.h"

// Counts that outlive the fake printer port (which the code under test deletes).
struct PrinterPortLog {
    int queries = 0;
    int releases = 0;
    int startUpdates = 0;
    int sends = 0;
    std::vector<std::uint8_t> lastSent;
    std::uint32_t lastBlockSize = 0;
    bool destroyed = false;
    std::shared_ptr<IPeerTrust> trust;  // what the installation gave the port
    // What checkPeerTrust finds: a printer that wants TLS and presents this certificate (not
    // reached when `tlsUnreachable`), or, without one, a printer that wants plain text.
    std::optional<PresentedCertificate> tlsCertificate;
    bool tlsUnreachable = false;
    int peerChecks = 0;
};

class FakePrinterPort final : public CPort {
public:
    explicit FakePrinterPort(std::shared_ptr<PrinterPortLog> log, std::wstring reply = {}, bool answers = true)
        : m_log(std::move(log)), m_reply(std::move(reply)), m_answers(answers) {}
    ~FakePrinterPort() override { m_log->destroyed = true; }

    bool queryInformation(std::wstring& reply) override {
        ++m_log->queries;
        reply = m_answers ? m_reply : std::wstring();
        return m_answers;
    }
    bool startUpdate() override {
        ++m_log->startUpdates;
        return m_startUpdateAnswer;
    }
    bool sendData(const std::uint8_t* data, std::uint32_t length, std::uint32_t blockSize) override {
        ++m_log->sends;
        m_log->lastSent.assign(data, data + length);
        m_log->lastBlockSize = blockSize;
        return m_log->sends > m_failedSends;
    }
    void release() override { ++m_log->releases; }
    bool requestReboot() override { return true; }
    bool checkState() override { return false; }
    int getOperationCode() override { return 0; }
    bool getStatusWords(std::uint32_t& status, std::uint32_t& detail) override {
        status = detail = 0;
        return true;
    }
    bool checkIplMode() override { return false; }
    void setPeerTrust(std::shared_ptr<IPeerTrust> trust) override { m_log->trust = std::move(trust); }
    PeerCheck checkPeerTrust() override {
        ++m_log->peerChecks;
        IPeerTrust* trust = m_log->trust.get();
        if (!m_log->tlsCertificate) return !trust || trust->AllowPlain() ? PeerCheck::kTrusted : PeerCheck::kRefused;
        if (m_log->tlsUnreachable) return PeerCheck::kUnreachable;
        return trust && trust->Trust(&*m_log->tlsCertificate) ? PeerCheck::kTrusted : PeerCheck::kRefused;
    }

    std::shared_ptr<PrinterPortLog> m_log;
    std::wstring m_reply;
    bool m_answers;
    bool m_startUpdateAnswer = true;
    int m_failedSends = 0;  // the first sends that fail
};

// A fresh fake printer port, owned the way the product owns ports.
inline PortPtr MakePrinterPort(const std::shared_ptr<PrinterPortLog>& log, std::wstring reply, bool answers = true) {
    return PortPtr(new FakePrinterPort(log, std::move(reply), answers));
}

// The shared log of a panel exchange. Lines: "open", "close", "shutdown", "host <text>",
// "send <code> <payload>" (payload as text, or "<n> bytes" under the data command),
// "receive <code>", "sleep <ms>". Guarded, since the worker writes while a test may read.
class PanelLog {
public:
    void Add(std::string line) {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(std::move(line));
    }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    void AddBlock(std::vector<std::uint8_t> block) {
        std::lock_guard lock(m_mutex);
        m_blocks.push_back(std::move(block));
    }
    std::vector<std::vector<std::uint8_t>> Blocks() const {
        std::lock_guard lock(m_mutex);
        return m_blocks;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
    std::vector<std::vector<std::uint8_t>> m_blocks;
};

// Lets a test hold the panel fake's receive until it says so, and learn when the port is gone.
class PanelGate {
public:
    void Close() {
        std::lock_guard lock(m_mutex);
        m_open = false;
    }
    void Open() {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_changed.notify_all();
    }
    void WaitOpen() {
        std::unique_lock lock(m_mutex);
        m_waiting = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_open; });
    }
    // Waits until a receive is blocked on the gate; false after `timeoutMs` without one.
    bool WaitForBlockedReceive(int timeoutMs) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_waiting; });
    }
    void MarkPortDestroyed() {
        {
            std::lock_guard lock(m_mutex);
            m_portDestroyed = true;
        }
        m_changed.notify_all();
    }
    bool WaitForPortDestroyed(int timeoutMs) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_portDestroyed; });
    }
    bool PortDestroyed() {
        std::lock_guard lock(m_mutex);
        return m_portDestroyed;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = true;
    bool m_waiting = false;
    bool m_portDestroyed = false;
};

std::string PanelCode(std::uint16_t command);

class RecordingPanelPort final : public IPort {
public:
    explicit RecordingPanelPort(std::shared_ptr<PanelLog> log, std::shared_ptr<PanelGate> gate = nullptr)
        : m_log(std::move(log)), m_gate(std::move(gate)) {}
    ~RecordingPanelPort() override {
        if (m_gate) m_gate->MarkPortDestroyed();
    }

    bool open() override;
    bool close() override;
    bool shutdown() override;
    bool sendCommand(std::uint16_t length, std::uint16_t command, std::uint8_t attempt,
                     const std::uint8_t* data) override;
    bool receiveReply(std::uint16_t command, int maxSize) override;
    void setHost(const std::wstring& host) override;
    int getLastError() const override { return m_lastError; }
    void setPeerTrust(std::shared_ptr<IPeerTrust> trust) override { m_trust = std::move(trust); }

    std::shared_ptr<IPeerTrust> m_trust;
    // The request (counting open, sendCommand and receiveReply only, from 0) that fails; -1 none.
    int m_failAt = -1;
    // Panel messages that never come: receiveReply for them fails.
    std::vector<std::uint16_t> m_silentCodes;

private:
    bool Fallible();

    std::shared_ptr<PanelLog> m_log;
    std::shared_ptr<PanelGate> m_gate;
    int m_requests = 0;
    int m_lastError = 0;
    bool m_connected = false;
};

// A clock whose pauses take no time and go into the panel log.
class RecordingClock final : public IClock {
public:
    explicit RecordingClock(std::shared_ptr<PanelLog> log) : m_log(std::move(log)) {}
    std::uint64_t TickCount() const override { return m_ticks; }
    void Sleep(std::uint32_t milliseconds) override {
        m_ticks += milliseconds;
        m_log->Add("sleep " + std::to_string(milliseconds));
    }

private:
    std::shared_ptr<PanelLog> m_log;
    std::uint64_t m_ticks = 0;
};
