// The validating blob reader: one pass over the bytes, each string copied once and each
// record interned once into a store that stays private until it is returned. The first
// problem in reading order is the error. Announced counts are not trusted: a list starts
// with a small reservation and grows as its elements are read, so a rejected blob costs
// a small constant plus the part of it that was valid.
#include <algorithm>
#include <bit>
#include <utility>

#include "blob.hpp"
#include "blob_format.hpp"
#include "fault.hpp"
#include "utf8.hpp"

namespace corvane {

std::string DecodeError::message() const {
    switch (kind) {
        case Kind::BadMagic: return "not a corvane IR blob (bad magic/version)";
        case Kind::Truncated: return "truncated corvane IR blob";
        case Kind::BadTag:
            return "invalid " + std::string(what) + " tag " + std::to_string(value);
        case Kind::BadUtf8: return "invalid utf-8 in corvane IR blob";
        case Kind::NodeRefOutOfRange:
            return "node reference " + std::to_string(value) + " out of range";
    }
    internal_fault("unknown decode error kind");
}

namespace {

using blob_format::load_le;

// The fewest bytes each element can take.
constexpr std::size_t kMinRecord = 9;      // tag + two u32 counts (Source, Stage, Exchange, Join)
constexpr std::size_t kMinParam = 6;       // key length + tag + Bool byte
constexpr std::size_t kMinMember = 8;      // token length + reference count
constexpr std::size_t kRefSize = 5;        // tag + u32 index

// The first reservation for a list announced to hold `count` elements of at least
// `min_size` bytes each: what the remaining bytes could hold, but never more than a small
// constant; longer lists grow geometrically as their elements arrive.
constexpr std::size_t kFirstReservation = 1024;
std::size_t first_reservation(std::size_t count, std::size_t remaining, std::size_t min_size) noexcept {
    return std::min({count, remaining / min_size, kFirstReservation});
}

template <class T>
using Result = std::expected<T, DecodeError>;

// A cursor over the borrowed bytes. Every read checks that its bytes lie before the end
// and advances only after the check.
class Reader {
public:
    Reader(std::span<const std::uint8_t> bytes, std::size_t pos) noexcept
        : data_(bytes.data()), size_(bytes.size()), pos_(pos) {}

    std::size_t remaining() const noexcept { return size_ - pos_; }

    Result<std::uint8_t> u8() noexcept {
        if (remaining() < 1) return std::unexpected(DecodeError::truncated());
        return data_[pos_++];
    }
    Result<std::uint32_t> u32() noexcept { return fixed<std::uint32_t>(); }
    Result<std::uint64_t> u64() noexcept { return fixed<std::uint64_t>(); }

    Result<std::string> string() {
        const auto len = u32();
        if (!len) return std::unexpected(len.error());
        if (remaining() < *len) return std::unexpected(DecodeError::truncated());
        const std::uint8_t* p = data_ + pos_;
        pos_ += *len;
        if (!utf8::valid(p, *len)) return std::unexpected(DecodeError::bad_utf8());
        return std::string(reinterpret_cast<const char*>(p), *len);
    }

    Result<ParamMap> params() {
        const auto count = u32();
        if (!count) return std::unexpected(count.error());
        std::vector<ParamMap::Entry> entries;
        entries.reserve(first_reservation(*count, remaining(), kMinParam));
        for (std::uint32_t i = 0; i < *count; ++i) {
            auto key = string();
            if (!key) return std::unexpected(key.error());
            const auto tag = u8();
            if (!tag) return std::unexpected(tag.error());
            auto value = param_value(*tag);
            if (!value) return std::unexpected(value.error());
            entries.emplace_back(std::move(*key), std::move(*value));
        }
        return ParamMap(std::move(entries));  // sorts entries that arrive out of order
    }

