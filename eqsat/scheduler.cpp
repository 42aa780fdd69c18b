#include "eqsat/scheduler.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "eqsat/error.hpp"

namespace corvane::eqsat {

namespace {

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

// value << shift, saturating at the largest value instead of dropping high bits; a shift
// of the word size or more is a fault.
std::size_t shifted(std::size_t value, std::size_t shift) {
    if (shift >= std::numeric_limits<std::size_t>::digits) {
        fail("backoff shift of " + std::to_string(shift) + " bits is too large");
    }
    if (value > (kMax >> shift)) return kMax;
    return value << shift;
}

std::size_t saturating_add(std::size_t a, std::size_t b) noexcept {
    return b > kMax - a ? kMax : a + b;
}

// A lower bound on the substitutions a search of `pattern` finds without searching: when
// the root is an operator over distinct variables, every member with that operator and
// arity is one substitution, and the e-graph's index lists the classes holding one.
std::size_t known_substs(const EGraph& egraph, const Pattern& pattern) {
    const std::vector<PatternNode>& nodes = pattern.nodes();
    const PatternNode& root = nodes.back();
    if (root.is_var()) return 0;
    for (std::size_t k = 0; k < root.children.size(); ++k) {
        const PatternNode& child = nodes[root.children[k]];
        if (!child.is_var()) return 0;
        for (std::size_t j = 0; j < k; ++j) {
            if (nodes[root.children[j]].symbol == child.symbol) return 0;
        }
    }
    const std::vector<Id>* classes = egraph.indexed_classes(root.symbol, root.children.size());
    return classes == nullptr ? 0 : classes->size();
}

}  // namespace

std::vector<SearchMatches> RewriteScheduler::search_rewrite(std::size_t, const EGraph& egraph,
                                                            const Rewrite& rule,
                                                            Deadline* deadline) {
    return rule.search_with_limit(egraph, static_cast<std::size_t>(-1), deadline);
}

std::size_t RewriteScheduler::apply_rewrite(std::size_t, EGraph& egraph, const Rewrite& rule,
                                            std::span<const SearchMatches> matches) {
    return rule.apply(egraph, matches).size();
}

bool RewriteScheduler::can_stop(std::size_t) { return true; }

RuleStats& BackoffScheduler::stats_for(Symbol rule) {
    auto [it, inserted] = index_.try_emplace(rule, stats_.size());
    if (inserted) {
        RuleStats fresh;
        fresh.match_limit = match_limit_;
        fresh.ban_length = ban_length_;
        stats_.emplace_back(rule, fresh);
    }
    return stats_[it->second].second;
}

const RuleStats* BackoffScheduler::stats(Symbol rule) const {
    const auto it = index_.find(rule);
    return it == index_.end() ? nullptr : &stats_[it->second].second;
}

std::vector<SearchMatches> BackoffScheduler::search_rewrite(std::size_t iteration,
                                                            const EGraph& egraph,
                                                            const Rewrite& rule,
                                                            Deadline* deadline) {
    RuleStats& stats = stats_for(rule.name());
    if (iteration < stats.banned_until) return {};
    const std::size_t threshold = shifted(stats.match_limit, stats.times_banned);
    // A search bound to exceed the threshold ends in a ban whatever it finds: skip it.
    const bool bound_to_exceed = known_substs(egraph, rule.searcher()) > threshold;
    std::vector<SearchMatches> matches;
    if (!bound_to_exceed)
        matches = rule.search_with_limit(egraph, saturating_add(threshold, 1), deadline);
    if (bound_to_exceed || total_substs(matches) > threshold) {
        const std::size_t length = shifted(stats.ban_length, stats.times_banned);
        stats.times_banned += 1;
        stats.banned_until = saturating_add(iteration, length);
        return {};
    }
    stats.times_applied += 1;
    return matches;
}

bool BackoffScheduler::can_stop(std::size_t iteration) {
    std::size_t earliest = kMax;
    bool banned = false;
    for (const auto& [name, stats] : stats_) {
        if (stats.banned_until > iteration) {
            banned = true;
            earliest = std::min(earliest, stats.banned_until);
        }
    }
    if (!banned) return true;
    const std::size_t delta = earliest - iteration;
    for (auto& [name, stats] : stats_) {
        if (stats.banned_until > iteration) stats.banned_until -= delta;
    }
    return false;
}

}  // namespace corvane::eqsat
