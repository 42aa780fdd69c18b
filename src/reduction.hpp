// What a reduction returns, as the optimizer builds it and the store takes it: the
// reduced nodes and outputs, the node map telling where every input node landed, and
// the six report counters. Plain values; the store turns a Reduced into a new store.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "fault.hpp"
#include "id_table.hpp"
#include "node.hpp"
#include "node_table.hpp"

namespace corvane {

// Where one node of a reduced arena landed: the reduced node and, for a stage member,
// its position in that stage's member list.
struct Landing {
    std::uint64_t reduced_node_id = 0;
    std::optional<std::uint64_t> member_index;
    friend bool operator==(const Landing&, const Landing&) = default;
};

// One entry per input node: where it landed, or empty when the outputs do not reach it.
// Eight bytes an entry, since a large graph's map outlives its reduction in the reduced
// store: a table's ids and member positions are below kMaxU32, so each fits 32 bits and
// the all-ones value marks an absent landing or member.
class NodeMap {
public:
    NodeMap() = default;
    explicit NodeMap(std::size_t n) : slots_(n) {}  // n absent entries
    NodeMap(std::initializer_list<std::optional<Landing>> entries) {
        slots_.reserve(entries.size());
        for (const std::optional<Landing>& e : entries) push_back(e);
    }

    std::size_t size() const noexcept { return slots_.size(); }
    bool empty() const noexcept { return slots_.empty(); }
    void reserve(std::size_t n) { slots_.reserve(n); }
    void resize(std::size_t n) { slots_.resize(n); }  // new entries absent
    void push_back(const std::optional<Landing>& landing) { slots_.push_back(pack(landing)); }
    void set(std::size_t i, const std::optional<Landing>& landing) { slots_[i] = pack(landing); }

    std::optional<Landing> operator[](std::size_t i) const noexcept {
        const Slot s = slots_[i];
        if (s.node == kAbsent) return std::nullopt;
        Landing landing{s.node, std::nullopt};
        if (s.member != kAbsent) landing.member_index = s.member;
        return landing;
    }
    // Renumbers the reduced node of every landing by `id_of`.
    template <class IdOf>
    void renumber(IdOf&& id_of) {
        for (Slot& s : slots_) {
            if (s.node != kAbsent) s.node = narrow(id_of(std::uint64_t{s.node}));
        }
    }

    friend bool operator==(const NodeMap&, const NodeMap&) = default;

private:
    static constexpr std::uint32_t kAbsent = static_cast<std::uint32_t>(kMaxU32);
    struct Slot {
        std::uint32_t node = kAbsent;
        std::uint32_t member = kAbsent;
        friend bool operator==(const Slot&, const Slot&) = default;
    };
    static std::uint32_t narrow(std::uint64_t v) {
        fault_unless(v < kMaxU32, "node map entry exceeds the table limit");
        return static_cast<std::uint32_t>(v);
    }
    static Slot pack(const std::optional<Landing>& landing) {
        if (!landing) return Slot{};
        return Slot{narrow(landing->reduced_node_id),
                    landing->member_index ? narrow(*landing->member_index) : kAbsent};
    }

    std::vector<Slot> slots_;
};

// The six report counters, in report order.
// A node map as read from outside, before any check: entries may name anything.
using LandingList = std::vector<std::optional<Landing>>;

struct ReductionReport {
    std::uint64_t input_nodes = 0;
    std::uint64_t reachable_nodes = 0;
    std::uint64_t canonical_nodes = 0;
    std::uint64_t stages = 0;
    std::uint64_t reduced_nodes = 0;
    std::uint64_t boundary_nodes = 0;
    friend bool operator==(const ReductionReport&, const ReductionReport&) = default;
};

struct Reduced {
    NodeTable nodes;                     // Stage and boundary nodes, inputs before users
    std::vector<std::uint64_t> outputs;  // one per requested output, same order
    NodeMap node_map;                    // one entry per input node
    ReductionReport report;
};

}  // namespace corvane
