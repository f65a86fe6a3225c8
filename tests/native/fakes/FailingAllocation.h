// Allocation failures on demand, for a test program that links FailingAllocation.cpp (which
// replaces the global operator new). Only the calling thread's allocations fail, so a worker
// thread, the test framework and other threads carry on as usual.
#pragma once

// While it lives, the calling thread's first `succeeding` allocations through operator new
// succeed and every later one fails (std::bad_alloc, or null from the nothrow forms). Scopes do
// not nest.
class FailAllocationsAfter {
public:
    explicit FailAllocationsAfter(int succeeding);
    ~FailAllocationsAfter();
    FailAllocationsAfter(const FailAllocationsAfter&) = delete;
    FailAllocationsAfter& operator=(const FailAllocationsAfter&) = delete;

    // True when an allocation has been refused in this scope.
    bool Refused() const;
};
