// The blob writer. One encoding routine runs over two sinks: a sizer that sums the byte
// count and checks the u32 fields, then a writer that fills a buffer of exactly that
// size. Sharing the routine keeps the two passes in agreement by construction.
#include <bit>
#include <cstring>
#include <type_traits>
#include <utility>
#include <variant>

#include "blob.hpp"
#include "blob_format.hpp"
#include "fault.hpp"

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
void put_string(Sink& s, const std::string& str) {
    s.u32(str.size());
    s.bytes(str.data(), str.size());
}

template <class Sink>
void put_ids(Sink& s, std::span<const NodeId> ids) {
    s.u32(ids.size());
    s.u64s(ids);
}

template <class Sink>
void put_map(Sink& s, const ParamMap& params) {
    s.u32(params.size());
    for (const auto& [key, value] : params) {
        put_string(s, key);
        s.u8(static_cast<std::uint8_t>(value.kind()));
        switch (value.kind()) {
            case ParamValue::Kind::Int: s.u64(static_cast<std::uint64_t>(value.as_int())); break;
            case ParamValue::Kind::Float:
                // The stored bits, NaN payload and sign of zero included (never the
                // canonical pattern used for comparison).
                s.u64(std::bit_cast<std::uint64_t>(std::get<double>(value.storage())));
                break;
            case ParamValue::Kind::Bool: s.u8(value.as_bool() ? 1 : 0); break;
            case ParamValue::Kind::Str: put_string(s, value.as_str()); break;
        }
    }
}

template <class Sink>
void put_node(Sink& s, const NodeKey& key) {
    s.u8(static_cast<std::uint8_t>(key.kind()));
    std::visit(
        [&s](const auto& n) {
            using T = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<T, node::Source>) {
                put_string(s, n.name);
                put_map(s, n.params);
            } else if constexpr (std::is_same_v<T, node::Op> || std::is_same_v<T, node::Reduction>) {
                put_string(s, n.name);
                put_map(s, n.params);
                put_ids(s, n.inputs);
            } else if constexpr (std::is_same_v<T, node::External>) {
                const PayloadDescriptor& d = n.descriptor;
                put_string(s, d.kind);
                put_string(s, d.content_hash);
                put_string(s, d.framework);
                put_string(s, d.version);
                put_string(s, d.io_schema);
                s.u8(d.preprocessing_ref.has_value() ? 1 : 0);
                if (d.preprocessing_ref) put_string(s, *d.preprocessing_ref);
                put_map(s, n.params);
                put_ids(s, n.inputs);
            } else if constexpr (std::is_same_v<T, node::Stage>) {
                put_ids(s, n.inputs);
                s.u32(n.members.size());
                for (const StageOp& member : n.members) {
                    put_string(s, member.op_token);
                    s.u32(member.inputs.size());
                    for (const StageRef& ref : member.inputs) {
                        s.u8(ref.kind == StageRef::Kind::Member ? 1 : 0);
                        s.u32(ref.index);
                    }
                }
            } else {
                static_assert(std::is_same_v<T, node::Exchange> || std::is_same_v<T, node::Join>);
                put_map(s, n.params);
                put_ids(s, n.inputs);
            }
        },
        key.variant());
}

template <class Sink>
void put_blob(Sink& s, std::span<const NodeKey> arena, std::span<const NodeId> outputs) {
    s.bytes(blob_format::kMagic.data(), blob_format::kMagic.size());
    s.u32(arena.size());
    for (const NodeKey& key : arena) put_node(s, key);
    put_ids(s, outputs);
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
    auto plan = plan_blob(arena, outputs);
    if (!plan) return std::unexpected(plan.error());
    std::vector<std::uint8_t> out(plan->size);
    write_blob(*plan, out);
    return out;
}

std::expected<std::vector<std::uint8_t>, BlobTooLarge> serialize_with(const GraphStore& store,
                                                                      std::span<const NodeId> outputs) {
    const GraphStore::Snapshot snap = store.snapshot();
    return serialize_nodes(snap.arena, outputs);
}

std::expected<std::vector<std::uint8_t>, BlobTooLarge> serialize_marked(const GraphStore& store) {
    const GraphStore::Snapshot snap = store.snapshot();
    return serialize_nodes(snap.arena, snap.outputs);
}

}  // namespace corvane
