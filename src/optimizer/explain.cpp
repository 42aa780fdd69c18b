#include "optimizer/explain.hpp"

#include <algorithm>
#include <bit>
#include <numeric>
#include <utility>

#include "eqsat/error.hpp"
#include "fault.hpp"
#include "optimizer/dce.hpp"

namespace corvane {
namespace {

// A flat index of landings: boundary nodes by their reduced id, stage members after
// them by stage and position, so that grouping the nodes by landing needs no hashing.
class LandingSlots {
public:
    explicit LandingSlots(const NodeMap& map) {
        std::size_t nodes = 0;
        for (std::size_t i = 0; i < map.size(); ++i) {
            if (const auto l = map[i]) nodes = std::max<std::size_t>(nodes, l->reduced_node_id + 1);
        }
        members_.assign(nodes + 1, 0);
        for (std::size_t i = 0; i < map.size(); ++i) {
            const auto l = map[i];
            if (!l || !l->member_index) continue;
            std::size_t& m = members_[l->reduced_node_id + 1];
            m = std::max<std::size_t>(m, *l->member_index + 1);
        }
        // members_[r] becomes where stage r's positions begin, after every boundary slot.
        std::size_t next = nodes;
        for (std::size_t r = 0; r < nodes; ++r) {
            const std::size_t count = members_[r + 1];
            members_[r] = next;
            next += count;
        }
        size_ = next;
    }
    std::size_t size() const noexcept { return size_; }
    std::size_t slot(const Landing& l) const noexcept {
        const auto r = static_cast<std::size_t>(l.reduced_node_id);
        return l.member_index ? members_[r] + static_cast<std::size_t>(*l.member_index) : r;
    }

private:
    std::vector<std::size_t> members_;
    std::size_t size_ = 0;
};

std::string reason_name(const eqsat::Reason& reason) {
    return reason.congruence ? std::string("congruence") : reason.rule.to_string();
}

}  // namespace

Explained explain_landings(NodeMap landings, ReductionProofs proofs) {
    const std::size_t n = landings.size();
    fault_unless(proofs.live_of.size() == n, "proofs cover another graph");
    Explained out;
    out.equals.assign(n, Explained::kNone);
    out.reasons.assign(n, 0);
    try {
        eqsat::Explanation explanation(proofs.proofs);
        proofs.proofs = eqsat::ProofLog();

        // Reason bits in the byte order of their names.
        const auto reasons = explanation.reasons();
        std::vector<std::size_t> order(reasons.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::vector<std::string> names;
        for (const eqsat::Reason& r : reasons) names.push_back(reason_name(r));
        std::ranges::sort(order, [&](std::size_t a, std::size_t b) { return names[a] < names[b]; });
        std::vector<std::uint64_t> bit_of(reasons.size());
        for (std::size_t rank = 0; rank < order.size(); ++rank) {
            bit_of[order[rank]] = std::uint64_t{1} << rank;
            out.reason_names.push_back(names[order[rank]]);
        }
        const auto renumber = [&](std::uint64_t mask) {
            std::uint64_t sorted = 0;
            for (; mask != 0; mask &= mask - 1)
                sorted |= bit_of[static_cast<std::size_t>(std::countr_zero(mask))];
            return sorted;
        };

        const LandingSlots slots(landings);
        std::vector<std::uint64_t> first(slots.size(), Explained::kNone);
        const auto proof_id = [&](std::size_t i) {
            const std::uint32_t k = proofs.live_of[i];
            fault_unless(k != kDropped && k < proofs.node_of.size(),
                         "a landed node has no live index");
            return proofs.node_of[k];
        };
        for (std::size_t i = 0; i < n; ++i) {
            const std::optional<Landing> l = landings[i];
            if (!l) continue;
            std::uint64_t& f = first[slots.slot(*l)];
            if (f == Explained::kNone) {
                f = i;
                continue;
            }
            const std::optional<std::uint64_t> used =
                explanation.reasons(proof_id(static_cast<std::size_t>(f)), proof_id(i));
            fault_unless(used.has_value(), "nodes landed together without a proof");
            out.equals[i] = f;
            out.reasons[i] = renumber(*used);
        }
    } catch (const eqsat::Error& e) {
        internal_fault(e.what());
    }
    out.landings = std::move(landings);
    return out;
}

}  // namespace corvane
