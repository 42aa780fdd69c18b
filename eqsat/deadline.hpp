// A time limit that long loops can check at almost no cost: step() counts down and reads
// the clock only once every `interval` steps; once the limit has passed it stays passed.
// The clock is replaceable, so that tests can script when the limit passes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>

namespace corvane::eqsat {

class Deadline {
public:
    // Seconds on a monotonic scale.
    using Clock = std::function<double()>;
    static constexpr std::uint32_t kDefaultInterval = 2048;

    Deadline() : clock_(steady_seconds) {}

    void set_clock(Clock clock) { clock_ = std::move(clock); }
    void set_interval(std::uint32_t steps) noexcept {
        interval_ = countdown_ = steps == 0 ? 1 : steps;
    }

    // Starts counting `limit` seconds from now.
    void start(double limit) {
        limit_ = limit;
        start_ = clock_();
        started_ = true;
        passed_ = false;
        countdown_ = interval_;
    }
    bool started() const noexcept { return started_; }
    // Seconds since start(), read now.
    double elapsed() const { return clock_() - start_; }
    // Reads the clock: true once more than the limit has elapsed.
    bool passed() {
        if (!passed_) passed_ = elapsed() > limit_;
        return passed_;
    }
    // One step of a long loop: reads the clock every `interval` steps.
    bool step() {
        if (passed_) return true;
        if (--countdown_ != 0) return false;
        countdown_ = interval_;
        return passed();
    }

private:
    static double steady_seconds() {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    Clock clock_;
    double start_ = 0;
    double limit_ = 0;
    std::uint32_t interval_ = kDefaultInterval;
    std::uint32_t countdown_ = kDefaultInterval;
    bool started_ = false;
    bool passed_ = false;
};

}  // namespace corvane::eqsat
