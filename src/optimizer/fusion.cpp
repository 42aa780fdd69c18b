#include "optimizer/fusion.hpp"

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
        if (ra < rb) parent_[rb] = ra; else parent_[ra] = rb;
    }

private:
    std::vector<Index> parent_;
};

// Users of every node as one flat adjacency list (CSR): the users of node i are
// users[offset[i] .. offset[i+1]), ascending, a repeated read listed twice.
struct Consumers {
    std::vector<Index> offset;
    std::vector<Index> users;

    explicit Consumers(const SymbolGraph& graph) : offset(graph.size() + 1, 0) {
        for (std::uint32_t ch : graph.children) ++offset[ch + 1];
        for (std::size_t i = 0; i < graph.size(); ++i) offset[i + 1] += offset[i];
        users.resize(offset.back());
        std::vector<Index> fill(offset.begin(), offset.end() - 1);
        for (std::size_t j = 0; j < graph.size(); ++j)
            for (std::uint32_t ch : graph.children_of(j)) users[fill[ch]++] = static_cast<Index>(j);
    }
    std::size_t count(std::size_t i) const { return offset[i + 1] - offset[i]; }
    std::span<const Index> of(std::size_t i) const {
        return {users.data() + offset[i], count(i)};
    }
};

}  // namespace

Fused stage_fusion(const SymbolGraph& graph, const NodeTable& boundary,
                   std::span<const std::uint32_t> row_of, bool maximal_fusion) {
    fault_unless(graph.size() < kNoIndex, "fusion input is too large");
    const auto m = static_cast<Index>(graph.size());
    fault_unless(row_of.size() == m, "fusion needs one boundary row slot per node");
    for (Index i = 0; i < m; ++i)
        for (std::uint32_t ch : graph.children_of(i)) fault_unless(ch < i, "fusion input reads a later node");

    const Consumers consumers(graph);
    std::vector<bool> is_output(m, false);
    for (std::uint32_t o : graph.outputs) {
        fault_unless(o < m, "fusion output out of range");
        is_output[o] = true;
    }
    auto is_op = [&](Index i) { return graph.non_op[i] == 0; };

    std::vector<Index> group_of(m);
    if (!maximal_fusion) {
        Forest forest(m);
        for (Index i = 0; i < m; ++i) {
            if (!is_op(i) || consumers.count(i) != 1 || is_output[i]) continue;
            const Index user = consumers.of(i)[0];
            if (is_op(user)) forest.unite(i, user);
        }
        for (Index i = 0; i < m; ++i) group_of[i] = is_op(i) ? forest.find(i) : i;
    } else {
        for (Index i = 0; i < m; ++i) group_of[i] = i;
        for (Index i = m; i-- > 0;) {
            if (!is_op(i) || is_output[i] || consumers.count(i) == 0) continue;
            std::span<const Index> users = consumers.of(i);
            const Index g = group_of[users[0]];
            bool joins = true;
            for (Index u : users) {
                if (!is_op(u) || group_of[u] != g) { joins = false; break; }
            }
            if (joins) group_of[i] = g;
        }
    }

    // Members of each group in ascending order (CSR by group key), and the largest
    // member of each group. Groups are emitted in order of their largest member, which
    // is the ascending scan below.
    std::vector<Index> member_offset(std::size_t{m} + 1, 0);
    std::vector<Index> last_member(m, kNoIndex);
    for (Index i = 0; i < m; ++i) {
        ++member_offset[group_of[i] + 1];
        last_member[group_of[i]] = i;
    }
    for (Index i = 0; i < m; ++i) member_offset[i + 1] += member_offset[i];
    std::vector<Index> members(m);
    {
        std::vector<Index> fill(member_offset.begin(), member_offset.end() - 1);
        for (Index i = 0; i < m; ++i) members[fill[group_of[i]]++] = i;
    }

    Fused out;
    out.landing_of.resize(m);
    std::size_t groups = 0;
    for (Index i = 0; i < m; ++i) if (last_member[group_of[i]] == i) ++groups;
    out.nodes.reserve(groups, graph.children.size(), 0);
    std::vector<Index> reduced_id_of(m, kNoIndex);
    std::vector<Index> position(m, 0);            // member -> position in its stage
    std::vector<Index> input_slot(m, kNoIndex);      // outside group -> stage input slot
    std::vector<Index> input_slot_owner(m, kNoIndex);  // which stage the slot belongs to

    auto reduced_of_group = [&](Index group) -> std::uint64_t {
        const Index id = reduced_id_of[group];
        fault_unless(id != kNoIndex, "fusion group read before it was emitted");
        return id;
    };

    std::vector<Index> input_groups;  // groups feeding the stage being built, by slot
    // Buffers of the node being written, reused from node to node.
    std::vector<NodeId> inputs;
    std::vector<MemberView> stage_members;
    std::vector<StageRef> operands;
    std::vector<std::uint32_t> operands_end;
    ViewScratch scratch;
    for (Index i = 0; i < m; ++i) {
        const Index key = group_of[i];
        if (last_member[key] != i) continue;
        const auto reduced_id = static_cast<Index>(out.nodes.size());

        if (!is_op(i)) {
            inputs.clear();
            for (std::uint32_t ch : graph.children_of(i)) inputs.push_back(reduced_of_group(group_of[ch]));
            fault_unless(row_of[i] < boundary.size(), "boundary node has no row to rebuild from");
            NodeView view = table_view(boundary, row_of[i], scratch);
            view.inputs = inputs;
            out.nodes.append(view);
            out.landing_of[i] = Landing{reduced_id, std::nullopt};
            ++out.boundary_nodes;
        } else {
            std::span<const Index> group(members.data() + member_offset[key],
                                         member_offset[key + 1] - member_offset[key]);
            input_groups.clear();
            operands.clear();
            operands_end.clear();
            for (std::size_t k = 0; k < group.size(); ++k) position[group[k]] = static_cast<Index>(k);
            for (std::size_t k = 0; k < group.size(); ++k) {
                const Index member = group[k];
                for (std::uint32_t ch : graph.children_of(member)) {
                    const Index child_group = group_of[ch];
                    if (child_group == key) {
                        operands.push_back(StageRef::member(position[ch]));
                        continue;
                    }
                    if (input_slot_owner[child_group] != key) {
                        input_slot_owner[child_group] = key;
                        input_slot[child_group] = static_cast<Index>(input_groups.size());
                        input_groups.push_back(child_group);
                    }
                    operands.push_back(StageRef::input(input_slot[child_group]));
                }
                operands_end.push_back(static_cast<std::uint32_t>(operands.size()));
                out.landing_of[member] = Landing{reduced_id, k};
            }
            // The member views borrow `operands` only once it has stopped growing.
            stage_members.clear();
            for (std::size_t k = 0; k < group.size(); ++k) {
                const std::size_t from = k == 0 ? 0 : operands_end[k - 1];
                stage_members.push_back(MemberView{graph.ops[group[k]].str(),
                                                   std::span<const StageRef>(operands).subspan(from, operands_end[k] - from)});
            }
            inputs.clear();
            for (Index g : input_groups) inputs.push_back(reduced_of_group(g));
            NodeView stage;
            stage.kind = NodeKey::Kind::Stage;
            stage.inputs = inputs;
            stage.members = stage_members;
            out.nodes.append(stage);
            ++out.stages;
        }
        reduced_id_of[key] = reduced_id;
    }

    out.outputs.reserve(graph.outputs.size());
    for (std::uint32_t o : graph.outputs) out.outputs.push_back(reduced_of_group(group_of[o]));
    return out;
}

}  // namespace corvane
