// Proofs of equality. An e-graph that records them (EGraph::record_proofs) logs one step
// per union it makes: the two e-nodes whose equality caused the union, named by the ids
// they were added under; the reason (a rule's name, or congruence); and the pairs of ids
// whose equality the step relies on (a congruence's children, or where a rule's sides
// meet the e-nodes actually stored). Each step joins two classes, so the steps form a
// forest with one tree per class: two equal ids have exactly one proof, the path between
// them, and every step on it rests on pairs joined by older steps only.
//
// Explanation reads a log once and then names, for two equal ids, every reason used
// anywhere in their proof, the proofs of the relied-on pairs included. It keeps one
// union-find per reason over the steps that do not use it: a proof uses a reason exactly
// when its two ids are apart in that reason's union-find, because a forest's path between
// two ids is the only way to join them. Time and memory are linear in the log times the
// number of distinct reasons, at most 64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "eqsat/enode.hpp"
#include "eqsat/symbol.hpp"

namespace corvane::eqsat {

// Why a step holds: a rule (by name), or congruence (one operator over equal children).
struct Reason {
    Symbol rule;
    bool congruence = false;

    static Reason of_rule(Symbol name) noexcept { return {name, false}; }
    static Reason of_congruence() noexcept { return {Symbol(), true}; }
    friend bool operator==(Reason, Reason) noexcept = default;
};

struct IdPair {
    Id a;
    Id b;
};

struct ProofStep {
    Id a;
    Id b;
    Reason reason;
    std::uint32_t pairs_end;  // the step's pairs end here; they begin where the last step's end
};

class ProofLog {
public:
    // Logs that `a` equals `b` for `reason`, given each pair of `pairs`; pairs of one id
    // need no proof and are left out.
    void add(Id a, Id b, Reason reason, std::span<const IdPair> pairs);
    // Every id the steps may name is below this.
    void cover_ids(std::size_t count) noexcept {
        if (count > ids_) ids_ = count;
    }

    std::size_t id_count() const noexcept { return ids_; }
    std::span<const ProofStep> steps() const noexcept { return steps_; }
    std::span<const IdPair> pairs(std::size_t step) const noexcept;

private:
    std::vector<ProofStep> steps_;
    std::vector<IdPair> pairs_;
    std::size_t ids_ = 0;
};

class Explanation {
public:
    // Reads the steps in order. Throws Error when a step names an id not covered, joins
    // two ids already equal, relies on a pair not yet equal, or the log has more than 64
    // distinct reasons.
    explicit Explanation(const ProofLog& log);

    // The reasons used in the proof that `a` equals `b`: bit i stands for reasons()[i].
    // Empty when a == b; nullopt when the two are not equal.
    std::optional<std::uint64_t> reasons(Id a, Id b);
    std::span<const Reason> reasons() const noexcept { return reasons_; }

private:
    std::uint64_t path_reasons(Id a, Id b);

    std::vector<Reason> reasons_;
    std::vector<std::vector<Id>> without_;  // by reason: union-find over the steps not using it
    std::vector<Id> joined_;                // union-find over every step
};

}  // namespace corvane::eqsat
