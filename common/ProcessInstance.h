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
    static T& Get() { return *Created(); }

    // A shared reference to the instance, for work that may outlive the process-wide reference.
    static std::shared_ptr<T> Share() { return Created(); }

    // Replaces the instance (`fresh` is not null); the old one goes once nothing else shares it.
    // A replacement made before the first use is the instance from then on: no default instance
    // is ever made, so a test never needs what the default constructor needs. For tests only: the
    // caller makes sure no other thread calls Get meanwhile.
    static void Replace(std::shared_ptr<T> fresh) {
        s_replaced = true;
        Holder() = std::move(fresh);
    }

private:
    static std::shared_ptr<T>& Holder() {
        static std::shared_ptr<T> instance;
        return instance;
    }

    static std::shared_ptr<T>& Created() {
        // Thread-safe once; a constructor that throws leaves it to be tried again at the next use.
        static const bool created = [] {
            if (s_replaced) return true;
            // Made before the holder exists: whatever the constructor creates on first use is
            // then destroyed after this instance, as with a function-local static.
            std::shared_ptr<T> made = std::make_shared<T>();
            Holder() = std::move(made);
            return true;
        }();
        (void)created;
        return Holder();
    }

    static inline bool s_replaced = false;
};
