// Shared by the panel transfer tests that run against the simulator, natively and under Wine: a
// clock that keeps real time but skips the updater's pauses, and a package of reproducible bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/Clock.h"

// Real time for the port's waits; the updater's pauses between panel messages are skipped, the
// simulator does not need them.
class NoPauseClock final : public IClock {
public:
    std::uint64_t TickCount() const override { return SystemClock().TickCount(); }
    void Sleep(std::uint32_t) override {}
};

// `size` bytes that look random and are the same in every run.
inline std::vector<std::uint8_t> Package(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = 0x50414e31;
    for (std::uint8_t& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}
