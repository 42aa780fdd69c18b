#include "store.hpp"

#include <algorithm>
#include <atomic>

#include "fault.hpp"
#include "store_inner.hpp"

namespace corvane {
namespace {

// The string table's seed, drawn apart from the key seed so that a chosen name cannot
// line up both tables' probes.
HashSeed string_seed_of(const HashSeed& seed) noexcept {
    return HashSeed{seed.k0 ^ 0x6a09e667f3bcc908ULL, seed.k1 ^ 0xbb67ae8584caa73bULL};
}

// The next store serial number; 64 bits do not wrap within any process's life.
std::atomic<std::uint64_t> g_next_identity{1};

}  // namespace

GraphStore::GraphStore() : GraphStore(HashSeed::random()) {}
GraphStore::GraphStore(const HashSeed& seed)
    : seed_(seed),
      identity_(g_next_identity.fetch_add(1, std::memory_order_relaxed)),
      inner_(std::make_unique<Guarded<Inner>>(kStorePoisoned, string_seed_of(seed))) {}
GraphStore::GraphStore(GraphStore&&) noexcept = default;
GraphStore& GraphStore::operator=(GraphStore&&) noexcept = default;
GraphStore::~GraphStore() = default;

std::expected<NodeId, BadNodeId> GraphStore::intern(NodeKey key) {
    ViewScratch scratch;
    return intern(view_of(key, scratch));
}

std::expected<NodeId, BadNodeId> GraphStore::intern(const NodeView& view) {
    if (!view.is_well_formed()) internal_fault("GraphStore::intern: malformed node view");
    const std::uint64_t hash = hash_key(view, seed_);
    return inner_->with_lock([&](Inner& in) -> std::expected<NodeId, BadNodeId> {
        const std::uint64_t count = in.nodes.size();
        if (const auto bad = first_bad_id(view.inputs, count)) return std::unexpected(*bad);
        const auto hit = in.index.find(hash, [&](NodeId id) { return in.nodes.matches(static_cast<std::size_t>(id), view); });
        if (hit) return *hit;
        in.index.reserve(in.index.size() + 1);
        in.nodes.append(view);  // a failed append leaves the table as it was
        in.index.insert(hash, count);
        return count;
    });
}

GraphStore GraphStore::adopt(const HashSeed& seed, NodeTable nodes, CompactIdTable index) {
    GraphStore store(seed);
    store.inner_->with_lock([&](Inner& in) {
        in.nodes = std::move(nodes);
        in.index = std::move(index);
    });
    return store;
}

void GraphStore::reserve(std::size_t count, std::size_t inputs, std::size_t params) {
    inner_->with_lock([&](Inner& in) {
        in.nodes.reserve(count, inputs, params);
        in.index.reserve(count);
    });
}

std::expected<void, BadNodeId> GraphStore::mark_output(NodeId id) {
    return inner_->with_lock([&](Inner& in) -> std::expected<void, BadNodeId> {
        if (id >= in.nodes.size()) return std::unexpected(BadNodeId{id});
        if (std::find(in.outputs.begin(), in.outputs.end(), id) == in.outputs.end()) {
            in.outputs.push_back(id);
        }
        return {};
    });
}

std::expected<void, BadNodeId> GraphStore::mark_outputs(std::span<const NodeId> ids) {
    return inner_->with_lock([&](Inner& in) -> std::expected<void, BadNodeId> {
        if (const auto bad = first_bad_id(ids, in.nodes.size())) return std::unexpected(*bad);
        std::vector<NodeId> marks = in.outputs;
        if (marks.size() + ids.size() <= 64) {
            for (NodeId id : ids) {
                if (std::find(marks.begin(), marks.end(), id) == marks.end()) marks.push_back(id);
            }
        } else {
            // A bitmap over the arena keeps long lists linear.
            std::vector<bool> marked(in.nodes.size(), false);
            for (NodeId id : marks) marked[static_cast<std::size_t>(id)] = true;
            for (NodeId id : ids) {
                if (marked[static_cast<std::size_t>(id)]) continue;
                marked[static_cast<std::size_t>(id)] = true;
                marks.push_back(id);
            }
        }
        in.outputs = std::move(marks);
        return {};
    });
}

std::uint64_t GraphStore::node_count() const {
    return inner_->with_lock([](const Inner& in) { return std::uint64_t{in.nodes.size()}; });
}

std::vector<NodeId> GraphStore::outputs() const {
    return inner_->with_lock([](const Inner& in) { return in.outputs; });
}

NodeMap GraphStore::node_map() const {
    return inner_->with_lock([](const Inner& in) { return in.node_map; });
}

GraphStore::Snapshot GraphStore::snapshot() const {
    TableSnapshot copy = table_snapshot();  // keys are built after the lock is released
    return Snapshot{copy.nodes.keys(), std::move(copy.outputs)};
}

GraphStore::TableSnapshot GraphStore::table_snapshot() const {
    return inner_->with_lock([](const Inner& in) { return TableSnapshot{in.nodes, in.outputs}; });
}

std::vector<NodeKey> GraphStore::snapshot_from(std::uint64_t watermark) const {
    return inner_->with_lock([&](const Inner& in) {
        const std::size_t from = static_cast<std::size_t>(std::min<std::uint64_t>(watermark, in.nodes.size()));
        return in.nodes.keys(from);
    });
}

std::expected<std::vector<NodeKey>, BadNodeId> GraphStore::arena_holding(
    std::span<const NodeId> ids) const {
    std::vector<NodeKey> arena = table_snapshot().nodes.keys();
    if (const auto bad = first_bad_id(ids, arena.size())) return std::unexpected(*bad);
    return arena;
}

GraphStore GraphStore::copy() const {
    // The index holds hashes under this store's seed, so the copy keeps the seed. The
    // source's lock is released before the copy's is taken: never two store locks at once.
    GraphStore result(seed_);
    NodeTable nodes;
    std::vector<NodeId> outputs;
    NodeMap node_map;
    CompactIdTable index;
    inner_->with_lock([&](const Inner& in) {
        nodes = in.nodes;
        outputs = in.outputs;
        node_map = in.node_map;
        index = in.index;
    });
    result.inner_->with_lock([&](Inner& out) {
        out.nodes = std::move(nodes);
        out.outputs = std::move(outputs);
        out.node_map = std::move(node_map);
        out.index = std::move(index);
    });
    return result;
}

bool GraphStore::adopt_node_map(NodeMap map) {
    return inner_->with_lock([&](Inner& in) {
        if (!in.node_map.empty()) return false;
        for (const std::optional<Landing>& landing : map) {
            if (!landing) continue;
            if (landing->reduced_node_id >= in.nodes.size()) return false;
            if (!landing->member_index) continue;
            if (*landing->member_index >= in.nodes.members(static_cast<std::size_t>(landing->reduced_node_id)).size()) {
                return false;
            }
        }
        in.node_map = std::move(map);
        return true;
    });
}

void GraphStore::set_node_map(NodeMap map) {
    inner_->with_lock([&](Inner& in) { in.node_map = std::move(map); });
}

}  // namespace corvane
