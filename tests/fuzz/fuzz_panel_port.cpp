// The panel port reading whatever the panel sends, cut into TCP segments anyhow: an exchange of
// commands and awaited messages runs over a scripted connection. Whatever arrives, every frame
// the port sends must be well formed, every message acknowledgement 8 bytes, and no read may
// reach past what arrived.
//
// Input: segments, each a length byte (0: a receive that gets nothing in time) and that many bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ports/PanelFrame.h"
#include "ports/PanelNetworkPort.h"
#include "tests/native/fakes/RecordingPanelSystem.h"
#include "tests/native/fakes/ScriptedNetwork.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ManualClock clock;
    ScriptedNetwork network(clock);
    RecordingPanelSystem system;
    network.script.snmpAnswer = "SECURITY:0.00;";
    for (std::size_t at = 0; at < size;) {
        const std::size_t length = data[at++];
        if (length == 0) {
            network.script.incoming.push_back(Incoming::Silence());
            continue;
        }
        const std::size_t end = at + length < size ? at + length : size;
        network.script.incoming.push_back(Incoming::Bytes(std::vector<std::uint8_t>(data + at, data + end)));
        at = end;
    }

    CZPanelNetworkPort port(PanelPortEnvironment{network, clock, system, {}});
    port.setHost(L"192.168.0.10");
    if (!port.open()) __builtin_trap();
    const std::vector<std::uint8_t> text(15, ' ');
    const std::vector<std::uint8_t> block(1024, 0x03);
    port.sendCommand(15, 0xE000, 0, text.data());
    port.receiveReply(0xE00A, 16);
    port.receiveReply(0xE00D, 16);
    port.sendCommand(1024, 0xE007, 0, block.data());
    port.receiveReply(0xE00C, 16);
    port.shutdown();

    for (const std::vector<std::uint8_t>& sent : network.script.sent) {
        if (sent.empty()) __builtin_trap();
        if (sent[0] == panel::kAck) {
            if (panel::DecodeMessageAck(sent).status != panel::DecodeStatus::kComplete) __builtin_trap();
        } else if (panel::DecodePanelFrame(sent).consumed != sent.size()) {
            __builtin_trap();
        }
    }
    return 0;
}
