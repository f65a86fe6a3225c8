// Time as the update logic sees it: a millisecond tick count and a pause. Behind an interface so
// that tests can run the pauses of the panel exchange without waiting them out.
#pragma once

#include <cstdint>

class IClock {
public:
    virtual ~IClock() = default;

    // Milliseconds since an arbitrary start; never goes backwards.
    virtual std::uint64_t TickCount() const = 0;

    // Blocks the calling thread for about `milliseconds`. Safe to call from any thread.
    virtual void Sleep(std::uint32_t milliseconds) = 0;
};

// The real clock (monotonic). One instance for the process, usable from every thread.
IClock& SystemClock();
