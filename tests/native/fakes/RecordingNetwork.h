// A network that records what the port under test does with it: every TCP stream (where it
// connected, each Send call's bytes) and every SNMP request, answered by a fake agent with a
// configured text. Single-threaded.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ports/Network.h"

struct RecordedStream {
    std::wstring host;
    std::uint16_t port = 0;
    bool connected = false;
    std::vector<std::vector<std::uint8_t>> sends;  // one entry per Send call, as accepted
    bool closed = false;

    std::vector<std::uint8_t> AllSent() const;
};

class RecordingNetwork final : public INetwork {
public:
    std::unique_ptr<IByteStream> NewStream() override;
    std::unique_ptr<IDatagramSocket> NewDatagramSocket() override;
    std::string ResolveIpv4(std::wstring_view host) override;

    // Streams.
    bool connects = true;
    int shortSendAt = -1;  // this Send call (counted over all streams, from 0) takes one byte less
    int failSendAt = -1;   // this Send call fails
    std::deque<RecordedStream> streams;  // in the order they were made
    int sendCalls = 0;

    // The SNMP agent: the text it answers every community with; nothing means it never answers.
    std::optional<std::string> snmpAnswer;
    std::vector<std::string> snmpAgents;  // the agent address of each request
};
