#include "optimizer/fusion.hpp"

#include <algorithm>
#include <utility>

#include "fault.hpp"
#include "optimizer/flat_index.hpp"
#include "table_view.hpp"

namespace corvane {
namespace {

// Node, group and slot indices, 32 bits wide (flat_index.hpp).
using Index = std::uint32_t;

// Union-find over node indices for the single-use rule: the larger root is pointed at
// the smaller one, so a group's root is its smallest member.
class Forest {
public:
    explicit Forest(std::size_t n) : parent_(n) {
        for (std::size_t i = 0; i < n; ++i) parent_[i] = static_cast<Index>(i);
    }
    Index find(Index x) {
        Index root = x;
        while (parent_[root] != root) root = parent_[root];
        while (parent_[x] != root) {  // full path compression
            const Index next = parent_[x];
            parent_[x] = root;
            x = next;
        }
        return root;
    }
    void unite(Index a, Index b) {
        const Index ra = find(a);
        const Index rb = find(b);
        if (ra == rb) return;
        if (ra < rb)
            parent_[rb] = ra;
        else
            parent_[ra] = rb;
    }

private:
    std::vector<Index> parent_;
};

// A flat adjacency list (CSR) over `buckets` buckets: the items of bucket b are
// items[offset[b] .. offset[b+1]), in the order their pairs were produced.
struct Adjacency {
    std::vector<Index> offset;
    std::vector<Index> items;

    std::size_t count(std::size_t b) const { return offset[b + 1] - offset[b]; }
    std::span<const Index> of(std::size_t b) const { return {items.data() + offset[b], count(b)}; }
};

// Builds an Adjacency from the (bucket, item) pairs that for_each_pair(emit) passes to
// emit; it is called twice (count, then fill) and must produce the same pairs both times.
template <class ForEachPair>
Adjacency adjacency(std::size_t buckets, const ForEachPair& for_each_pair) {
    Adjacency a;
    a.offset.assign(buckets + 1, 0);
    for_each_pair([&](Index bucket, Index) { ++a.offset[bucket + 1]; });
    for (std::size_t b = 0; b < buckets; ++b) a.offset[b + 1] += a.offset[b];
    a.items.resize(a.offset.back());
    std::vector<Index> fill(a.offset.begin(), a.offset.end() - 1);
    for_each_pair([&](Index bucket, Index item) { a.items[fill[bucket]++] = item; });
    return a;
}

void check_input(const SymbolGraph& graph, std::span<const std::uint32_t> row_of) {
    fault_unless(graph.size() < kNoIndex, "fusion input is too large");
    fault_unless(row_of.size() == graph.size(), "fusion needs one boundary row slot per node");
    for (std::size_t i = 0; i < graph.size(); ++i)
        for (std::uint32_t ch : graph.children_of(i))
            fault_unless(ch < i, "fusion input reads a later node");
}

// What both grouping rules read: the users of every node, ascending (a user that reads a
// node twice is listed twice), and the output marks.
struct Uses {
    const SymbolGraph& graph;
    Adjacency consumers;
    std::vector<bool> is_output;

