#include "store.hpp"

#include <algorithm>
#include <atomic>

#include "fault.hpp"
#include "store_inner.hpp"

namespace corvane {
namespace {

// The next store serial number; 64 bits do not wrap within any process's life.
std::atomic<std::uint64_t> g_next_serial{1};

}  // namespace

GraphStore::GraphStore() : GraphStore(HashSeed::random()) {}
GraphStore::GraphStore(const HashSeed& seed)
    : seed_(seed),
      serial_(g_next_serial.fetch_add(1, std::memory_order_relaxed)),
      inner_(std::make_unique<Guarded<Inner>>(kStorePoisoned, seed)) {}
GraphStore::GraphStore(GraphStore&&) noexcept = default;
GraphStore& GraphStore::operator=(GraphStore&&) noexcept = default;
GraphStore::~GraphStore() = default;

std::expected<NodeId, BadNodeId> GraphStore::intern(const NodeView& view) {
    if (!view.is_well_formed()) internal_fault("GraphStore::intern: malformed node view");
    const std::uint64_t hash = hash_key(view, seed_);
    return inner_->with_lock([&](Inner& in) -> std::expected<NodeId, BadNodeId> {
        if (const auto bad = first_bad_id(view.inputs, in.table.size()))
            return std::unexpected(*bad);
        return in.table.intern(view, hash).id;
    });
}

GraphStore GraphStore::adopt(HashConsTable table) {
    GraphStore store(table.seed());
    store.inner_->with_lock([&](Inner& in) { in.table = std::move(table); });
    return store;
}

void GraphStore::reserve(std::size_t count, std::size_t inputs, std::size_t params) {
    inner_->with_lock([&](Inner& in) { in.table.reserve(count, inputs, params); });
}

std::expected<void, BadNodeId> GraphStore::mark_output(NodeId id) {
    return inner_->with_lock([&](Inner& in) -> std::expected<void, BadNodeId> {
        if (id >= in.table.nodes().size()) return std::unexpected(BadNodeId{id});
        if (std::find(in.outputs.begin(), in.outputs.end(), id) == in.outputs.end()) {
            in.outputs.push_back(id);
        }
        return {};
    });
}

std::expected<void, BadNodeId> GraphStore::mark_outputs(std::span<const NodeId> ids) {
    return inner_->with_lock([&](Inner& in) -> std::expected<void, BadNodeId> {
        if (const auto bad = first_bad_id(ids, in.table.nodes().size()))
            return std::unexpected(*bad);
        std::vector<NodeId> marks = in.outputs;
        if (marks.size() + ids.size() <= 64) {
            for (NodeId id : ids) {
                if (std::find(marks.begin(), marks.end(), id) == marks.end()) marks.push_back(id);
            }
        } else {
            // A bitmap over the arena keeps long lists linear.
            std::vector<bool> marked(in.table.nodes().size(), false);
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
    return inner_->with_lock(
        [](const Inner& in) { return std::uint64_t{in.table.nodes().size()}; });
}

std::vector<NodeId> GraphStore::outputs() const {
    return inner_->with_lock([](const Inner& in) { return in.outputs; });
}

NodeMap GraphStore::node_map() const {
    return inner_->with_lock([](const Inner& in) { return in.node_map; });
}

GraphStore::TableSnapshot GraphStore::table_snapshot() const {
    return inner_->with_lock(
        [](const Inner& in) { return TableSnapshot{in.table.nodes(), in.outputs}; });
}

GraphStore GraphStore::copy() const {
    // The index holds hashes under this store's seed, so the copy keeps the seed. The
    // source's lock is released before the copy's is taken: never two store locks at once.
    GraphStore result(seed_);
    HashConsTable table;
    std::vector<NodeId> outputs;
    NodeMap node_map;
    inner_->with_lock([&](const Inner& in) {
        table = in.table;
        outputs = in.outputs;
        node_map = in.node_map;
    });
    result.inner_->with_lock([&](Inner& out) {
        out.table = std::move(table);
        out.outputs = std::move(outputs);
        out.node_map = std::move(node_map);
    });
    return result;
}

bool GraphStore::adopt_node_map(std::span<const std::optional<Landing>> map) {
    NodeMap packed;
    packed.reserve(map.size());
    return inner_->with_lock([&](Inner& in) {
        if (!in.node_map.empty()) return false;
        for (const std::optional<Landing>& landing : map) {
            if (!landing) continue;
            if (landing->reduced_node_id >= in.table.nodes().size()) return false;
            if (!landing->member_index) continue;
            if (*landing->member_index >=
                in.table.nodes()
                    .members(static_cast<std::size_t>(landing->reduced_node_id))
                    .size()) {
                return false;
            }
        }
        for (const std::optional<Landing>& landing : map) packed.push_back(landing);
        in.node_map = std::move(packed);
        return true;
    });
}

void GraphStore::set_node_map(NodeMap map) {
    inner_->with_lock([&](Inner& in) { in.node_map = std::move(map); });
}

}  // namespace corvane
