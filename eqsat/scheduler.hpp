// Rewrite schedulers decide which matches of a rule an iteration applies. The backoff
// scheduler bans a rule that matches more than its threshold, doubling threshold and ban
// length with each ban, and fast-forwards bans when nothing else is left to do.
#pragma once

#include <cstddef>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "eqsat/egraph.hpp"
#include "eqsat/pattern.hpp"
#include "eqsat/rewrite.hpp"
#include "eqsat/symbol.hpp"

namespace corvane::eqsat {

class RewriteScheduler {
public:
    virtual ~RewriteScheduler() = default;

    // Matches of `rule` to apply in `iteration`; the default: every match. A search stops
    // early once `deadline` (when given) has passed.
    virtual std::vector<SearchMatches> search_rewrite(std::size_t iteration, const EGraph& egraph,
                                                      const Rewrite& rule,
                                                      Deadline* deadline = nullptr);
    // Applies the matches; returns the number of merges that changed the e-graph.
    virtual std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rule,
                                      std::span<const SearchMatches> matches);
    // Asked only when an iteration applied nothing: may the run stop as saturated?
    virtual bool can_stop(std::size_t iteration);
};

// Applies every match every iteration.
class SimpleScheduler final : public RewriteScheduler {};

struct RuleStats {
    std::size_t times_applied = 0;
    std::size_t banned_until = 0;
    std::size_t times_banned = 0;
    std::size_t match_limit = 0;
    std::size_t ban_length = 0;
};

class BackoffScheduler final : public RewriteScheduler {
public:
    static constexpr std::size_t kDefaultMatchLimit = 1000;
    static constexpr std::size_t kDefaultBanLength = 5;

    BackoffScheduler() = default;
    BackoffScheduler(std::size_t match_limit, std::size_t ban_length)
        : match_limit_(match_limit),
          ban_length_(ban_length) {}

    std::size_t match_limit() const noexcept { return match_limit_; }
    std::size_t ban_length() const noexcept { return ban_length_; }

    // A rule that finds more than match_limit << times_banned substitutions is banned for
    // ban_length << times_banned iterations and its matches are dropped.
    std::vector<SearchMatches> search_rewrite(std::size_t iteration, const EGraph& egraph,
                                              const Rewrite& rule,
                                              Deadline* deadline = nullptr) override;
    // False while some rule is banned; then the earliest ban end is moved to `iteration`
    // (every ban is shortened by the same amount).
    bool can_stop(std::size_t iteration) override;

    // The rule's record, created on its first search; null before that.
    const RuleStats* stats(Symbol rule) const;
    // Records in order of first search.
    const std::vector<std::pair<Symbol, RuleStats>>& all_stats() const noexcept { return stats_; }

private:
    RuleStats& stats_for(Symbol rule);

    std::size_t match_limit_ = kDefaultMatchLimit;
    std::size_t ban_length_ = kDefaultBanLength;
    std::vector<std::pair<Symbol, RuleStats>> stats_;
    std::unordered_map<Symbol, std::size_t> index_;
};

}  // namespace corvane::eqsat
