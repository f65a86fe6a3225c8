// Test support: clients that play the installer's side of the printer's protocols, with the
// codecs the installer uses. Every wait is guarded.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "controller/ControllerProtocol.h"
#include "sim/Net.h"

namespace simtest {

// `text` padded with spaces (or cut) to `width` bytes, as the panel's fixed fields hold it.
std::vector<std::uint8_t> Text(std::string text, std::size_t width);

// A package of `size` bytes that starts like a ZIP archive; `seed` makes packages of one size differ.
std::vector<std::uint8_t> Package(std::size_t size, unsigned seed = 0);

// The controller library's protocol on TCP 9180: one request, one response.
class ControllerClient {
public:
    explicit ControllerClient(const std::string& address);
    bool Connected() const { return m_fd.Valid(); }
    int Fd() const { return m_fd.Get(); }

    std::optional<ctl::Response> Ask(ctl::Request request);
    std::optional<ctl::Response> Ask(std::uint8_t type) { return Ask(ctl::Request{type, 0, {}, 0, true}); }
    bool Send(ctl::Request request);
    bool Send(std::uint8_t type) { return Send(ctl::Request{type, 0, {}, 0, true}); }
    std::optional<ctl::Response> Receive();
    // HELLO naming `address`: true when the printer there says it is the one.
    bool Hello(const std::string& address);
    // The status word, 0xDEADBEEF when there was no sound answer.
    std::uint32_t Status();

private:
    sim::Fd m_fd;
    std::uint32_t m_id = 0;
};

// The panel exchange on TCP 57602: commands with up to three attempts, each waiting 2 s for its
// acknowledgement, and the panel's messages acknowledged as they come; over TLS 1.2 when asked.
class InstallerPanel {
public:
    explicit InstallerPanel(const std::string& address, bool tls = false);
    InstallerPanel(const InstallerPanel&) = delete;
    InstallerPanel& operator=(const InstallerPanel&) = delete;

    bool Connected() const { return m_fd.Valid(); }
    int Fd() const { return m_fd.Get(); }
    // Waits this long before each command, as an installer that takes its time between them.
    void SetPace(std::chrono::microseconds pace) { m_pace = pace; }

    // The attempt number that was acknowledged, or -1.
    int Send(std::uint16_t code, const std::vector<std::uint8_t>& data = {});
    // True when the next message is `code`; it is then acknowledged.
    bool Receive(std::uint16_t code);
    // The opening exchange (E000 to E005), as the installer opens every session.
    bool Open();
    // The package: its header, its blocks of 1 KB and its digest; true when all went through.
    bool SendPackage(const std::vector<std::uint8_t>& package, const std::string& digest);
    // The opening exchange and the package.
    bool Transfer(const std::vector<std::uint8_t>& package, const std::string& digest) {
        return Open() && SendPackage(package, digest);
    }

private:
    bool Write(std::span<const std::uint8_t> bytes);
    std::vector<std::uint8_t> ReadExactly(std::size_t size, int timeoutMs);

    struct CtxFree {
        void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
    };
    struct SslFree {
        void operator()(SSL* ssl) const { SSL_free(ssl); }
    };
    sim::Fd m_fd;
    std::unique_ptr<SSL_CTX, CtxFree> m_ctx;
    std::unique_ptr<SSL, SslFree> m_ssl;  // destroyed before the socket closes
    std::uint8_t m_sequence = 0;
    std::chrono::microseconds m_pace{0};
};

}  // namespace simtest
