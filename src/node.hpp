// The node model: the structural identity of an IR node. A NodeKey is an immutable
// value (kind, name, parameters, payload descriptor, ordered input ids); two nodes are
// one node exactly when their keys are equal. Keys own all their strings and lists.
// Every reader takes a node as a NodeView, which borrows a key's or a table row's fields;
// kKindTraits is the one statement of which fields each kind has, and hash_key the one
// hash of a node.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace corvane {

using NodeId = std::uint64_t;

// The bit pattern a Float is compared, hashed and tokenised by: every NaN becomes
// 0x7ff8000000000000, every other value keeps its own pattern (so 0.0 != -0.0).
inline std::uint64_t canonical_float_bits(double value) noexcept {
    if (value != value) return 0x7ff8000000000000ULL;
    return std::bit_cast<std::uint64_t>(value);
}

// One parameter value. The alternative index is the fixed tag: Int 0, Float 1, Bool 2,
// Str 3.
class ParamValue {
public:
    enum class Kind : std::uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3 };
    using Storage = std::variant<std::int64_t, double, bool, std::string>;

    static ParamValue of_int(std::int64_t v) {
        return ParamValue(Storage(std::in_place_index<0>, v));
    }
    static ParamValue of_float(double v) { return ParamValue(Storage(std::in_place_index<1>, v)); }
    static ParamValue of_bool(bool v) { return ParamValue(Storage(std::in_place_index<2>, v)); }
    static ParamValue of_str(std::string v) {
        return ParamValue(Storage(std::in_place_index<3>, std::move(v)));
    }

    Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }
    std::int64_t as_int() const { return std::get<0>(storage_); }
    double as_float() const { return std::get<1>(storage_); }
    bool as_bool() const { return std::get<2>(storage_); }
    const std::string& as_str() const { return std::get<3>(storage_); }
    const Storage& storage() const noexcept { return storage_; }

    // Same alternative and same value; Floats compare by canonical bit pattern.
    friend bool operator==(const ParamValue& a, const ParamValue& b) noexcept;

private:
    explicit ParamValue(Storage s) : storage_(std::move(s)) {}
    Storage storage_;
};

// (key, value) pairs sorted by key bytes (unsigned, shorter prefix first). The
// constructor sorts stably, so duplicate keys stay adjacent in the order supplied.
class ParamMap {
public:
    using Entry = std::pair<std::string, ParamValue>;

    ParamMap() = default;
    explicit ParamMap(std::vector<Entry> entries);
    // Entries already in map order (as sort_param_views leaves them), taken as they are.
    struct Sorted {};
    ParamMap(Sorted, std::vector<Entry> entries) noexcept : entries_(std::move(entries)) {}

    const std::vector<Entry>& entries() const noexcept { return entries_; }
    bool empty() const noexcept { return entries_.empty(); }
    std::size_t size() const noexcept { return entries_.size(); }
    auto begin() const noexcept { return entries_.begin(); }
    auto end() const noexcept { return entries_.end(); }

    friend bool operator==(const ParamMap&, const ParamMap&) = default;

private:
    std::vector<Entry> entries_;
};

// Reproducibility metadata of an External node; preprocessing_ref absent differs from
// present-and-empty.
struct PayloadDescriptor {
    std::string kind;
    std::string content_hash;
    std::string framework;
    std::string version;
    std::string io_schema;
    std::optional<std::string> preprocessing_ref;

    friend bool operator==(const PayloadDescriptor&, const PayloadDescriptor&) = default;
};

// A value kept on the heap but copied and compared like a plain member: it keeps a large,
// rarely used field from widening every key of the arena. A null box (default-built or
// moved from) reads as a default-constructed T.
template <class T>
class Boxed {
public:
    Boxed() noexcept = default;
    Boxed(T value) : p_(std::make_unique<T>(std::move(value))) {}
    // Aggregate-style construction from T's fields, e.g. {"kind", "hash", ...}.
    template <class... Args>
        requires(sizeof...(Args) > 1)
    Boxed(Args&&... args) : p_(std::make_unique<T>(T{std::forward<Args>(args)...})) {}
    Boxed(const Boxed& other) : p_(other.p_ ? std::make_unique<T>(*other.p_) : nullptr) {}
    Boxed(Boxed&&) noexcept = default;
    Boxed& operator=(const Boxed& other) {
        if (this != &other) p_ = other.p_ ? std::make_unique<T>(*other.p_) : nullptr;
        return *this;
    }
    Boxed& operator=(Boxed&&) noexcept = default;

