#include "eqsat/runner.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

#include "eqsat/error.hpp"

namespace corvane::eqsat {

namespace {

constexpr std::size_t kApplySlice = 1024;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Lists every rule name that occurs more than once, in order of first occurrence.
void warn_duplicate_names(std::span<const Rewrite> rules) {
    std::vector<std::pair<Symbol, std::size_t>> counts;
    for (const Rewrite& rule : rules) {
        auto it = std::ranges::find(counts, rule.name(), &std::pair<Symbol, std::size_t>::first);
        if (it == counts.end()) {
            counts.emplace_back(rule.name(), 1);
        } else {
            ++it->second;
        }
    }
    std::string text;
    for (const auto& [name, count] : counts) {
        if (count < 2) continue;
        if (text.empty())
            text = "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n";
        text += "Rule '" + name.to_string() + "' appears " + std::to_string(count) + " times\n";
    }
    if (!text.empty()) std::fputs(text.c_str(), stderr);
}

}  // namespace

std::string describe(const StopReason& reason) {
    struct Visitor {
        std::string operator()(const stop::Saturated&) const { return "saturated"; }
        std::string operator()(const stop::IterationLimit& r) const {
            return "iteration limit (" + std::to_string(r.iterations) + ")";
        }
        std::string operator()(const stop::NodeLimit& r) const {
            return "node limit (" + std::to_string(r.size) + ")";
        }
        std::string operator()(const stop::TimeLimit& r) const {
            return "time limit (" + std::to_string(r.seconds) + " s)";
        }
    };
    return std::visit(Visitor{}, reason);
}

Runner::Runner() : scheduler_(std::make_unique<BackoffScheduler>()) {}

Runner& Runner::with_egraph(EGraph egraph) {
    egraph_ = std::move(egraph);
    return *this;
}

Runner& Runner::with_iter_limit(std::size_t limit) noexcept {
    iter_limit_ = limit;
    return *this;
}

Runner& Runner::with_node_limit(std::size_t limit) noexcept {
    node_limit_ = limit;
    return *this;
}

Runner& Runner::with_time_limit(std::chrono::duration<double> limit) noexcept {
    time_limit_ = limit;
    return *this;
}

Runner& Runner::with_clock(Deadline::Clock clock) {
    if (!clock) fail("a runner needs a clock");
    deadline_.set_clock(std::move(clock));
    return *this;
}

Runner& Runner::with_scheduler(std::unique_ptr<RewriteScheduler> scheduler) {
    if (!scheduler) fail("a runner needs a scheduler");
    scheduler_ = std::move(scheduler);
    return *this;
}

std::optional<StopReason> Runner::check_limits() {
    if (deadline_.passed()) return stop::TimeLimit{deadline_.elapsed()};
    if (egraph_.total_size() > node_limit_) return stop::NodeLimit{egraph_.total_size()};
    if (iterations_.size() >= iter_limit_) return stop::IterationLimit{iterations_.size()};
    return std::nullopt;
}

Runner& Runner::run(std::span<const Rewrite> rules) {
    if (stop_reason_) fail("a runner runs only once");
    warn_duplicate_names(rules);
    // Searches then visit only the classes that can match a rule's root.
    std::vector<OpKey> roots;
    for (const Rewrite& rule : rules) {
        if (auto key = rule.searcher().root_key()) roots.push_back(*key);
    }
    egraph_.index_ops(roots);
    egraph_.rebuild();
    for (;;) {
        iterations_.push_back(run_one(rules));
        std::optional<StopReason> reason = iterations_.back().stop_reason;
        if (!reason) reason = check_limits();
        if (reason) {
            stop_reason_ = std::move(reason);
            return *this;
        }
    }
}

// Applies a rule's matches in slices of about kApplySlice substitutions, reading the
// clock after each; once the limit has passed the rest stays unapplied.
std::size_t Runner::apply_sliced(std::size_t iteration, const Rewrite& rule,
                                 std::span<const SearchMatches> matches) {
    std::size_t count = 0;
    std::size_t begin = 0;
    while (begin < matches.size()) {
        std::size_t end = begin;
        for (std::size_t substs = 0; end < matches.size() && substs < kApplySlice; ++end)
            substs += matches[end].substs.size();
        count += scheduler_->apply_rewrite(iteration, egraph_, rule,
                                           matches.subspan(begin, end - begin));
        begin = end;
        if (begin < matches.size() && deadline_.passed()) break;
    }
    return count;
}

Iteration Runner::run_one(std::span<const Rewrite> rules) {
    const auto iteration_start = Clock::now();
    if (!deadline_.started()) deadline_.start(time_limit_.count());
    const std::size_t i = iterations_.size();
    Iteration record;
    std::optional<StopReason> hit = check_limits();
    record.egraph_nodes = egraph_.total_size();
    record.egraph_classes = egraph_.number_of_classes();

    auto phase_start = Clock::now();
    std::vector<std::vector<SearchMatches>> found;
    found.reserve(rules.size());
    if (!hit) {
        for (const Rewrite& rule : rules) {
            found.push_back(scheduler_->search_rewrite(i, egraph_, rule, &deadline_));
            if ((hit = check_limits())) break;
        }
    }
    record.search_time = seconds_since(phase_start);

    phase_start = Clock::now();
    if (!hit) {
        for (std::size_t r = 0; r < found.size(); ++r) {
            const Rewrite& rule = rules[r];
            const std::size_t count = apply_sliced(i, rule, found[r]);
            if (count > 0) {
                auto it = std::ranges::find(record.applied, rule.name(),
                                            &std::pair<Symbol, std::size_t>::first);
                if (it == record.applied.end()) {
                    record.applied.emplace_back(rule.name(), count);
                } else {
                    it->second += count;
                }
            }
            if ((hit = check_limits())) break;
        }
    }
    record.apply_time = seconds_since(phase_start);

    phase_start = Clock::now();
    record.rebuild_unions = egraph_.rebuild(&deadline_);
    record.rebuild_time = seconds_since(phase_start);
    if (!egraph_.clean() && !hit) hit = stop::TimeLimit{deadline_.elapsed()};

    // Nothing applied, no rule waiting out a ban and no growth: saturated, unless a limit
    // was hit, which takes precedence.
    const bool saturated = record.applied.empty() && scheduler_->can_stop(i) &&
                           egraph_.total_size() == record.egraph_nodes &&
                           egraph_.number_of_classes() == record.egraph_classes;
    if (hit) {
        record.stop_reason = std::move(hit);
    } else if (saturated) {
        record.stop_reason = stop::Saturated{};
    }
    record.total_time = seconds_since(iteration_start);
    return record;
}

}  // namespace corvane::eqsat
