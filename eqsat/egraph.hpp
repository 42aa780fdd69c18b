// The e-graph: union-find over 32-bit class ids, a hash-cons of e-nodes, per-class members
// and users, and on request an index from (symbol, arity) to the root classes holding such
// a member. Unions are deferred: rebuild() restores congruence and canonical members,
// repairing a wide e-node once however many of its children were merged, so that its
// work stays near-linear in the user lists of the merged classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "eqsat/deadline.hpp"
#include "eqsat/enode.hpp"
#include "eqsat/memo.hpp"
#include "eqsat/proof.hpp"
#include "eqsat/small_vec.hpp"

namespace corvane::eqsat {

// An e-node that has a class as a child: its hash-cons key (the node as it was added)
// and the class it was added to.
struct ParentRef {
    Memo::Key node;
    Id eclass;
};

// An operator with its arity: the root of a pattern.
struct OpKey {
    Symbol op;
    std::size_t arity = 0;
};

// One class record per root, indexed by its id; 32 bytes, no heap block for a class with
// at most two members and one user.
struct EClass {
    SmallVec<Memo::Key, 2> nodes;    // members, as hash-cons keys
    SmallVec<ParentRef, 1> parents;  // every e-node using this class, with its class
};

// Why a merge holds, for an e-graph that records proofs: the e-nodes (by the ids they
// were added under) that the reason makes equal, and the pairs of ids it relies on.
struct Because {
    Id a;
    Id b;
    Reason reason;
    std::span<const IdPair> pairs;
};

// What add() found or made: the class, and the id the stored e-node was added under.
struct Added {
    Id eclass;
    Id node;
};

class EGraph {
public:
    EGraph() = default;

    // Prepares room for about `nodes` e-nodes with `children` child ids in total.
    void reserve(std::size_t nodes, std::size_t children);

    // Adds an e-node (children are canonicalised first) and returns its class: the
    // existing class when the hash-cons already holds it, else a new one.
    Id add(Symbol op, std::span<const Id> children) { return add_node(op, children).eclass; }
    Id add(NodeRef node) { return add(node.op, node.children); }
    Id add(const ENode& node) { return add(node.op, node.children); }
    Added add_node(Symbol op, std::span<const Id> children);
    // Adds a flat batch of e-nodes in order, as add() one at a time would: node i has the
    // symbol ops[i] and, as children, the classes of the earlier batch nodes listed in
    // children[first[i] .. first[i+1]); ids[i] receives its class. Faults, adding nothing,
    // when the offsets do not ascend from 0 to children.size() or a node names a child
    // that is not before it.
    void add_batch(std::span<const Symbol> ops, std::span<const std::uint32_t> first,
                   std::span<const std::uint32_t> children, std::span<Id> ids);
    // The class of an e-node if present (children canonicalised first).
    std::optional<Id> lookup(NodeRef node) const;

    // The root of `id`'s class; does not modify the union-find.
    Id find(Id id) const;
    // Merges the classes of `a` and `b`; false when they already were one class. The
    // root with more parent entries stays root; on a tie, `a`'s root.
    bool merge(Id a, Id b) {
        if (!unite(a, b)) return false;
        if (recording_) log_step(a, b, Reason{}, {});
        return true;
    }
    // The same merge; a union it makes is logged with `why` when proofs are recorded.
    bool merge(Id a, Id b, const Because& why);
    // Restores congruence and the class invariants; returns the number of unions made.
    // With a deadline, stops at the first step past it: every union made is still sound,
    // the e-graph stays not clean, and a later rebuild finishes the work.
    std::size_t rebuild(Deadline* deadline = nullptr);

    bool clean() const noexcept { return clean_; }
    // Hash-cons entries, stale forms included.
    std::size_t total_size() const noexcept { return memo_.size(); }
    std::size_t number_of_classes() const noexcept { return class_count_; }
    // Ids ever created: every id below this is valid.
    std::size_t id_count() const noexcept { return parent_.size(); }