    const T& get() const noexcept { return p_ ? *p_ : empty(); }
    operator const T&() const noexcept { return get(); }
    const T* operator->() const noexcept { return &get(); }

    friend bool operator==(const Boxed& a, const Boxed& b) { return a.get() == b.get(); }
    friend bool operator==(const Boxed& a, const T& b) { return a.get() == b; }

private:
    static const T& empty() noexcept {
        static const T value{};
        return value;
    }
    std::unique_ptr<T> p_;
};

// Where a stage member's operand comes from: the k-th stage input, or the k-th
// (earlier) member of the same stage.
struct StageRef {
    enum class Kind : std::uint8_t { Input = 0, Member = 1 };
    Kind kind = Kind::Input;
    std::uint64_t index = 0;

    static StageRef input(std::uint64_t k) { return {Kind::Input, k}; }
    static StageRef member(std::uint64_t k) { return {Kind::Member, k}; }
    friend bool operator==(const StageRef&, const StageRef&) = default;
};

// One fused member of a Stage: the token of the Op/Reduction it stands for and its
// operands.
struct StageOp {
    std::string op_token;
    std::vector<StageRef> inputs;

    friend bool operator==(const StageOp&, const StageOp&) = default;
};

namespace node {

struct Source {
    std::string name;
    ParamMap params;
    friend bool operator==(const Source&, const Source&) = default;
};
struct Op {
    std::string name;
    ParamMap params;
    std::vector<NodeId> inputs;
    friend bool operator==(const Op&, const Op&) = default;
};
struct Reduction {
    std::string name;
    ParamMap params;
    std::vector<NodeId> inputs;
    friend bool operator==(const Reduction&, const Reduction&) = default;
};
struct External {
    Boxed<PayloadDescriptor> descriptor;
    ParamMap params;
    std::vector<NodeId> inputs;
    friend bool operator==(const External&, const External&) = default;
};
struct Stage {
    std::vector<NodeId> inputs;
    std::vector<StageOp> members;
    friend bool operator==(const Stage&, const Stage&) = default;
};
struct Exchange {
    ParamMap params;
    std::vector<NodeId> inputs;
    friend bool operator==(const Exchange&, const Exchange&) = default;
};
struct Join {
    ParamMap params;
    std::vector<NodeId> inputs;
    friend bool operator==(const Join&, const Join&) = default;
};

}  // namespace node

// The structural identity of a node. The alternative index is the fixed kind tag
// (Source 0 ... Join 6). Equality compares the alternative first, then the fields in
// declaration order, which is the order the node model defines.
class NodeKey {
public:
    enum class Kind : std::uint8_t {
        Source = 0,
        Op = 1,
        Reduction = 2,
        External = 3,
        Stage = 4,
        Exchange = 5,
        Join = 6
    };
    using Variant = std::variant<node::Source, node::Op, node::Reduction, node::External,
                                 node::Stage, node::Exchange, node::Join>;

    NodeKey(node::Source v) : v_(std::move(v)) {}
    NodeKey(node::Op v) : v_(std::move(v)) {}
    NodeKey(node::Reduction v) : v_(std::move(v)) {}
    NodeKey(node::External v) : v_(std::move(v)) {}
    NodeKey(node::Stage v) : v_(std::move(v)) {}
    NodeKey(node::Exchange v) : v_(std::move(v)) {}
    NodeKey(node::Join v) : v_(std::move(v)) {}

    Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
    bool is_op() const noexcept { return kind() == Kind::Op; }
    const Variant& variant() const noexcept { return v_; }
    template <class T>
    const T& as() const {
        return std::get<T>(v_);
    }
    template <class T>
    const T* get_if() const noexcept {
        return std::get_if<T>(&v_);
    }

    // The node's input ids: empty for a Source; a Stage's outer inputs.
    std::span<const NodeId> inputs() const noexcept;
    // The node's parameters; a Stage has none (empty map).
    const ParamMap& params() const noexcept;

    friend bool operator==(const NodeKey&, const NodeKey&) = default;

private:
    Variant v_;
};

// What each kind carries, in the one order in which equality, hashing and the blob
// compare and write a node's fields: name, descriptor, parameters, inputs, members.
// The token head, the label caption and the Python surface's word are the kind's texts.
struct KindTraits {
    std::string_view head;     // token: "src", "op", ...
    std::string_view caption;  // label: "Source", "Op", ...
    std::string_view word;     // the Python surface's kind: "source", "op", ...
    bool name;                 // Source, Op and Reduction
    bool descriptor;           // External
    bool params;               // every kind but Stage
    bool inputs;               // every kind but Source
    bool members;              // Stage
};

