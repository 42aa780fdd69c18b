#include "optimizer/fusion.hpp"

#include <utility>

#include "fault.hpp"
#include "optimizer/dce.hpp"

namespace corvane {
namespace {

// Union-find over node indices for the single-use rule: the larger root is pointed at
// the smaller one, so a group's root is its smallest member.
class Forest {
public:
    explicit Forest(std::size_t n) : parent_(n) {
        for (std::size_t i = 0; i < n; ++i) parent_[i] = i;
    }
    std::size_t find(std::size_t x) {
        std::size_t root = x;
        while (parent_[root] != root) root = parent_[root];
        while (parent_[x] != root) {  // full path compression
            const std::size_t next = parent_[x];
            parent_[x] = root;
            x = next;
        }
        return root;
    }
    void unite(std::size_t a, std::size_t b) {
        const std::size_t ra = find(a);
        const std::size_t rb = find(b);
        if (ra == rb) return;
        if (ra < rb) parent_[rb] = ra; else parent_[ra] = rb;
    }

private:
    std::vector<std::size_t> parent_;
};

// Users of every node as one flat adjacency list (CSR): the users of node i are
// users[offset[i] .. offset[i+1]), ascending, a repeated read listed twice.
struct Consumers {
    std::vector<std::size_t> offset;
    std::vector<std::size_t> users;