    const EClass& eclass(Id root) const;
    NodeRef node(Memo::Key key) const noexcept { return memo_.node(key); }
    // Members of a root class as owned e-nodes, in member order.
    std::vector<ENode> class_nodes(Id root) const;
    // Root class ids in ascending order.
    std::vector<Id> class_ids() const;
    // Starts keeping, for each key, the ascending list of root classes that hold a member
    // with that symbol and arity (one pass over the classes; later kept up to date).
    void index_ops(std::span<const OpKey> keys);
    // That list for an indexed key, or null; requires a clean e-graph.
    const std::vector<Id>* indexed_classes(Symbol op, std::size_t arity) const;
    // Members removed as duplicates by the last rebuild.
    std::size_t last_rebuild_removed() const noexcept { return removed_; }

    // Starts logging a proof step for every union; only on an empty e-graph. Until then
    // nothing is kept for proofs. A merge without a reason logs the empty rule name.
    void record_proofs();
    bool records_proofs() const noexcept { return recording_; }
    // The e-node that id was added as, children as they were then; needs recorded proofs.
    NodeRef origin(Id id) const;
    // The id the stored e-node equal to `node` (children taken as given) was added
    // under, if there is one; needs recorded proofs.
    std::optional<Id> stored_node(NodeRef node) const;
    // Hands over the log and stops recording.
    ProofLog take_proofs();

private:
    friend class Prefetch;  // eqsat/prefetch.hpp: loads class records and slots ahead

    struct OpIndex {
        std::uint64_t key;
        std::vector<Id> classes;  // created-in ids; roots, sorted and unique when clean
        bool dirty = false;
    };

    bool unite(Id a, Id b);
    void log_step(Id a, Id b, Reason reason, std::span<const IdPair> pairs);
    void log_congruence(Id other, const ParentRef& entry);
    std::size_t add_run(std::span<const Symbol> ops, std::span<const std::uint32_t> first,
                        std::span<const std::uint32_t> children, std::span<Id> ids,
                        std::size_t start, std::size_t end);
    Id find_mut(Id id);
    bool is_root(Id id) const noexcept { return parent_[id] == id; }
    bool children_are_roots(NodeRef node) const noexcept;
    void canonicalize_into(NodeRef node, std::vector<Id>& out);
    const OpIndex* op_index(std::uint64_t key) const noexcept;
    OpIndex* op_index(std::uint64_t key) noexcept {
        return const_cast<OpIndex*>(static_cast<const EGraph*>(this)->op_index(key));
    }
    void mark_class(Id root);
    void repair(const ParentRef& entry, std::size_t& unions);
    void check_id(Id id) const;
    void clean_class(EClass& eclass);
    void clean_op_index(OpIndex& index);

    std::vector<Id> parent_;
    std::vector<EClass> classes_;          // by id; live exactly for roots
    std::vector<ParentRef> lent_parents_;  // storage of the user lists made in bulk
    std::vector<std::uint8_t> flags_;      // by id: kStale, kDeferred
    std::size_t class_count_ = 0;
    Memo memo_;
    std::vector<ParentRef> pending_;   // e-nodes whose children may have been merged
    std::vector<ParentRef> deferred_;  // wide ones among them, each once
    std::vector<Id> dirty_classes_;
    std::vector<OpIndex> indexes_;    // few: the roots of the rules' patterns
    std::uint64_t index_filter_ = 0;  // one bit per indexed key: most keys miss at once
    std::vector<std::uint32_t> dirty_lists_;
    std::vector<Id> scratch_;
    std::vector<std::uint64_t> id_bits_;
    std::size_t removed_ = 0;
    // Kept only while recording proofs: the log, and each id's e-node as added.
    ProofLog proofs_;
    std::vector<Memo::Key> origin_;
    std::vector<IdPair> proof_pairs_;
    bool recording_ = false;
    bool ever_merged_ = false;  // false: every id is a root
    bool clean_ = true;
};

}  // namespace corvane::eqsat
