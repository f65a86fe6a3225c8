// A network whose peer follows a script: what each receive on a connection returns, how each
// connection attempt ends, which send fails, and what the SNMP agent answers. Everything asked of
// it goes into one log of text lines, and every byte sent is kept, so a test reads the whole
// exchange. Waits take no real time: a receive that gets nothing moves the clock on by its wait.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "network/Network.h"
#include "tests/native/fakes/ManualClock.h"

// What one receive on a connection gets.
struct Incoming {
    enum class Kind { kBytes, kSilence, kError };
    Kind kind = Kind::kBytes;
    std::vector<std::uint8_t> bytes;

    static Incoming Bytes(std::string_view text) { return {Kind::kBytes, {text.begin(), text.end()}}; }
    static Incoming Bytes(std::vector<std::uint8_t> bytes) { return {Kind::kBytes, std::move(bytes)}; }
    static Incoming Silence() { return {Kind::kSilence, {}}; }
    static Incoming Error() { return {Kind::kError, {}}; }
};

struct NetworkScript {
    // Name resolution: hosts not listed do not resolve.
    std::map<std::wstring, std::string> hosts = {{L"192.168.0.10", "192.168.0.10"}};
    // The SNMP agent's answer text to any community; nothing: a silent agent.
    std::optional<std::string> snmpAnswer;
    // How the next connection attempts end: 0 connected, otherwise the error number. When it
    // runs out, connections succeed.
    std::deque<int> connectResults;
    // What the peer sends, one entry per receive (bytes beyond the reader's size stay for its
    // next receive). When it runs out, every receive waits its whole time in vain.
    std::deque<Incoming> incoming;
    // The send (counting from 0 over all connections) that fails; -1 none.
    int failSendAt = -1;
    // The send (counted the same way) that takes one byte less than it was given; -1 none.
    int shortSendAt = -1;
    // The certificate a TLS stream's peer presents; none: it presents none.
    std::optional<PresentedCertificate> peerCertificate = PresentedCertificate{{0x30, 0x03, 0x01, 0x02, 0x03}, {0x5C}, false};

    // Lines: "resolve HOST", "snmp AGENT:PORT COMMUNITY", "connect HOST:PORT TIMEOUT" (with
    // "tls " before it for secure streams), then "connected", "connect failed ERROR" or
    // "connect failed: no such host"; "send N bytes" or "send failed", "receive SIZE TIMEOUT -> N",
    // "shutdown send", "close", "peer certificate NAME...".
    std::vector<std::string> log;
    std::vector<std::vector<std::uint8_t>> sent;  // every send's bytes, in order
    int sends = 0;
    int streamsAlive = 0;
};

class ScriptedNetwork final : public INetwork {
public:
    explicit ScriptedNetwork(ManualClock& clock) : m_clock(clock) {}

    std::unique_ptr<IByteStream> NewStream() override;
    std::unique_ptr<IDatagramSocket> NewDatagramSocket() override;
    std::string ResolveIpv4(std::wstring_view host) override;

    // An unconnected stream that says "tls" in the log: stands in for the TLS socket.
    std::unique_ptr<ISecureStream> NewSecureStream();

    NetworkScript script;

private:
    std::unique_ptr<ISecureStream> MakeStream(bool secure);

    ManualClock& m_clock;
};

// Text of the log lines that start with `prefix`.
std::vector<std::string> LogLines(const NetworkScript& script, std::string_view prefix);