    explicit Uses(const SymbolGraph& g)
        : graph(g),
          consumers(adjacency(g.size(),
                              [&](auto emit) {
                                  for (std::size_t j = 0; j < g.size(); ++j)
                                      for (std::uint32_t ch : g.children_of(j))
                                          emit(ch, static_cast<Index>(j));
                              })),
          is_output(g.size(), false) {
        for (std::uint32_t o : g.outputs) {
            fault_unless(o < g.size(), "fusion output out of range");
            is_output[o] = true;
        }
    }
    bool is_op(Index i) const { return graph.non_op[i] == 0; }
};

// Single-use rule: an Op joins its user's group when it has exactly one use, by an Op,
// and is not an output. A group is keyed by its smallest member.
std::vector<Index> single_use_groups(const Uses& uses) {
    const auto m = static_cast<Index>(uses.graph.size());
    Forest forest(m);
    for (Index i = 0; i < m; ++i) {
        if (!uses.is_op(i) || uses.consumers.count(i) != 1 || uses.is_output[i]) continue;
        const Index user = uses.consumers.of(i)[0];
        if (uses.is_op(user)) forest.unite(i, user);
    }
    std::vector<Index> group_of(m);
    for (Index i = 0; i < m; ++i) group_of[i] = uses.is_op(i) ? forest.find(i) : i;
    return group_of;
}

// Maximal rule: an Op that is not an output joins a group holding all of its uses, which
// are all by Ops. Users come later, so scanning downwards sees their groups final. A
// group is keyed by its largest member.
std::vector<Index> maximal_groups(const Uses& uses) {
    const auto m = static_cast<Index>(uses.graph.size());
    std::vector<Index> group_of(m);
    for (Index i = 0; i < m; ++i) group_of[i] = i;
    for (Index i = m; i-- > 0;) {
        if (!uses.is_op(i) || uses.is_output[i] || uses.consumers.count(i) == 0) continue;
        std::span<const Index> users = uses.consumers.of(i);
        const Index g = group_of[users[0]];
        bool joins = true;
        for (Index u : users) {
            if (!uses.is_op(u) || group_of[u] != g) {
                joins = false;
                break;
            }
        }
        if (joins) group_of[i] = g;
    }
    return group_of;
}

// Writes one reduced node per group. Groups are emitted in order of their largest
// member: only that member is read from outside its group, so every group is written
// after the groups it reads.
class Emitter {
public:
    Emitter(const SymbolGraph& graph, std::span<const Index> group_of, const NodeTable& boundary,
            std::span<const std::uint32_t> row_of, std::size_t groups)
        : graph_(graph),
          group_of_(group_of),
          boundary_(boundary),
          row_of_(row_of),
          reduced_id_of_(graph.size(), kNoIndex),
          position_(graph.size(), 0),
          input_slot_(graph.size(), kNoIndex),
          input_slot_owner_(graph.size(), kNoIndex) {
        out_.landing_of.resize(graph.size());
        out_.nodes.reserve(groups, graph.children.size(), 0);
        // Every Op is a member of one Stage and reads each of its children as an operand.
        // Reserved exactly, the stage arrays never grow past what they need (a doubling
        // at this size would briefly hold both copies).
        std::size_t members = 0;
        std::size_t operands = 0;
        std::uint32_t top = 0;
        for (std::size_t i = 0; i < graph.size(); ++i) {
            if (graph.non_op[i] != 0) continue;
            ++members;
            operands += graph.children_of(i).size();
            top = std::max(top, graph.ops[i].id());
        }
        out_.nodes.reserve_stages(groups, members, operands);
        // Member tokens are resolved to string ids once per symbol, through a table by
        // symbol id when the ids are about as many as the nodes (as in one reduction's
        // scope); otherwise every member's token is interned by its text.
        if (members == 0 || top >= 4 * graph.size() + 4096) return;
        token_of_symbol_.assign(top + 1u, kNoIndex);
    }

    // Non-Op node i, rebuilt from its boundary row with its inputs mapped.
    void boundary(Index i) {
        const auto reduced_id = static_cast<Index>(out_.nodes.size());
        inputs_.clear();
        for (std::uint32_t ch : graph_.children_of(i)) inputs_.push_back(reduced_of(group_of_[ch]));
        fault_unless(row_of_[i] < boundary_.size(), "boundary node has no row to rebuild from");
        NodeView view = table_view(boundary_, row_of_[i], scratch_);
        view.inputs = inputs_;
        out_.nodes.append(view);
        out_.landing_of.set(i, Landing{reduced_id, std::nullopt});
        ++out_.boundary_nodes;
        reduced_id_of_[i] = reduced_id;
    }