    explicit Consumers(const SymbolGraph& graph) : offset(graph.size() + 1, 0) {
        for (std::uint32_t ch : graph.children) ++offset[ch + 1];
        for (std::size_t i = 0; i < graph.size(); ++i) offset[i + 1] += offset[i];
        users.resize(offset.back());
        std::vector<std::size_t> fill(offset.begin(), offset.end() - 1);
        for (std::size_t j = 0; j < graph.size(); ++j)
            for (std::uint32_t ch : graph.children_of(j)) users[fill[ch]++] = j;
    }
    std::size_t count(std::size_t i) const { return offset[i + 1] - offset[i]; }
    std::span<const std::size_t> of(std::size_t i) const {
        return {users.data() + offset[i], count(i)};
    }
};

}  // namespace

Fused stage_fusion(const SymbolGraph& graph, std::span<const NodeKey* const> key_of, bool maximal_fusion) {
    const std::size_t m = graph.size();
    fault_unless(key_of.size() == m, "fusion needs one boundary key slot per node");
    for (std::size_t i = 0; i < m; ++i)
        for (std::uint32_t ch : graph.children_of(i)) fault_unless(ch < i, "fusion input reads a later node");

    const Consumers consumers(graph);
    std::vector<bool> is_output(m, false);
    for (std::size_t o : graph.outputs) {
        fault_unless(o < m, "fusion output out of range");
        is_output[o] = true;
    }
    auto is_op = [&](std::size_t i) { return graph.opaque[i] == 0; };

    std::vector<std::size_t> group_of(m);
    if (!maximal_fusion) {
        Forest forest(m);
        for (std::size_t i = 0; i < m; ++i) {
            if (!is_op(i) || consumers.count(i) != 1 || is_output[i]) continue;
            const std::size_t user = consumers.of(i)[0];
            if (is_op(user)) forest.unite(i, user);
        }
        for (std::size_t i = 0; i < m; ++i) group_of[i] = is_op(i) ? forest.find(i) : i;
    } else {
        for (std::size_t i = 0; i < m; ++i) group_of[i] = i;
        for (std::size_t i = m; i-- > 0;) {
            if (!is_op(i) || is_output[i] || consumers.count(i) == 0) continue;
            std::span<const std::size_t> users = consumers.of(i);
            const std::size_t g = group_of[users[0]];
            bool joins = true;
            for (std::size_t u : users) {
                if (!is_op(u) || group_of[u] != g) { joins = false; break; }
            }
            if (joins) group_of[i] = g;
        }
    }

    // Members of each group in ascending order (CSR by group key), and the largest
    // member of each group. Groups are emitted in order of their largest member, which
    // is the ascending scan below.
    std::vector<std::size_t> member_offset(m + 1, 0);
    std::vector<std::size_t> last_member(m, kDead);
    for (std::size_t i = 0; i < m; ++i) {
        ++member_offset[group_of[i] + 1];
        last_member[group_of[i]] = i;
    }
    for (std::size_t i = 0; i < m; ++i) member_offset[i + 1] += member_offset[i];
    std::vector<std::size_t> members(m);
    {
        std::vector<std::size_t> fill(member_offset.begin(), member_offset.end() - 1);
        for (std::size_t i = 0; i < m; ++i) members[fill[group_of[i]]++] = i;
    }

    Fused out;
    out.landing_of.resize(m);
    std::size_t groups = 0;
    for (std::size_t i = 0; i < m; ++i) if (last_member[group_of[i]] == i) ++groups;
    out.nodes.reserve(groups);
    std::vector<std::uint64_t> reduced_id_of(m, kDead);
    std::vector<std::size_t> position(m, 0);            // member -> position in its stage
    std::vector<std::size_t> input_slot(m, kDead);      // outside group -> stage input slot
    std::vector<std::size_t> input_slot_owner(m, kDead);  // which stage the slot belongs to

    auto reduced_of_group = [&](std::size_t group) {
        const std::uint64_t id = reduced_id_of[group];
        fault_unless(id != kDead, "fusion group read before it was emitted");
        return id;
    };

    std::vector<std::size_t> input_groups;  // groups feeding the stage being built, by slot
    for (std::size_t i = 0; i < m; ++i) {
        const std::size_t key = group_of[i];
        if (last_member[key] != i) continue;
        const std::uint64_t reduced_id = out.nodes.size();

        if (!is_op(i)) {
            const std::span<const std::uint32_t> children = graph.children_of(i);
            std::vector<NodeId> inputs;
            inputs.reserve(children.size());
            for (std::uint32_t ch : children) inputs.push_back(reduced_of_group(group_of[ch]));
            fault_unless(key_of[i] != nullptr, "boundary node has no key to rebuild from");
            out.nodes.push_back(key_of[i]->with_inputs(std::move(inputs)));
            out.landing_of[i] = Landing{reduced_id, std::nullopt};
            ++out.boundary_nodes;
        } else {
            std::span<const std::size_t> group(members.data() + member_offset[key],
                                               member_offset[key + 1] - member_offset[key]);
            node::Stage stage;
            stage.members.reserve(group.size());
            input_groups.clear();
            for (std::size_t k = 0; k < group.size(); ++k) position[group[k]] = k;
            for (std::size_t k = 0; k < group.size(); ++k) {
                const std::size_t member = group[k];
                const std::span<const std::uint32_t> children = graph.children_of(member);
                StageOp op;
                op.op_token = graph.ops[member].str();
                op.inputs.reserve(children.size());
                for (std::uint32_t ch : children) {
                    const std::size_t child_group = group_of[ch];
                    if (child_group == key) {
                        op.inputs.push_back(StageRef::member(position[ch]));
                        continue;
                    }
                    if (input_slot_owner[child_group] != key) {
                        input_slot_owner[child_group] = key;
                        input_slot[child_group] = input_groups.size();
                        input_groups.push_back(child_group);
                    }
                    op.inputs.push_back(StageRef::input(input_slot[child_group]));
                }
                stage.members.push_back(std::move(op));
                out.landing_of[group[k]] = Landing{reduced_id, k};
            }
            stage.inputs.reserve(input_groups.size());
            for (std::size_t g : input_groups) stage.inputs.push_back(reduced_of_group(g));
            out.nodes.push_back(NodeKey(std::move(stage)));
            ++out.stages;
        }
        reduced_id_of[key] = reduced_id;
    }

    out.outputs.reserve(graph.outputs.size());
    for (std::size_t o : graph.outputs) out.outputs.push_back(reduced_of_group(group_of[o]));
    return out;
}

Fused stage_fusion(const EngineGraph& graph, const TokenMap& token_map, bool maximal_fusion) {
    std::vector<const NodeKey*> key_of(graph.nodes.size(), nullptr);
    for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
        const EngineNode& node = graph.nodes[i];
        if (!node.opaque) continue;
        auto found = token_map.find(node.op);
        fault_unless(found != token_map.end(), "boundary node symbol missing from the token map");
        key_of[i] = found->second;
    }
    return stage_fusion(to_symbol_graph(graph), key_of, maximal_fusion);
}

}  // namespace corvane
