// The dense form of a node list, as a store keeps its arena: every distinct string once
// in a string table, all input ids in one flat array, all parameters in one flat array of
// (key id, tag, value) slots, and one fixed-size record per node pointing into them
// (each node's ranges end where the next node's begin). Appending a node allocates
// nothing of its own beyond amortised growth of these arrays, and gives the strong
// guarantee. A NodeKey is built only on demand (key()); readers that need no owning
// key read the fields in place. A table is a plain value: copying it copies a few arrays.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "fault.hpp"
#include "node.hpp"
#include "string_table.hpp"

namespace corvane {

// One parameter: its key's string id, its tag, and its value (Int: the value; Float: the
// double's own bit pattern; Bool: 0 or 1; Str: the string id).
struct ParamSlot {
    std::uint64_t value;
    std::uint32_t key;
    ParamValue::Kind kind;
};

// One member of a Stage: its token's string id and where its operands end.
struct MemberSlot {
    std::uint32_t token;
    std::uint32_t operands_end;
};

// An External node's descriptor, as string ids (preprocessing_ref only when has_ref).
struct DescriptorSlot {
    std::uint32_t kind;
    std::uint32_t content_hash;
    std::uint32_t framework;
    std::uint32_t version;
    std::uint32_t io_schema;
    std::uint32_t preprocessing_ref;
    bool has_ref;
};

class NodeTable {
public:
    explicit NodeTable(const HashSeed& string_seed = HashSeed::random()) noexcept
        : strings_(string_seed) {}

    std::size_t size() const noexcept { return records_.size(); }
    bool empty() const noexcept { return records_.empty(); }

    NodeKey::Kind kind(std::size_t i) const noexcept { return records_[i].kind; }
    std::span<const NodeId> inputs(std::size_t i) const noexcept {
        return {inputs_.data() + begin(i, &Record::inputs_end),
                inputs_.data() + records_[i].inputs_end};
    }
    std::span<const ParamSlot> params(std::size_t i) const noexcept {
        return {params_.data() + begin(i, &Record::params_end),
                params_.data() + records_[i].params_end};
    }
    // The name of a Source, Op or Reduction; empty for every other kind.
    std::string_view name(std::size_t i) const noexcept;
    // The descriptor of an External node (i must be one).
    const DescriptorSlot& descriptor(std::size_t i) const {
        return descriptors_[records_[i].descriptor()];
    }
    // The members of a Stage node (empty for every other kind).
    std::span<const MemberSlot> members(std::size_t i) const noexcept;
    std::span<const StageRef> operands(std::span<const MemberSlot> members,
                                       std::size_t m) const noexcept;

    std::string_view text(std::uint32_t string_id) const noexcept {
        return strings_.text(string_id);
    }
    const StringTable& strings() const noexcept { return strings_; }
    // A slot as a borrowed entry (valid while this table is neither changed nor freed).
    ParamEntryView entry(const ParamSlot& slot) const noexcept;
    ParamValue value(const ParamSlot& slot) const;

    // The owning key of node i, built on demand.
    NodeKey key(std::size_t i) const;
    // The keys of nodes from..size()-1.
    std::vector<NodeKey> keys(std::size_t from = 0) const;

    // Whether node i is the node `view` stands for.
    bool matches(std::size_t i, const NodeView& view) const noexcept;

    // Appends a node (a well-formed view). On failure nothing changes.
    void append(const NodeView& view);
    // Appends row i of `from` with `inputs` in place of its own. This table's strings must
    // be a prefix of `from`'s, id for id (a table whose rows all came from `from` this
    // way); the strings it lacks are copied over first, so the row's slots are copied as
    // they are, with no string looked up. On failure nothing changes.
    void append_row(const NodeTable& from, std::size_t i, std::span<const NodeId> inputs);
    // The id of `text` in this table's strings, added if new: for a writer that resolves
    // a repeated string once and then appends by id (append_stage).
    std::uint32_t intern_text(std::string_view text) { return strings_.intern(text); }
    // Appends a Stage whose member tokens are string ids of this table; member m's
    // operands are operands[members[m-1].operands_end, members[m].operands_end). The same
    // node as append() of the view with those texts. On failure nothing changes.
    void append_stage(std::span<const NodeId> inputs, std::span<const MemberSlot> members,
                      std::span<const StageRef> operands);
    // Makes room for `nodes` nodes in all, `inputs` input ids and `params` parameters.
    void reserve(std::size_t nodes, std::size_t inputs, std::size_t params);
    // Makes room for `stages` Stages with `members` members and `operands` operands in all.
    void reserve_stages(std::size_t stages, std::size_t members, std::size_t operands);

    // The extent of the table at one moment, to take back later what was appended since.
    struct Mark {
        std::size_t records, inputs, params, descriptors, stages, members, operands, strings;
    };
    Mark mark() const noexcept;
    // Removes every node (and string) appended since `mark` was taken. Allocates nothing.
    void rollback(const Mark& mark) noexcept;

private:
    // One node's fixed-size record. Besides its ranges it names the node's one
    // out-of-line part, tagged by its kind: the name's string id (Source, Op,
    // Reduction), the descriptor's index (External) or the stage's index (Stage). Each
    // accessor checks the kind.
    class Record {
    public:
        Record(std::uint64_t inputs_to, std::uint32_t params_to, NodeKey::Kind node_kind,
               std::uint32_t ref) noexcept
            : inputs_end(inputs_to),
              params_end(params_to),
              ref_(ref),
              kind(node_kind) {}

        std::uint32_t name() const { return ref_if(kind_has_name(kind)); }
        std::uint32_t descriptor() const { return ref_if(kind == NodeKey::Kind::External); }
        std::uint32_t stage() const { return ref_if(kind == NodeKey::Kind::Stage); }

        std::uint64_t inputs_end;
        std::uint32_t params_end;

    private:
        std::uint32_t ref_if(bool right_kind) const {
            if (!right_kind) internal_fault("node record read as another kind");
            return ref_;
        }
        std::uint32_t ref_;

    public:
        NodeKey::Kind kind;
    };
    static_assert(sizeof(Record) == 24);

    static constexpr bool kind_has_name(NodeKey::Kind kind) noexcept {
        return kind == NodeKey::Kind::Source || kind == NodeKey::Kind::Op ||
               kind == NodeKey::Kind::Reduction;
    }

    template <class Field>
    std::size_t begin(std::size_t i, Field Record::* field) const noexcept {
        return i == 0 ? 0 : static_cast<std::size_t>(records_[i - 1].*field);
    }
    // Room for one more node with these counts; throws (changing nothing) on failure.
    // A Stage also needs a stage entry, even with no members.
    void make_room(std::size_t inputs, std::size_t params, std::size_t strings, std::size_t bytes,
                   bool stage, std::size_t members, std::size_t operands);
    ParamSlot slot_of(const ParamEntryView& entry);

    StringTable strings_;
    std::vector<Record> records_;
    std::vector<NodeId> inputs_;
    std::vector<ParamSlot> params_;
    std::vector<DescriptorSlot> descriptors_;
    std::vector<std::uint32_t> stage_ends_;  // end of each Stage's members in members_
    std::vector<MemberSlot> members_;
    std::vector<StageRef> operands_;
};

}  // namespace corvane
