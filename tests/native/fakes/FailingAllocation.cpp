// The global operator new with failures on demand (see FailingAllocation.h). Blocks come from
// malloc and go back to free; nothing else is changed.
#include "tests/native/fakes/FailingAllocation.h"

#include <cstdlib>
#include <new>

namespace {

// Per thread: armed, allocations left before they fail, and whether one has failed.
thread_local bool t_armed = false;
thread_local int t_left = 0;
thread_local bool t_refused = false;

void* Allocate(std::size_t size) noexcept {
    if (t_armed) {
        if (t_left == 0) {
            t_refused = true;
            return nullptr;
        }
        --t_left;
    }
    return std::malloc(size ? size : 1);
}

}  // namespace

FailAllocationsAfter::FailAllocationsAfter(int succeeding) {
    t_left = succeeding;
    t_refused = false;
    t_armed = true;
}

FailAllocationsAfter::~FailAllocationsAfter() { t_armed = false; }

bool FailAllocationsAfter::Refused() const { return t_refused; }

void* operator new(std::size_t size) {
    if (void* p = Allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
