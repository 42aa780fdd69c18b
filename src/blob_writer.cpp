// The blob writer. One encoding routine runs over two sinks: a sizer that sums the byte
// count and checks the u32 fields, then a writer that fills a buffer of exactly that
// size. Sharing the routine keeps the two passes in agreement by construction. It reads
// either a list of keys or a store's dense table, in place, through one interface.
#include <bit>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "blob.hpp"
#include "blob_format.hpp"
#include "fault.hpp"
#include "table_view.hpp"

namespace corvane {

namespace {

using blob_format::kMaxCount;
using blob_format::store_le;

// Sums sizes. Every value headed for a u32 field is OR-ed into one word, so a single
// compare at the end tells whether any of them reached 2^32.
class Sizer {
public:
    void u8(std::uint8_t) noexcept { size_ += 1; }
    void u32(std::uint64_t v) noexcept {
        size_ += 4;
        u32_fields_ |= v;
    }
    void u64(std::uint64_t) noexcept { size_ += 8; }
    void bytes(const void*, std::size_t n) noexcept { size_ += n; }
    void u64s(std::span<const std::uint64_t> v) noexcept { size_ += 8 * v.size(); }

    bool fits() const noexcept { return u32_fields_ <= kMaxCount; }
    std::size_t size() const noexcept { return size_; }

private:
    std::size_t size_ = 0;
    std::uint64_t u32_fields_ = 0;
};

// Writes into a buffer already sized by the Sizer.
class Writer {
public:
    explicit Writer(std::uint8_t* out) noexcept : p_(out) {}

    void u8(std::uint8_t v) noexcept { *p_++ = v; }
    void u32(std::uint64_t v) noexcept {
        store_le(p_, static_cast<std::uint32_t>(v));
        p_ += 4;
    }
    void u64(std::uint64_t v) noexcept {
        store_le(p_, v);
        p_ += 8;
    }
    void bytes(const void* data, std::size_t n) noexcept {
        if (n != 0) std::memcpy(p_, data, n);
        p_ += n;
    }
    void u64s(std::span<const std::uint64_t> v) noexcept {
        if constexpr (blob_format::kLittleEndianHost) {
            bytes(v.data(), v.size() * 8);
        } else {
            for (std::uint64_t x : v) u64(x);
        }
    }

    const std::uint8_t* position() const noexcept { return p_; }

private:
    std::uint8_t* p_;
};

template <class Sink>
void put_string(Sink& s, std::string_view str) {
    s.u32(str.size());
    s.bytes(str.data(), str.size());
}

template <class Sink>
void put_ids(Sink& s, std::span<const NodeId> ids) {
    s.u32(ids.size());
    s.u64s(ids);
}

// A parameter: key, tag, value. A Float is written with its stored bits, NaN payload and
// sign of zero included (never the canonical pattern used for comparison). One overload
// per storage, so that neither builds the other's form.
template <class Sink>
void put_entry(Sink& s, const ParamEntryView& e) {
    put_string(s, e.key());
    s.u8(static_cast<std::uint8_t>(e.kind));
    switch (e.kind) {
        case ParamValue::Kind::Int:
        case ParamValue::Kind::Float: s.u64(e.bits); break;
        case ParamValue::Kind::Bool: s.u8(e.bits != 0 ? 1 : 0); break;
        case ParamValue::Kind::Str: put_string(s, e.text()); break;
    }
}

template <class Sink>
void put_entry(Sink& s, const ParamMap::Entry& entry) {
    const auto& [key, value] = entry;
    put_string(s, key);
    s.u8(static_cast<std::uint8_t>(value.kind()));
    switch (value.kind()) {
        case ParamValue::Kind::Int: s.u64(static_cast<std::uint64_t>(value.as_int())); break;
        case ParamValue::Kind::Float: s.u64(std::bit_cast<std::uint64_t>(value.as_float())); break;
        case ParamValue::Kind::Bool: s.u8(value.as_bool() ? 1 : 0); break;
        case ParamValue::Kind::Str: put_string(s, value.as_str()); break;
    }
}

template <class Sink>
void put_map(Sink& s, const ParamMap& params) {
    s.u32(params.size());
    for (const auto& entry : params) put_entry(s, entry);
}

// The writer's two sources of nodes, read through one interface: kind(), name(),
// param_count() and each_param() (each entry in its own storage's form), inputs(),
// descriptor() and members (each as a view). The record layout is written once, in put_node, for both.
// A key's alternative T, read in place; the kind is known at compile time, so put_node
// keeps only T's branch.
template <class T>
class KeyNode {
public:
    explicit KeyNode(const T& n) noexcept : n_(n) {}