    // An id list whose entries are record positions below resolved.size(); each position
    // is replaced by the store id that record interned to.
    Result<std::vector<NodeId>> inputs(std::span<const NodeId> resolved) {
        const auto count = u32();
        if (!count) return std::unexpected(count.error());
        // The ids that are present are checked in order before a shortfall is reported.
        const std::size_t present = std::min<std::size_t>(*count, remaining() / 8);
        std::vector<NodeId> ids;
        ids.reserve(std::min(present, kFirstReservation));
        const std::uint8_t* p = data_ + pos_;
        for (std::size_t i = 0; i < present; ++i, p += 8) {
            const NodeId id = load_le<NodeId>(p);
            if (id >= resolved.size()) return std::unexpected(DecodeError::node_ref_out_of_range(id));
            ids.push_back(resolved[static_cast<std::size_t>(id)]);
        }
        if (present < *count) return std::unexpected(DecodeError::truncated());
        pos_ += present * 8;
        return ids;
    }

    Result<std::vector<StageOp>> members() {
        const auto count = u32();
        if (!count) return std::unexpected(count.error());
        std::vector<StageOp> members;
        members.reserve(first_reservation(*count, remaining(), kMinMember));
        for (std::uint32_t m = 0; m < *count; ++m) {
            auto token = string();
            if (!token) return std::unexpected(token.error());
            const auto refs = u32();
            if (!refs) return std::unexpected(refs.error());
            StageOp member{std::move(*token), {}};
            member.inputs.reserve(first_reservation(*refs, remaining(), kRefSize));
            for (std::uint32_t r = 0; r < *refs; ++r) {
                const auto tag = u8();
                if (!tag) return std::unexpected(tag.error());
                if (*tag > 1) return std::unexpected(DecodeError::bad_tag("stage-ref", *tag));
                const auto index = u32();
                if (!index) return std::unexpected(index.error());
                if (*tag == 1) {
                    if (*index >= m) return std::unexpected(DecodeError::node_ref_out_of_range(*index));
                    member.inputs.push_back(StageRef::member(*index));
                } else {
                    // Input indexes are not checked against the stage's input list.
                    member.inputs.push_back(StageRef::input(*index));
                }
            }
            members.push_back(std::move(member));
        }
        return members;
    }

private:
    template <class T>
    Result<T> fixed() noexcept {
        if (remaining() < sizeof(T)) return std::unexpected(DecodeError::truncated());
        const T v = load_le<T>(data_ + pos_);
        pos_ += sizeof(T);
        return v;
    }

