#include "support/random_graph.hpp"

#include <array>
#include <string>
#include <utility>

#include "fault.hpp"
#include "store.hpp"
#include "support/keys.hpp"
#include "support/store_keys.hpp"

namespace corvane::testing {

NodeId GraphDraw::last() const {
    fault_unless(!pool_.empty(), "a random graph step reads a world without nodes");
    return pool_.back();
}

NodeId GraphDraw::recent() {
    fault_unless(!pool_.empty(), "a random graph step reads a world without nodes");
    const std::uint64_t span = pool_.size() < window_ ? pool_.size() : window_;
    return pool_[pool_.size() - 1 - static_cast<std::size_t>(rng_.below(span))];
}

RandomGraph random_graph(const GraphRecipe& recipe, Rng& rng) {
    fault_unless(recipe.worlds > 0, "a random graph needs a world");
    GraphStore store;  // hash-conses the keys of a distinct graph
    std::vector<NodeKey> nodes;
    std::vector<std::vector<NodeId>> pool(recipe.worlds);
    std::vector<std::size_t> world_of;
    auto add = [&](NodeKey key, std::size_t w) {
        NodeId id = nodes.size();
        if (recipe.distinct) {
            id = testing::intern(store, std::move(key)).value();
        } else {
            nodes.push_back(std::move(key));
        }
        if (id == world_of.size()) {
            world_of.push_back(w);
            pool[w].push_back(id);
        }
    };
    for (std::size_t i = 0; i < recipe.sources.size(); ++i)
        add(recipe.sources[i], i % recipe.worlds);
    while (world_of.size() < recipe.nodes) {
        const std::size_t w =
            recipe.worlds > 1 ? static_cast<std::size_t>(rng.below(recipe.worlds)) : 0;
        GraphDraw draw(rng, w, pool[w], recipe.window);
        if (std::optional<NodeKey> key = recipe.step(draw)) add(std::move(*key), w);
    }

    RandomGraph graph;
    graph.nodes = recipe.distinct ? testing::keys_of(store) : std::move(nodes);
    std::vector<bool> used(graph.nodes.size(), false);
    for (const NodeKey& key : graph.nodes)
        for (NodeId x : key.inputs()) used[static_cast<std::size_t>(x)] = true;
    for (NodeId i = 0; i < graph.nodes.size(); ++i) {
        if (world_of[static_cast<std::size_t>(i)] == 0 && !used[static_cast<std::size_t>(i)])
            graph.outputs.push_back(i);
    }
    return graph;
}

RandomGraph pipeline_graph(std::size_t n, std::uint64_t seed) {
    constexpr std::uint64_t kWindow = 64;
    struct Binary {
        const char* name;
        NodeId a;
        NodeId b;
    };
    std::array<std::vector<Binary>, 2> binaries;  // per world, for their commuted duplicates
    auto draw_int = [](GraphDraw& d, std::uint64_t n_values) {
        return ParamValue::of_int(static_cast<std::int64_t>(d.below(n_values)));
    };

    GraphRecipe recipe;
    recipe.nodes = n;
    recipe.worlds = 2;
    recipe.window = kWindow;
    for (std::size_t i = 0; i < (n / 1000 < 4 ? 4 : n / 1000); ++i) {
        recipe.sources.push_back(
            source("s" + std::to_string(i), params({{"path", S("p" + std::to_string(i))}})));
    }
    // Braced initialisers evaluate left to right, so the draws below happen in the order
    // they are written, as bench.py makes them.
    recipe.step = [&](GraphDraw& d) -> std::optional<NodeKey> {
        const NodeId last = d.last();
        const std::uint64_t r = d.below(100);
        if (r < 45) return node::Op{"map", params({{"f", draw_int(d, 1u << 20)}}), {last}};
        if (r < 60) return node::Op{"filter", params({{"p", draw_int(d, 1u << 20)}}), {d.recent()}};
        if (r < 73) {
            const NodeId a = d.recent();
            const NodeId b = d.recent();
            const char* name = d.below(2) == 0 ? "add" : "mul";
            binaries[d.world()].push_back({name, a, b});
            return node::Op{name, ParamMap(), {a, b}};
        }
        if (r < 78) {
            const std::vector<Binary>& done = binaries[d.world()];
            if (done.empty()) return std::nullopt;
            const std::uint64_t span = done.size() < kWindow ? done.size() : kWindow;
            const Binary& bin = done[done.size() - 1 - static_cast<std::size_t>(d.below(span))];
            return node::Op{bin.name, ParamMap(), {bin.b, bin.a}};
        }
        if (r < 86)
            return d.below(2) == 0 ? identity_op("add", "r", {last})
                                   : identity_op("mul", "l", {last});
        if (r < 92) return node::Join{params({{"how", S("inner")}}), {last, d.recent()}};
        if (r < 96) return node::Reduction{"sum", params({{"axis", draw_int(d, 2)}}), {last}};
        return node::Exchange{params({{"scheme", S("hash")}}), {last}};
    };
    Rng rng(seed);
    return random_graph(recipe, rng);
}

RandomGraph operator_graph(std::size_t n, Rng& rng) {
    struct Shape {
        NodeKey key;  // inputs replaced
        std::size_t arity;
    };
    static const std::vector<Shape> shapes = {
        {source("s0"), 0},
        {source("s1"), 0},
        {source("s2"), 0},
        {op("add", {}), 2},
        {op("mul", {}), 2},
        {op("maximum", {}), 2},
        {op("sub", {}), 2},
        {op("maximum", {}), 3},
        {op("neg", {}), 1},
        {identity_op("add", "r", {}), 1},
        {identity_op("add", "l", {}), 1},
        {identity_op("mul", "r", {}), 1},
        {identity_op("mul", "l", {}), 1},
        {op("add", {}, params({{"scalar", F(2.0)}, {"side", S("r")}})), 1},
        {op("eq", {}), 2},
        {op("minimum", {}), 2},
        {join({}), 2},
    };
    GraphRecipe recipe;
    recipe.nodes = n;
    recipe.sources = {source("s0")};
    recipe.distinct = false;
    recipe.step = [](GraphDraw& d) -> std::optional<NodeKey> {
        const Shape& shape = shapes[static_cast<std::size_t>(d.below(shapes.size()))];
        std::vector<NodeId> inputs(shape.arity);
        for (NodeId& x : inputs) x = d.recent();
        return with_inputs(shape.key, std::move(inputs));
    };
    return random_graph(recipe, rng);
}

}  // namespace corvane::testing
