// A clock for tests that moves only when told to: by pauses, or by the fakes' waits.
#pragma once

#include <cstdint>

#include "common/Clock.h"

class ManualClock final : public IClock {
public:
    std::uint64_t TickCount() const override { return m_ticks; }
    void Sleep(std::uint32_t milliseconds) override { m_ticks += milliseconds; }
    void Advance(std::uint64_t milliseconds) { m_ticks += milliseconds; }
    // Moves on to `ticks` unless the clock is past it already.
    void AdvanceTo(std::uint64_t ticks) {
        if (ticks > m_ticks) m_ticks = ticks;
    }

private:
    std::uint64_t m_ticks = 1000;
};
