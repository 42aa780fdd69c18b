#include "eqsat/proof.hpp"

#include <numeric>
#include <string>

#include "eqsat/error.hpp"

namespace corvane::eqsat {

void ProofLog::add(Id a, Id b, Reason reason, std::span<const IdPair> pairs) {
    for (const IdPair& p : pairs) {
        if (p.a != p.b) pairs_.push_back(p);
    }
    if (pairs_.size() > UINT32_MAX) fail("proof log exceeds its pair limit");
    steps_.push_back({a, b, reason, static_cast<std::uint32_t>(pairs_.size())});
}

std::span<const IdPair> ProofLog::pairs(std::size_t step) const noexcept {
    const std::uint32_t begin = step == 0 ? 0 : steps_[step - 1].pairs_end;
    return std::span<const IdPair>(pairs_).subspan(begin, steps_[step].pairs_end - begin);
}

namespace {

// Path halving; the root of the larger id goes under the smaller, so roots are stable
// minima and the result does not depend on the order of a step's ids.
Id find(std::vector<Id>& parent, Id id) noexcept {
    while (parent[id] != id) {
        parent[id] = parent[parent[id]];
        id = parent[id];
    }
    return id;
}

bool unite(std::vector<Id>& parent, Id a, Id b) noexcept {
    a = find(parent, a);
    b = find(parent, b);
    if (a == b) return false;
    if (a < b) std::swap(a, b);
    parent[a] = b;
    return true;
}

std::vector<Id> singletons(std::size_t n) {
    std::vector<Id> parent(n);
    std::iota(parent.begin(), parent.end(), Id{0});
    return parent;
}

}  // namespace

Explanation::Explanation(const ProofLog& log) {
    const std::span<const ProofStep> steps = log.steps();
    const std::size_t n = log.id_count();
    // The reasons, in order of first use: a rule's pairs are shown equal through
    // congruence, so a step with pairs uses it too.
    std::vector<std::uint64_t> bit(steps.size());
    const auto bit_of = [&](Reason reason) -> std::uint64_t {
        std::size_t i = 0;
        while (i < reasons_.size() && !(reasons_[i] == reason)) ++i;
        if (i == reasons_.size()) {
            if (i == 64) fail("a proof log may hold at most 64 distinct reasons");
            reasons_.push_back(reason);
        }
        return std::uint64_t{1} << i;
    };
    for (std::size_t s = 0; s < steps.size(); ++s) {
        bit[s] = bit_of(steps[s].reason);
        if (!log.pairs(s).empty()) bit[s] |= bit_of(Reason::of_congruence());
    }
    without_.assign(reasons_.size(), singletons(n));
    joined_ = singletons(n);

    for (std::size_t s = 0; s < steps.size(); ++s) {
        const ProofStep& step = steps[s];
        if (step.a >= n || step.b >= n) fail("proof step names an unknown id");
        std::uint64_t used = bit[s];
        for (const IdPair& p : log.pairs(s)) {
            if (p.a >= n || p.b >= n) fail("proof step names an unknown id");
            if (find(joined_, p.a) != find(joined_, p.b))
                fail("proof step " + std::to_string(s) + " relies on ids not yet equal");
            used |= path_reasons(p.a, p.b);
        }
        if (!unite(joined_, step.a, step.b))
            fail("proof step " + std::to_string(s) + " joins ids already equal");
        for (std::size_t r = 0; r < reasons_.size(); ++r) {
            if ((used >> r & 1) == 0) unite(without_[r], step.a, step.b);
        }
    }
}

std::uint64_t Explanation::path_reasons(Id a, Id b) {
    std::uint64_t used = 0;
    for (std::size_t r = 0; r < reasons_.size(); ++r) {
        if (find(without_[r], a) != find(without_[r], b)) used |= std::uint64_t{1} << r;
    }
    return used;
}

std::optional<std::uint64_t> Explanation::reasons(Id a, Id b) {
    if (a >= joined_.size() || b >= joined_.size()) return std::nullopt;
    if (a == b) return 0;
    if (find(joined_, a) != find(joined_, b)) return std::nullopt;
    return path_reasons(a, b);
}

}  // namespace corvane::eqsat