    static constexpr NodeKey::Kind kind() noexcept {
        if constexpr (std::is_same_v<T, node::Source>) return NodeKey::Kind::Source;
        else if constexpr (std::is_same_v<T, node::Op>) return NodeKey::Kind::Op;
        else if constexpr (std::is_same_v<T, node::Reduction>) return NodeKey::Kind::Reduction;
        else if constexpr (std::is_same_v<T, node::External>) return NodeKey::Kind::External;
        else if constexpr (std::is_same_v<T, node::Stage>) return NodeKey::Kind::Stage;
        else if constexpr (std::is_same_v<T, node::Exchange>) return NodeKey::Kind::Exchange;
        else return NodeKey::Kind::Join;
    }
    std::string_view name() const noexcept {
        if constexpr (requires { n_.name; }) return n_.name;
        else return {};
    }
    std::size_t param_count() const noexcept {
        if constexpr (requires { n_.params; }) return n_.params.size();
        else return 0;
    }
    template <class Fn>
    void each_param(Fn&& fn) const {
        if constexpr (requires { n_.params; }) {
            for (const auto& entry : n_.params) fn(entry);
        }
    }
    std::span<const NodeId> inputs() const noexcept {
        if constexpr (requires { n_.inputs; }) return n_.inputs;
        else return {};
    }
    DescriptorView descriptor() const noexcept {
        if constexpr (std::is_same_v<T, node::External>) {
            const PayloadDescriptor& d = n_.descriptor.get();
            return DescriptorView{d.kind, d.content_hash, d.framework, d.version, d.io_schema,
                                  d.preprocessing_ref ? std::string_view(*d.preprocessing_ref) : std::string_view(),
                                  d.preprocessing_ref.has_value()};
        } else {
            return {};
        }
    }
    std::size_t member_count() const noexcept {
        if constexpr (std::is_same_v<T, node::Stage>) return n_.members.size();
        else return 0;
    }
    MemberView member(std::size_t m) const noexcept {
        if constexpr (std::is_same_v<T, node::Stage>) return MemberView{n_.members[m].op_token, n_.members[m].inputs};
        else return {};
    }

private:
    const T& n_;
};

class TableNode {
public:
    TableNode(const NodeTable& table, std::size_t i) noexcept : table_(table), i_(i) {}

