#include "eqsat/egraph.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <numeric>
#include <string>
#include <utility>

#include "eqsat/error.hpp"
#include "eqsat/prefetch.hpp"

namespace corvane::eqsat {

void EGraph::reserve(std::size_t nodes, std::size_t children) {
    parent_.reserve(nodes);
    classes_.reserve(nodes);
    flags_.reserve(nodes);
    memo_.reserve(nodes, children);
}

void EGraph::check_id(Id id) const {
    if (id >= parent_.size()) fail("no e-class with id " + std::to_string(id));
}

Id EGraph::find(Id id) const {
    check_id(id);
    while (parent_[id] != id) id = parent_[id];
    return id;
}

// Path halving: every visited id is pointed at its grandparent.
Id EGraph::find_mut(Id id) {
    while (parent_[id] != id) {
        parent_[id] = parent_[parent_[id]];
        id = parent_[id];
    }
    return id;
}

bool EGraph::children_are_roots(NodeRef node) const noexcept {
    if (!ever_merged_) return true;
    return std::ranges::all_of(node.children, [&](Id c) { return parent_[c] == c; });
}

void EGraph::canonicalize_into(NodeRef node, std::vector<Id>& out) {
    out.clear();
    for (Id c : node.children) out.push_back(find_mut(c));
}

namespace {

// Flags by class id: a root whose members may be stale until the next rebuild; an e-node
// (by the class it was added to) waiting in the deferred queue.
constexpr std::uint8_t kStale = 1;
constexpr std::uint8_t kDeferred = 2;
// E-nodes with more children wait until the narrow ones are repaired.
constexpr std::size_t kNarrowArity = 8;

std::uint64_t op_key(Symbol op, std::size_t arity) noexcept {
    return std::uint64_t{op.id()} << 32 | arity;
}
std::uint64_t filter_bit(std::uint64_t key) noexcept {
    return std::uint64_t{1} << ((key * 0x9e3779b97f4a7c15ULL) >> 58);
}

}  // namespace

const EGraph::OpIndex* EGraph::op_index(std::uint64_t key) const noexcept {
    if ((index_filter_ & filter_bit(key)) == 0) return nullptr;
    for (const OpIndex& index : indexes_) {
        if (index.key == key) return &index;
    }
    return nullptr;
}

void EGraph::index_ops(std::span<const OpKey> keys) {
    const std::size_t first_new = indexes_.size();
    for (const OpKey& k : keys) {
        const std::uint64_t key = op_key(k.op, k.arity);
        if (op_index(key) != nullptr) continue;
        indexes_.push_back({key, {}, !clean_});
        index_filter_ |= filter_bit(key);
        if (!clean_) dirty_lists_.push_back(static_cast<std::uint32_t>(indexes_.size() - 1));
    }
    if (first_new == indexes_.size()) return;
    for (Id id = 0; id < parent_.size(); ++id) {
        if (!is_root(id)) continue;
        for (Memo::Key member : classes_[id].nodes) {
            const NodeRef node = memo_.node(member);
            OpIndex* index = op_index(op_key(node.op, node.children.size()));
            if (index == nullptr || index < &indexes_[first_new]) continue;
            if (index->classes.empty() || index->classes.back() != id) index->classes.push_back(id);
        }
    }
}

const std::vector<Id>* EGraph::indexed_classes(Symbol op, std::size_t arity) const {
    if (!clean_) fail("Tried to search a dirty e-graph!");
    const OpIndex* index = op_index(op_key(op, arity));
    return index == nullptr ? nullptr : &index->classes;
}

Added EGraph::add_node(Symbol op, std::span<const Id> children) {
    for (Id c : children) check_id(c);
    NodeRef node{op, children};
    if (!children_are_roots(node)) {
        canonicalize_into(node, scratch_);
        node.children = scratch_;
    }
    if (parent_.size() >= std::numeric_limits<Id>::max()) fail("e-graph class ids exhausted");
    const auto id = static_cast<Id>(parent_.size());
    // Start the scattered loads (hash slot, the children's class records) together.
    const std::uint64_t hash = memo_.hash(node);
    const Prefetch prefetch(*this);
    prefetch.slot(hash);
    for (Id c : node.children) Prefetch::address_for_write(&classes_[c]);
    const Memo::Found found = memo_.find_or_insert(node, id, hash);
    if (!found.inserted) {
        const Id stored = memo_.value(found.key);
        return {find(stored), stored};
    }

    parent_.push_back(id);
    flags_.push_back(0);
    EClass& eclass = classes_.emplace_back();
    eclass.nodes.push_back(found.key);
    // The new node is canonical; it needs repair only once a child class is merged away,
    // and then that class's parent list, which holds it, goes to pending.
    for (Id c : memo_.node(found.key).children) classes_[c].parents.push_back({found.key, id});
    if (OpIndex* index = op_index(op_key(op, children.size()))) index->classes.push_back(id);
    if (recording_) origin_.push_back(found.key);
    ++class_count_;
    clean_ = false;
    return {id, id};
}

void EGraph::add_batch(std::span<const Symbol> ops, std::span<const std::uint32_t> first,
                       std::span<const std::uint32_t> children, std::span<Id> ids) {
    const std::size_t n = ops.size();
    if (first.size() != n + 1 || ids.size() != n || first.front() != 0 ||
        first.back() != children.size()) {
        fail("e-node batch arrays have inconsistent lengths");
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (first[i] > first[i + 1]) fail("e-node batch child offsets decrease");
        for (std::uint32_t k = first[i]; k < first[i + 1]; ++k) {
            if (children[k] >= i) {
                fail("e-node batch node " + std::to_string(i) + " names child " +
                     std::to_string(children[k]) + ", which is not an earlier node");
            }
        }
    }
    const Prefetch prefetch(*this);
    std::vector<Id> kids;
    // The first run reads the whole batch; after a repeated node, a run reads twice what
    // the last one stored (at least kMinRun nodes), so that a repeat wastes little of a
    // pass. A run that stores less than a sixteenth of what it read ends the runs.
    constexpr std::size_t kMinRun = 4096;
    bool in_runs = true;
    std::size_t reach = n;
    for (std::size_t i = 0; i < n;) {
        if (in_runs) {
            const std::size_t read = std::min(reach, n - i);
            const std::size_t added = add_run(ops, first, children, ids, i, i + read);
            i += added;
            if (i == n) break;
            if (added == read) {
                reach = 2 * read;
                continue;
            }
            in_runs = added > 0 && added >= read / 16;
            reach = std::max(kMinRun, 2 * added);
        }
        // Node i repeats an earlier node: it gets that node's class.
        prefetch.batch(ops, first, children, ids, i);
        kids.clear();
        for (std::uint32_t c : children.subspan(first[i], first[i + 1] - first[i]))
            kids.push_back(ids[c]);
        ids[i] = add(ops[i], kids);
        ++i;
    }
}

// While no class is merged, the leading run of batch nodes start .. end that are new
// gets consecutive new classes, with exactly the records, members, user lists and index
// entries that adding them one at a time makes; only the hash-cons slots are filled in
// another order. Returns the number of nodes added.
std::size_t EGraph::add_run(std::span<const Symbol> ops, std::span<const std::uint32_t> first,
                            std::span<const std::uint32_t> children, std::span<Id> ids,
                            std::size_t start, std::size_t end) {
    if (ever_merged_ || parent_.size() + (end - start) >= std::numeric_limits<Id>::max()) return 0;
    const auto next_id = static_cast<Id>(parent_.size());
    const Memo::Run run = memo_.insert_run(ops, first, children, start, end, ids, next_id);
    end = start + run.count;
    const std::size_t size = next_id + run.count;
    const auto class_of = [&](std::uint32_t c) {
        return c < start ? ids[c] : static_cast<Id>(next_id + (c - start));
    };
    parent_.resize(size);
    std::iota(parent_.begin() + next_id, parent_.end(), next_id);
    flags_.resize(size, 0);
    classes_.resize(size);
    if (next_id == 0) {
        // Into an empty e-graph: the user lists longer than their inline room share one
        // block, each cut to the capacity that growing it one user at a time would reach.
        std::vector<std::uint32_t> room(size, 0);
        for (std::uint32_t k = first[start]; k < first[end]; ++k) ++room[class_of(children[k])];
        std::size_t lent = 0;
        for (std::uint32_t& r : room) {
            r = r > 1 ? std::bit_ceil(r) : 0;
            lent += r;
        }
        lent_parents_.assign(lent, ParentRef{});
        lent = 0;
        for (std::size_t id = 0; id < size; ++id) {
            if (room[id] == 0) continue;
            classes_[id].parents.borrow(lent_parents_.data() + lent, room[id]);
            lent += room[id];
        }
    }
    for (std::size_t j = start; j < end; ++j) {
        const auto id = static_cast<Id>(next_id + (j - start));
        const Memo::Key key = run.key(j, first);
        classes_[id].nodes.push_back(key);
        for (std::uint32_t k = first[j]; k < first[j + 1]; ++k)
            classes_[class_of(children[k])].parents.push_back({key, id});
        if (OpIndex* index = op_index(op_key(ops[j], first[j + 1] - first[j])))
            index->classes.push_back(id);
        if (recording_) origin_.push_back(key);
        ids[j] = id;
    }
    class_count_ += run.count;
    if (run.count > 0) clean_ = false;
    return run.count;
}

std::optional<Id> EGraph::lookup(NodeRef node) const {
    std::vector<Id> children;
    children.reserve(node.children.size());
    for (Id c : node.children) children.push_back(find(c));
    const Memo::Key key = memo_.find({node.op, children});
    if (key == Memo::kNoRecord) return std::nullopt;
    return find(memo_.value(key));
}

void EGraph::mark_class(Id root) {
    if ((flags_[root] & kStale) == 0) {
        flags_[root] |= kStale;
        dirty_classes_.push_back(root);
    }
}

bool EGraph::merge(Id a, Id b, const Because& why) {
    if (!unite(a, b)) return false;
    if (recording_) log_step(why.a, why.b, why.reason, why.pairs);
    return true;
}

void EGraph::record_proofs() {
    if (!parent_.empty()) fail("proofs are recorded only from an empty e-graph");
    recording_ = true;
}

void EGraph::log_step(Id a, Id b, Reason reason, std::span<const IdPair> pairs) {
    check_id(a);
    check_id(b);
    proofs_.add(a, b, reason, pairs);
}

NodeRef EGraph::origin(Id id) const {
    if (!recording_) fail("the e-graph records no proofs");
    check_id(id);
    return memo_.node(origin_[id]);
}

std::optional<Id> EGraph::stored_node(NodeRef node) const {
    if (!recording_) fail("the e-graph records no proofs");
    const Memo::Key key = memo_.find(node);
    if (key == Memo::kNoRecord) return std::nullopt;
    return memo_.value(key);
}

ProofLog EGraph::take_proofs() {
    ProofLog log = std::move(proofs_);
    log.cover_ids(parent_.size());
    proofs_ = ProofLog();
    origin_ = std::vector<Memo::Key>();
    proof_pairs_ = std::vector<IdPair>();
    recording_ = false;
    return log;
}

bool EGraph::unite(Id a, Id b) {
    check_id(a);
    check_id(b);
    clean_ = false;
    Id keep = find_mut(a);
    Id gone = find_mut(b);
    if (keep == gone) return false;
    if (classes_[keep].parents.size() < classes_[gone].parents.size()) std::swap(keep, gone);
    parent_[gone] = keep;
    --class_count_;
    ever_merged_ = true;

    EClass& from = classes_[gone];
    EClass& into = classes_[keep];
    pending_.insert(pending_.end(), from.parents.begin(), from.parents.end());
    if (index_filter_ != 0) {
        for (Memo::Key key : from.nodes) {
            const NodeRef node = memo_.node(key);
            OpIndex* index = op_index(op_key(node.op, node.children.size()));
            if (index != nullptr && !index->dirty) {
                index->dirty = true;
                dirty_lists_.push_back(static_cast<std::uint32_t>(index - indexes_.data()));
            }
        }
    }
    into.nodes.append(from.nodes.span());
    into.parents.append(from.parents.span());
    from.nodes.release();
    from.parents.release();
    flags_[gone] &= static_cast<std::uint8_t>(~kStale);
    mark_class(keep);
    return true;
}

// The e-node `other` was added as and the one `entry` holds are one operator over equal
// children: the union rests on each pair of their children.
void EGraph::log_congruence(Id other, const ParentRef& entry) {
    const std::span<const Id> mine = memo_.node(entry.node).children;
    const std::span<const Id> theirs = memo_.node(origin_[other]).children;
    proof_pairs_.clear();
    for (std::size_t k = 0; k < mine.size(); ++k) proof_pairs_.push_back({theirs[k], mine[k]});
    proofs_.add(other, entry.eclass, Reason::of_congruence(), proof_pairs_);
}

// Re-stores an e-node whose children may have changed under its canonical form; a form
// already stored under another class makes the two classes congruent.
void EGraph::repair(const ParentRef& entry, std::size_t& unions) {
    const NodeRef node = memo_.node(entry.node);
    // Unchanged children: the stored entry already belongs to this class.
    if (children_are_roots(node)) return;
    const Symbol op = node.op;
    canonicalize_into(node, scratch_);
    const Memo::Found found = memo_.find_or_insert({op, scratch_}, entry.eclass);
    if (!found.inserted) {
        const Id previous = memo_.value(found.key);
        memo_.set_value(found.key, entry.eclass);
        if (unite(previous, entry.eclass)) {
            ++unions;
            if (recording_) log_congruence(previous, entry);
        }
    }
    mark_class(find_mut(entry.eclass));
}

// The queue holds one entry per merged child, so a wide e-node (a join of many inputs)
// can be queued once per merge among its children. Wide e-nodes are therefore deferred,
// each queued once, and repaired only when no narrow work is left: by then the merges
// below them have happened, and one repair covers them all.
std::size_t EGraph::rebuild(Deadline* deadline) {
    std::size_t unions = 0;
    for (;;) {
        if (deadline != nullptr && deadline->step()) return unions;
        if (pending_.empty()) {
            if (deferred_.empty()) break;
            const ParentRef entry = deferred_.back();
            deferred_.pop_back();
            flags_[entry.eclass] &= static_cast<std::uint8_t>(~kDeferred);
            repair(entry, unions);
            continue;
        }
        Prefetch(*this).repairs(pending_);
        const ParentRef entry = pending_.back();
        pending_.pop_back();
        if (memo_.node(entry.node).children.size() > kNarrowArity) {
            if ((flags_[entry.eclass] & kDeferred) == 0) {
                flags_[entry.eclass] |= kDeferred;
                deferred_.push_back(entry);
            }
            continue;
        }
        repair(entry, unions);
    }

    // Clean-up of the classes whose members may be stale: canonical, sorted, no duplicates.
    removed_ = 0;
    while (!dirty_classes_.empty()) {
        if (deadline != nullptr && deadline->step()) return unions;
        const Id root = find_mut(dirty_classes_.back());
        dirty_classes_.pop_back();
        if ((flags_[root] & kStale) == 0) continue;
        flags_[root] &= static_cast<std::uint8_t>(~kStale);
        clean_class(classes_[root]);
    }
    for (std::uint32_t list : dirty_lists_) {
        clean_op_index(indexes_[list]);
        indexes_[list].dirty = false;
    }
    dirty_lists_.clear();
    clean_ = true;
    return unions;
}

void EGraph::clean_class(EClass& eclass) {
    for (Memo::Key& key : eclass.nodes) {
        const NodeRef node = memo_.node(key);
        if (children_are_roots(node)) continue;
        const Symbol op = node.op;
        canonicalize_into(node, scratch_);
        const Memo::Key canonical = memo_.find({op, scratch_});
        if (canonical == Memo::kNoRecord)
            fail("e-graph rebuild found no canonical form of a member");
        key = canonical;
    }
    if (eclass.nodes.size() < 2) return;
    std::sort(eclass.nodes.begin(), eclass.nodes.end(),
              [&](Memo::Key a, Memo::Key b) { return memo_.node(a) < memo_.node(b); });
    const auto end = std::unique(eclass.nodes.begin(), eclass.nodes.end());
    const auto kept = static_cast<std::size_t>(end - eclass.nodes.begin());
    removed_ += eclass.nodes.size() - kept;
    eclass.nodes.truncate(kept);
}

void EGraph::clean_op_index(OpIndex& index) {
    bool changed = false;
    for (Id& id : index.classes) {
        const Id root = find_mut(id);
        changed |= root != id;
        id = root;
    }
    if (!changed) return;
    std::vector<Id>& classes = index.classes;
    if (classes.size() * 32 < parent_.size()) {
        std::sort(classes.begin(), classes.end());
        classes.erase(std::unique(classes.begin(), classes.end()), classes.end());
        return;
    }
    // A long list: mark the roots in a bitmap over the ids and read it back in order,
    // linear where sorting is not.
    id_bits_.assign((parent_.size() + 63) / 64, 0);
    for (Id id : classes) id_bits_[id >> 6] |= std::uint64_t{1} << (id & 63);
    classes.clear();
    for (std::size_t w = 0; w < id_bits_.size(); ++w) {
        for (std::uint64_t word = id_bits_[w]; word != 0; word &= word - 1) {
            classes.push_back(
                static_cast<Id>(w * 64 + static_cast<std::size_t>(std::countr_zero(word))));
        }
    }
}

const EClass& EGraph::eclass(Id root) const {
    check_id(root);
    if (!is_root(root)) fail("e-class id " + std::to_string(root) + " is not a root");
    return classes_[root];
}

std::vector<ENode> EGraph::class_nodes(Id root) const {
    std::vector<ENode> out;
    for (Memo::Key key : eclass(root).nodes) out.emplace_back(memo_.node(key));
    return out;
}

std::vector<Id> EGraph::class_ids() const {
    std::vector<Id> out;
    out.reserve(class_count_);
    for (Id id = 0; id < parent_.size(); ++id) {
        if (is_root(id)) out.push_back(id);
    }
    return out;
}

}  // namespace corvane::eqsat
