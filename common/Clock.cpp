// The monotonic system clock.
#include "common/Clock.h"

#include <chrono>
#include <thread>

namespace {

class SteadyClock final : public IClock {
public:
    std::uint64_t TickCount() const override {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    }

    void Sleep(std::uint32_t milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
};

}  // namespace

IClock& SystemClock() {
    // Never destroyed: a detached worker may still pause on it while the process ends.
    static SteadyClock* const clock = new SteadyClock;
    return *clock;
}