    NodeKey::Kind kind() const noexcept { return table_.kind(i_); }
    std::string_view name() const noexcept { return table_.name(i_); }
    std::size_t param_count() const noexcept { return table_.params(i_).size(); }
    template <class Fn>
    void each_param(Fn&& fn) const {
        for (const ParamSlot& slot : table_.params(i_)) fn(table_.entry(slot));
    }
    std::span<const NodeId> inputs() const noexcept { return table_.inputs(i_); }
    DescriptorView descriptor() const noexcept { return table_descriptor(table_, i_); }
    std::size_t member_count() const noexcept { return table_.members(i_).size(); }
    MemberView member(std::size_t m) const noexcept {
        const std::span<const MemberSlot> members = table_.members(i_);
        return MemberView{table_.text(members[m].token), table_.operands(members, m)};
    }

private:
    const NodeTable& table_;
    std::size_t i_;
};

template <class Sink, class Node>
void put_params_of(Sink& s, const Node& n) {
    s.u32(n.param_count());
    n.each_param([&s](const auto& entry) { put_entry(s, entry); });
}

template <class Sink, class Node>
void put_node(Sink& s, const Node& n) {
    s.u8(static_cast<std::uint8_t>(n.kind()));
    switch (n.kind()) {
        case NodeKey::Kind::Source:
            put_string(s, n.name());
            put_params_of(s, n);
            break;
        case NodeKey::Kind::Op:
        case NodeKey::Kind::Reduction:
            put_string(s, n.name());
            put_params_of(s, n);
            put_ids(s, n.inputs());
            break;
        case NodeKey::Kind::External: {
            const DescriptorView d = n.descriptor();
            for (std::string_view field : {d.kind, d.content_hash, d.framework, d.version, d.io_schema}) {
                put_string(s, field);
            }
            s.u8(d.has_ref ? 1 : 0);
            if (d.has_ref) put_string(s, d.preprocessing_ref);
            put_params_of(s, n);
            put_ids(s, n.inputs());
            break;
        }
        case NodeKey::Kind::Stage: {
            put_ids(s, n.inputs());
            const std::size_t members = n.member_count();
            s.u32(members);
            for (std::size_t m = 0; m < members; ++m) {
                const MemberView member = n.member(m);
                put_string(s, member.token);
                s.u32(member.operands.size());
                for (const StageRef& ref : member.operands) {
                    s.u8(ref.kind == StageRef::Kind::Member ? 1 : 0);
                    s.u32(ref.index);
                }
            }
            break;
        }
        case NodeKey::Kind::Exchange:
        case NodeKey::Kind::Join:
            put_params_of(s, n);
            put_ids(s, n.inputs());
            break;
    }
}

template <class Sink>
void put_header(Sink& s, std::size_t nodes) {
    s.bytes(blob_format::kMagic.data(), blob_format::kMagic.size());
    s.u32(nodes);
}

template <class Sink>
void put_blob(Sink& s, std::span<const NodeKey> arena, std::span<const NodeId> outputs) {
    put_header(s, arena.size());
    for (const NodeKey& key : arena) {
        std::visit([&s](const auto& n) { put_node(s, KeyNode(n)); }, key.variant());
    }
    put_ids(s, outputs);
}

template <class Sink>
void put_blob(Sink& s, const NodeTable& table, std::span<const NodeId> outputs) {
    put_header(s, table.size());
    for (std::size_t i = 0; i < table.size(); ++i) put_node(s, TableNode(table, i));
    put_ids(s, outputs);
}

// Sizes the blob of `nodes` (a key arena or a table), then writes it into a buffer of
// exactly that size.
template <class Nodes>
std::expected<std::vector<std::uint8_t>, BlobTooLarge> write_sized(const Nodes& nodes,
                                                                   std::span<const NodeId> outputs) {
    Sizer sizer;
    put_blob(sizer, nodes, outputs);
    if (!sizer.fits()) return std::unexpected(BlobTooLarge{});
    std::vector<std::uint8_t> out(sizer.size());
    Writer writer(out.data());
    put_blob(writer, nodes, outputs);
    fault_unless(writer.position() == out.data() + out.size(), "blob writer and sizer disagree");
    return out;
}

}  // namespace

std::expected<void, BlobTooLarge> put_params(std::vector<std::uint8_t>& out, const ParamMap& params) {
    Sizer sizer;
    put_map(sizer, params);
    if (!sizer.fits()) return std::unexpected(BlobTooLarge{});
    const std::size_t start = out.size();
    out.resize(start + sizer.size());
    Writer writer(out.data() + start);
    put_map(writer, params);
    fault_unless(writer.position() == out.data() + out.size(), "blob writer and sizer disagree");
    return {};
}

std::expected<BlobPlan, BlobTooLarge> plan_blob(std::span<const NodeKey> arena,
                                                std::span<const NodeId> outputs) {
    Sizer sizer;
    put_blob(sizer, arena, outputs);
    if (!sizer.fits()) return std::unexpected(BlobTooLarge{});
    return BlobPlan{arena, outputs, sizer.size()};
}

void write_blob(const BlobPlan& plan, std::span<std::uint8_t> out) {
    fault_unless(out.size() == plan.size, "blob buffer does not match its plan");
    Writer writer(out.data());
    put_blob(writer, plan.arena, plan.outputs);
    fault_unless(writer.position() == out.data() + out.size(), "blob writer and sizer disagree");
}

std::expected<std::vector<std::uint8_t>, BlobTooLarge> serialize_nodes(std::span<const NodeKey> arena,
                                                                       std::span<const NodeId> outputs) {
    return write_sized(arena, outputs);
}

// The dense table is copied under the store's lock and written after it is released;
// no key is built.
std::expected<std::vector<std::uint8_t>, BlobTooLarge> serialize_with(const GraphStore& store,
                                                                      std::span<const NodeId> outputs) {
    const GraphStore::TableSnapshot snap = store.table_snapshot();
    return write_sized(snap.nodes, outputs);
}

std::expected<std::vector<std::uint8_t>, BlobTooLarge> serialize_marked(const GraphStore& store) {
    const GraphStore::TableSnapshot snap = store.table_snapshot();
    return write_sized(snap.nodes, snap.outputs);
}

}  // namespace corvane
