// The blob writer. One encoding routine runs over two sinks: a sizer that sums the byte
// count and checks the u32 fields, then a writer that fills a buffer of exactly that
// size. Sharing the routine keeps the two passes in agreement by construction. It reads
// a store's dense table row by row as views.
#include <cstring>
#include <string_view>
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
// sign of zero included (never the canonical pattern used for comparison).
template <class Sink>
void put_entry(Sink& s, const ParamEntryView& e) {
    put_string(s, e.key());
    s.u8(static_cast<std::uint8_t>(e.kind));
    switch (e.kind) {
    case ParamValue::Kind::Int:
    case ParamValue::Kind::Float:
        s.u64(e.bits);
        break;
    case ParamValue::Kind::Bool:
        s.u8(e.bits != 0 ? 1 : 0);
        break;
    case ParamValue::Kind::Str:
        put_string(s, e.text());
        break;
    }
}

// A record: the tag, then the fields the kind has, in the order of kKindTraits.
template <class Sink>
void put_node(Sink& s, const NodeView& n) {
    const KindTraits& t = traits(n.kind);
    s.u8(static_cast<std::uint8_t>(n.kind));
    if (t.name) put_string(s, n.name);
    if (t.descriptor) {
        const DescriptorView& d = *n.descriptor;
        for (std::string_view f : {d.kind, d.content_hash, d.framework, d.version, d.io_schema}) {
            put_string(s, f);
        }
        s.u8(d.has_ref ? 1 : 0);
        if (d.has_ref) put_string(s, d.preprocessing_ref);
    }
    if (t.params) {
        s.u32(n.params.size());
        for (const ParamEntryView& e : n.params) put_entry(s, e);
    }
    if (t.inputs) put_ids(s, n.inputs);
    if (t.members) {
        s.u32(n.members.size());
        for (const MemberView& member : n.members) {
            put_string(s, member.token);
            s.u32(member.operands.size());
            for (const StageRef& ref : member.operands) {
                s.u8(ref.kind == StageRef::Kind::Member ? 1 : 0);
                s.u32(ref.index);
            }
        }
    }
}

template <class Sink>
void put_blob(Sink& s, const NodeTable& table, std::span<const NodeId> outputs,
              ViewScratch& scratch) {
    s.bytes(blob_format::kMagic.data(), blob_format::kMagic.size());
    s.u32(table.size());
    for (std::size_t i = 0; i < table.size(); ++i) put_node(s, table_view(table, i, scratch));
    put_ids(s, outputs);
}

}  // namespace

// Sizes the blob, then writes it into a buffer of exactly that size.
std::expected<std::vector<std::uint8_t>, BlobTooLarge> serialize_table(
    const NodeTable& table, std::span<const NodeId> outputs) {
    ViewScratch scratch;
    Sizer sizer;
    put_blob(sizer, table, outputs, scratch);
    if (!sizer.fits()) return std::unexpected(BlobTooLarge{});
    std::vector<std::uint8_t> out(sizer.size());
    Writer writer(out.data());
    put_blob(writer, table, outputs, scratch);
    fault_unless(writer.position() == out.data() + out.size(), "blob writer and sizer disagree");
    return out;
}

// The dense table is copied under the store's lock and written after it is released;
// no key is built.
std::expected<std::vector<std::uint8_t>, BlobTooLarge> serialize_with(
    const GraphStore& store, std::span<const NodeId> outputs) {
    return serialize_table(store.table_snapshot().nodes, outputs);
}

std::expected<std::vector<std::uint8_t>, BlobTooLarge> serialize_marked(const GraphStore& store) {
    const GraphStore::TableSnapshot snap = store.table_snapshot();
    return serialize_table(snap.nodes, snap.outputs);
}

}  // namespace corvane