    // The Op group `key` with its members ascending, as one Stage. A member reads an
    // earlier member by its position, anything else by a stage input slot; each outside
    // group takes one slot, in order of first reference.
    void stage(Index key, std::span<const Index> group) {
        const auto reduced_id = static_cast<Index>(out_.nodes.size());
        input_groups_.clear();
        stage_members_.clear();
        operands_.clear();
        for (std::size_t k = 0; k < group.size(); ++k) position_[group[k]] = static_cast<Index>(k);
        for (std::size_t k = 0; k < group.size(); ++k) {
            const Index member = group[k];
            for (std::uint32_t ch : graph_.children_of(member)) {
                const Index child_group = group_of_[ch];
                if (child_group == key) {
                    operands_.push_back(StageRef::member(position_[ch]));
                    continue;
                }
                if (input_slot_owner_[child_group] != key) {
                    input_slot_owner_[child_group] = key;
                    input_slot_[child_group] = static_cast<Index>(input_groups_.size());
                    input_groups_.push_back(child_group);
                }
                operands_.push_back(StageRef::input(input_slot_[child_group]));
            }
            stage_members_.push_back(MemberSlot{token(graph_.ops[member]),
                                                static_cast<std::uint32_t>(operands_.size())});
            out_.landing_of.set(member, Landing{reduced_id, k});
        }
        inputs_.clear();
        for (Index g : input_groups_) inputs_.push_back(reduced_of(g));
        out_.nodes.append_stage(inputs_, stage_members_, operands_);
        ++out_.stages;
        reduced_id_of_[key] = reduced_id;
    }

    Fused finish() && {
        out_.outputs.reserve(graph_.outputs.size());
        for (std::uint32_t o : graph_.outputs) out_.outputs.push_back(reduced_of(group_of_[o]));
        return std::move(out_);
    }

private:
    // The string id of `op`'s text in the reduced table, interned in member order, so
    // that the table's strings come out as they would member by member.
    std::uint32_t token(eqsat::Symbol op) {
        if (op.id() >= token_of_symbol_.size()) return out_.nodes.intern_text(op.str());
        std::uint32_t& id = token_of_symbol_[op.id()];
        if (id == kNoIndex) id = out_.nodes.intern_text(op.str());
        return id;
    }

    std::uint64_t reduced_of(Index group) const {
        const Index id = reduced_id_of_[group];
        fault_unless(id != kNoIndex, "fusion group read before it was emitted");
        return id;
    }

    const SymbolGraph& graph_;
    std::span<const Index> group_of_;
    const NodeTable& boundary_;
    std::span<const std::uint32_t> row_of_;
    Fused out_;
    std::vector<Index> reduced_id_of_;     // group key -> reduced node id
    std::vector<Index> position_;          // member -> position in its stage
    std::vector<Index> input_slot_;        // outside group -> stage input slot
    std::vector<Index> input_slot_owner_;  // which stage the slot belongs to
    // Buffers of the node being written, reused from node to node.
    std::vector<Index> input_groups_;  // groups feeding the stage, by slot
    std::vector<NodeId> inputs_;
    std::vector<MemberSlot> stage_members_;
    std::vector<StageRef> operands_;
    std::vector<std::uint32_t> token_of_symbol_;  // symbol id -> string id, or kNoIndex
    ViewScratch scratch_;
};

}  // namespace

Fused stage_fusion(const SymbolGraph& graph, const NodeTable& boundary,
                   std::span<const std::uint32_t> row_of, bool maximal_fusion) {
    check_input(graph, row_of);
    const auto m = static_cast<Index>(graph.size());
    const std::vector<Index> group_of = [&] {
        const Uses uses(graph);
        return maximal_fusion ? maximal_groups(uses) : single_use_groups(uses);
    }();
    const Adjacency members = adjacency(m, [&](auto emit) {  // ascending members of each group
        for (Index i = 0; i < m; ++i) emit(group_of[i], i);
    });

    std::size_t groups = 0;
    for (Index g = 0; g < m; ++g) groups += members.count(g) != 0;
    Emitter emit(graph, group_of, boundary, row_of, groups);
    for (Index i = 0; i < m; ++i) {
        const Index key = group_of[i];
        std::span<const Index> group = members.of(key);
        if (group.back() != i) continue;  // not the group's largest member
        if (graph.non_op[i] != 0)
            emit.boundary(i);
        else
            emit.stage(key, group);
    }
    return std::move(emit).finish();
}

}  // namespace corvane