inline constexpr std::array<KindTraits, 7> kKindTraits{{
    {"src", "Source", "source", true, false, true, false, false},
    {"op", "Op", "op", true, false, true, true, false},
    {"red", "Reduction", "reduction", true, false, true, true, false},
    {"ext", "External", "external", false, true, true, true, false},
    {"stage", "Stage", "stage", false, false, false, true, true},
    {"exch", "Exchange", "exchange", false, false, true, true, false},
    {"join", "Join", "join", false, false, true, true, false},
}};

constexpr const KindTraits& traits(NodeKey::Kind kind) noexcept {
    return kKindTraits[static_cast<std::size_t>(kind)];
}

// One parameter borrowed from storage the caller keeps alive while the view is used.
// Trivially constructible, so buffers of them need no initialisation.
struct ParamEntryView {
    const char* key_data;
    std::size_t key_size;
    ParamValue::Kind kind;
    std::uint64_t bits;     // Int: the value; Float: the double's own bit pattern; Bool: 0 or 1
    const char* text_data;  // Str: the value
    std::size_t text_size;

    std::string_view key() const noexcept { return {key_data, key_size}; }
    std::string_view text() const noexcept { return {text_data, text_size}; }
    // Borrows the key and value of a map entry.
    static ParamEntryView of(const ParamMap::Entry& entry) noexcept;
    // An owning copy of the value.
    ParamValue value() const;
};

// Orders entries as ParamMap does: stably by key bytes.
void sort_param_views(std::span<ParamEntryView> entries) noexcept;

// An External node's descriptor, borrowed.
struct DescriptorView {
    std::string_view kind;
    std::string_view content_hash;
    std::string_view framework;
    std::string_view version;
    std::string_view io_schema;
    std::string_view preprocessing_ref;  // meaningful only when has_ref
    bool has_ref = false;
};

// Borrows an owned descriptor.
DescriptorView descriptor_view(const PayloadDescriptor& d) noexcept;

// One Stage member, borrowed.
struct MemberView {
    std::string_view token;
    std::span<const StageRef> operands;
};

// A node of any kind whose strings and lists are borrowed: the one form in which every
// reader takes a node (hashing, comparing with a table row, tokens and symbols, labels,
// the blob writer, the reduction's read). Keys and table rows both produce views. Two
// views hash alike when the nodes they stand for are equal.
struct NodeView {
    NodeKey::Kind kind = NodeKey::Kind::Op;
    std::string_view name;                       // Source, Op and Reduction only
    std::span<const ParamEntryView> params;      // in ParamMap order (see sort_param_views)
    std::span<const NodeId> inputs;              // empty for a Source
    const DescriptorView* descriptor = nullptr;  // External only (then required)
    std::span<const MemberView> members;         // Stage only

    // Its fields fit its kind (each field is empty or absent where kKindTraits says the
    // kind has none, and an External has a descriptor), and its entries are in map order.
    bool is_well_formed() const noexcept;
};

// The buffers a view borrows its parameters, descriptor and members from when the node's
// own storage does not hold them in view form. One scratch serves a whole scan (its
// buffers only grow); a view stays valid while neither its node nor the scratch changes.
struct ViewScratch {
    std::vector<ParamEntryView> params;
    std::vector<MemberView> members;
    DescriptorView descriptor;

    // Room for n entries or members at the front of the buffer.
    ParamEntryView* params_room(std::size_t n) {
        if (params.size() < n) params.resize(n);
        return params.data();
    }
    MemberView* members_room(std::size_t n) {
        if (members.size() < n) members.resize(n);
        return members.data();
    }
};

// `key` as a view, borrowing the key and `scratch`.
NodeView view_of(const NodeKey& key, ViewScratch& scratch);
// The owning key a well-formed view stands for: the one place a key is built from
// borrowed fields (parameters in the view's order, Float bits as they are).
NodeKey key_of(const NodeView& view);

// Seed of a key hash, drawn from the process's random seed; each hashing table gets its
// own.
struct HashSeed {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
    static HashSeed random();
};

// Hash of a byte string, keyed by `seed` (the process's one text hash, eqsat::hash_text).
std::uint64_t hash_string(std::string_view text, const HashSeed& seed) noexcept;

// Hash of the node `view` stands for, consistent with node equality, keyed by `seed`.
std::uint64_t hash_key(const NodeView& view, const HashSeed& seed) noexcept;

}  // namespace corvane
