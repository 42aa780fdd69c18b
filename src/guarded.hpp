// A value behind its own mutex, with poisoning: an exception other than bad_alloc that
// escapes a locked section marks the value unusable (its invariants may be broken), and
// every later access throws InternalFault with the owner's poison message. Locked
// sections give the strong guarantee for allocation failures, so those never poison.
// try_with_lock runs only when the mutex is free at once, for callers that must not
// block where they are (a thread attached to an interpreter) and wait elsewhere instead.
#pragma once

#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "fault.hpp"

namespace corvane {

template <class T>
class Guarded {
public:
    template <class... Args>
    explicit Guarded(const char* poison_message, Args&&... args)
        : poison_message_(poison_message),
          value_(std::forward<Args>(args)...) {}

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

    // Runs `fn` like with_lock if the mutex is free now; otherwise runs nothing and
    // returns nullopt. `fn` returns a value (not void, not a reference).
    template <class Fn>
    auto try_with_lock(Fn&& fn) -> std::optional<std::invoke_result_t<Fn&, T&>> {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) return std::nullopt;
        return run(value_, fn);
    }

private:
    template <class V, class Fn>
    decltype(auto) locked(V& value, Fn&& fn) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return run(value, std::forward<Fn>(fn));
    }

    // The locked section proper; the caller holds the mutex.
    template <class V, class Fn>
    decltype(auto) run(V& value, Fn&& fn) const {
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