    Result<ParamValue> param_value(std::uint8_t tag) {
        switch (tag) {
            case 0: {
                const auto v = u64();
                if (!v) return std::unexpected(v.error());
                return ParamValue::of_int(static_cast<std::int64_t>(*v));
            }
            case 1: {
                const auto v = u64();
                if (!v) return std::unexpected(v.error());
                return ParamValue::of_float(std::bit_cast<double>(*v));
            }
            case 2: {
                const auto v = u8();
                if (!v) return std::unexpected(v.error());
                return ParamValue::of_bool(*v != 0);
            }
            case 3: {
                auto v = string();
                if (!v) return std::unexpected(v.error());
                return ParamValue::of_str(std::move(*v));
            }
            default: return std::unexpected(DecodeError::bad_tag("param", tag));
        }
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_;
};

// Reads a name, a parameter map and an input list into T (Op or Reduction).
template <class T>
Result<NodeKey> named_with_inputs(Reader& r, std::span<const NodeId> resolved) {
    auto name = r.string();
    if (!name) return std::unexpected(name.error());
    auto params = r.params();
    if (!params) return std::unexpected(params.error());
    auto inputs = r.inputs(resolved);
    if (!inputs) return std::unexpected(inputs.error());
    return NodeKey(T{std::move(*name), std::move(*params), std::move(*inputs)});
}

// Reads a parameter map and an input list into T (Exchange or Join).
template <class T>
Result<NodeKey> unnamed_with_inputs(Reader& r, std::span<const NodeId> resolved) {
    auto params = r.params();
    if (!params) return std::unexpected(params.error());
    auto inputs = r.inputs(resolved);
    if (!inputs) return std::unexpected(inputs.error());
    return NodeKey(T{std::move(*params), std::move(*inputs)});
}

Result<NodeKey> read_source(Reader& r) {
    auto name = r.string();
    if (!name) return std::unexpected(name.error());
    auto params = r.params();
    if (!params) return std::unexpected(params.error());
    return NodeKey(node::Source{std::move(*name), std::move(*params)});
}

Result<NodeKey> read_external(Reader& r, std::span<const NodeId> resolved) {
    PayloadDescriptor d;
    for (std::string* field : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
        auto s = r.string();
        if (!s) return std::unexpected(s.error());
        *field = std::move(*s);
    }
    const auto present = r.u8();
    if (!present) return std::unexpected(present.error());
    if (*present != 0) {
        auto s = r.string();
        if (!s) return std::unexpected(s.error());
        d.preprocessing_ref = std::move(*s);
    }
    auto params = r.params();
    if (!params) return std::unexpected(params.error());
    auto inputs = r.inputs(resolved);
    if (!inputs) return std::unexpected(inputs.error());
    return NodeKey(node::External{std::move(d), std::move(*params), std::move(*inputs)});
}

Result<NodeKey> read_stage(Reader& r, std::span<const NodeId> resolved) {
    auto inputs = r.inputs(resolved);
    if (!inputs) return std::unexpected(inputs.error());
    auto members = r.members();
    if (!members) return std::unexpected(members.error());
    return NodeKey(node::Stage{std::move(*inputs), std::move(*members)});
}

// One node record; `resolved` holds the store ids of the records before it.
Result<NodeKey> read_node(Reader& r, std::span<const NodeId> resolved) {
    const auto tag = r.u8();
    if (!tag) return std::unexpected(tag.error());
    switch (*tag) {
        case 0: return read_source(r);
        case 1: return named_with_inputs<node::Op>(r, resolved);
        case 2: return named_with_inputs<node::Reduction>(r, resolved);
        case 3: return read_external(r, resolved);
        case 4: return read_stage(r, resolved);
        case 5: return unnamed_with_inputs<node::Exchange>(r, resolved);
        case 6: return unnamed_with_inputs<node::Join>(r, resolved);
        default: return std::unexpected(DecodeError::bad_tag("node", *tag));
    }
}

}  // namespace

std::expected<GraphStore, DecodeError> deserialize(std::span<const std::uint8_t> bytes) {
    const auto& magic = blob_format::kMagic;
    if (bytes.size() < magic.size()) return std::unexpected(DecodeError::truncated());
    if (!std::equal(magic.begin(), magic.end(), bytes.begin())) {
        return std::unexpected(DecodeError::bad_magic());
    }
    Reader r(bytes, magic.size());
    const auto count = r.u32();
    if (!count) return std::unexpected(count.error());

    GraphStore store;
    // resolved[k]: the store id record k interned to. It equals k unless the blob
    // repeats a record, which interns onto the earlier node.
    std::vector<NodeId> resolved;
    // The store grows with the records read; the first reservation is small.
    resolved.reserve(first_reservation(*count, r.remaining(), kMinRecord));
    store.reserve(resolved.capacity());
    for (std::uint32_t k = 0; k < *count; ++k) {
        auto key = read_node(r, resolved);
        if (!key) return std::unexpected(key.error());
        const auto id = store.intern(std::move(*key));
        // Every input was resolved to an id the store already holds.
        fault_unless(id.has_value(), "blob reader resolved an input to a missing node");
        resolved.push_back(*id);
    }

    const auto outputs = r.u32();
    if (!outputs) return std::unexpected(outputs.error());
    std::vector<NodeId> marks;
    marks.reserve(first_reservation(*outputs, r.remaining(), 8));
    for (std::uint32_t i = 0; i < *outputs; ++i) {
        const auto position = r.u64();
        if (!position) return std::unexpected(position.error());
        if (*position >= resolved.size()) {
            return std::unexpected(DecodeError::node_ref_out_of_range(*position));
        }
        marks.push_back(resolved[static_cast<std::size_t>(*position)]);
    }
    // Marked in one pass so a long output list stays linear.
    fault_unless(store.mark_outputs(marks).has_value(), "blob reader resolved an output to a missing node");
    return store;
}

}  // namespace corvane
