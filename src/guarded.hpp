// A value behind its own mutex, with poisoning: an exception other than bad_alloc that
// escapes a locked section marks the value unusable (its invariants may be broken), and
// every later access throws InternalFault with the owner's poison message. Locked
// sections give the strong guarantee for allocation failures, so those never poison.
#pragma once

#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "fault.hpp"

namespace corvane {

template <class T>
class Guarded {
public:
    template <class... Args>
    explicit Guarded(const char* poison_message, Args&&... args)
        : poison_message_(poison_message), value_(std::forward<Args>(args)...) {}

    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    template <class Fn>
    decltype(auto) with_lock(Fn&& fn) {
        return locked(value_, std::forward<Fn>(fn));
    }
    template <class Fn>
    decltype(auto) with_lock(Fn&& fn) const {
        return locked(static_cast<const T&>(value_), std::forward<Fn>(fn));
    }

private:
    template <class V, class Fn>
    decltype(auto) locked(V& value, Fn&& fn) const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (poisoned_) {
            internal_fault(std::string(poison_message_) + " by an earlier internal fault");
        }
        try {
            return std::forward<Fn>(fn)(value);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

    const char* poison_message_;
    mutable std::mutex mutex_;
    mutable bool poisoned_ = false;
    T value_;
};

}  // namespace corvane
