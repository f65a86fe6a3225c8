// The process-wide instances of the update objects: created on first use, destroyed when the
// process ends in the reverse order of their creation. Shared ownership lets a worker thread keep
// the instance it works on alive past that point. Tests replace an instance to start from a fresh
// state; nothing else does.
#pragma once

#include <memory>
#include <utility>

template <class T>
class ProcessInstance {
public:
    // The instance, created on first use (thread-safe).
    static T& Get() { return *Holder(); }

    // A shared reference to the instance, for work that may outlive the process-wide reference.
    static std::shared_ptr<T> Share() { return Holder(); }

    // Replaces the instance; the old one goes once nothing else shares it. For tests only: the
    // caller makes sure no other thread calls Get meanwhile.
    static void Replace(std::shared_ptr<T> fresh) { Holder() = std::move(fresh); }

private:
    static std::shared_ptr<T>& Holder() {
        static std::shared_ptr<T> instance = std::make_shared<T>();
        return instance;
    }
};
