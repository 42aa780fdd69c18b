// The runner applies rewrites in iterations (search all, apply all, rebuild) until an
// iteration changes nothing or an iteration, e-graph size or time limit is hit; every stop
// is a normal outcome, and runs are deterministic unless the time limit ends them. The
// time limit is checked between rules, between slices of a rule's matches and every few
// thousand steps of a rebuild, so a run ends within its limit plus one such step; a run
// stopped inside a rebuild leaves a sound e-graph that is not clean.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "eqsat/deadline.hpp"
#include "eqsat/egraph.hpp"
#include "eqsat/rewrite.hpp"
#include "eqsat/scheduler.hpp"
#include "eqsat/symbol.hpp"

namespace corvane::eqsat {

namespace stop {
struct Saturated {
    friend bool operator==(const Saturated&, const Saturated&) = default;
};
struct IterationLimit {
    std::size_t iterations;
    friend bool operator==(const IterationLimit&, const IterationLimit&) = default;
};
struct NodeLimit {
    std::size_t size;
    friend bool operator==(const NodeLimit&, const NodeLimit&) = default;
};
struct TimeLimit {
    double seconds;
    friend bool operator==(const TimeLimit&, const TimeLimit&) = default;
};
}  // namespace stop

using StopReason =
    std::variant<stop::Saturated, stop::IterationLimit, stop::NodeLimit, stop::TimeLimit>;

std::string describe(const StopReason& reason);

// What one iteration did; kept for inspection.
struct Iteration {
    std::vector<std::pair<Symbol, std::size_t>>
        applied;                     // rule -> effective merges, first-applied order
    std::size_t egraph_nodes = 0;    // total_size at the start
    std::size_t egraph_classes = 0;  // number_of_classes at the start
    std::size_t rebuild_unions = 0;
    double search_time = 0;
    double apply_time = 0;
    double rebuild_time = 0;
    double total_time = 0;
    std::optional<StopReason> stop_reason;
};

class Runner {
public:
    static constexpr std::size_t kDefaultIterLimit = 30;
    static constexpr std::size_t kDefaultNodeLimit = 10'000;
    static constexpr std::chrono::duration<double> kDefaultTimeLimit{5.0};

    // Default limits and a BackoffScheduler with its default settings.
    Runner();

    Runner& with_egraph(EGraph egraph);
    Runner& with_iter_limit(std::size_t limit) noexcept;
    Runner& with_node_limit(std::size_t limit) noexcept;
    Runner& with_time_limit(std::chrono::duration<double> limit) noexcept;
    Runner& with_scheduler(std::unique_ptr<RewriteScheduler> scheduler);
    // Replaces the monotonic clock the time limit reads (seconds); for tests.
    Runner& with_clock(Deadline::Clock clock);

    // Runs to a stop. Writes a warning to standard error when rule names repeat, and
    // nothing otherwise. A runner runs once.
    Runner& run(std::span<const Rewrite> rules);

    const EGraph& egraph() const noexcept { return egraph_; }
    EGraph& egraph() noexcept { return egraph_; }
    const std::vector<Iteration>& iterations() const noexcept { return iterations_; }
    const std::optional<StopReason>& stop_reason() const noexcept { return stop_reason_; }
    RewriteScheduler& scheduler() noexcept { return *scheduler_; }

private:
    using Clock = std::chrono::steady_clock;

    Iteration run_one(std::span<const Rewrite> rules);
    std::size_t apply_sliced(std::size_t iteration, const Rewrite& rule,
                             std::span<const SearchMatches> matches);
    std::optional<StopReason> check_limits();

    EGraph egraph_;
    std::vector<Iteration> iterations_;
    std::optional<StopReason> stop_reason_;
    std::size_t iter_limit_ = kDefaultIterLimit;
    std::size_t node_limit_ = kDefaultNodeLimit;
    std::chrono::duration<double> time_limit_ = kDefaultTimeLimit;
    Deadline deadline_;  // started by the first iteration
    std::unique_ptr<RewriteScheduler> scheduler_;
};

}  // namespace corvane::eqsat
