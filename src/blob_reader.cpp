// The validating blob reader: one pass over the bytes. Each record is decoded into a
// view whose strings borrow the bytes, and interned into a hash-consing table that the
// reader builds privately and the store adopts at the end, so no record builds an owning key
// or takes a lock. The first problem in reading order is the error. Announced counts are
// not trusted: a list starts with a small reservation and grows as its elements are
// read, so a rejected blob costs a small constant plus the part of it that was valid.
#include <algorithm>
#include <string_view>
#include <vector>

#include "blob.hpp"
#include "blob_format.hpp"
#include "fault.hpp"
#include "hash_cons_table.hpp"
#include "utf8.hpp"

namespace corvane {

std::string DecodeError::message() const {
    switch (kind) {
    case Kind::BadMagic:
        return "not a corvane IR blob (bad magic/version)";
    case Kind::Truncated:
        return "truncated corvane IR blob";
    case Kind::BadTag:
        return "invalid " + std::string(what) + " tag " + std::to_string(value);
    case Kind::BadUtf8:
        return "invalid utf-8 in corvane IR blob";
    case Kind::NodeRefOutOfRange:
        return "node reference " + std::to_string(value) + " out of range";
    }
    internal_fault("unknown decode error kind");
}

namespace {

using blob_format::load_le;

// The fewest bytes each element can take.
constexpr std::size_t kMinRecord = 9;  // tag + two u32 counts (Source, Stage, Exchange, Join)
constexpr std::size_t kMinParam = 6;   // key length + tag + Bool byte
constexpr std::size_t kMinMember = 8;  // token length + reference count

// The first reservation for a list announced to hold `count` elements of at least
// `min_size` bytes each: what the remaining bytes could hold, but never more than a small
// constant; longer lists grow geometrically as their elements arrive.
constexpr std::size_t kFirstReservation = 1024;
std::size_t first_reservation(std::size_t count, std::size_t remaining,
                              std::size_t min_size) noexcept {
    return std::min({count, remaining / min_size, kFirstReservation});
}

template <class T>
using Result = std::expected<T, DecodeError>;

// Most strings are short ASCII names and keys: those pass with one word test, read from
// p when 8 bytes lie before `end` (the bytes past the string are masked off).
inline bool short_ascii(const std::uint8_t* p, std::size_t n, const std::uint8_t* end) noexcept {
    if (n > 8) return false;
    if (end - p >= 8) {
        const std::uint64_t bytes = load_le<std::uint64_t>(p);
        const std::uint64_t mask = n == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * n)) - 1;
        return (bytes & mask & 0x8080808080808080ULL) == 0;
    }
    std::uint8_t any = 0;
    for (std::size_t i = 0; i < n; ++i) any |= p[i];
    return any < 0x80;
}

// A cursor over the borrowed bytes. Every read checks that its bytes lie before the end
// and advances only after the check. Strings are returned as views of the bytes.
class Reader {
public:
    Reader(std::span<const std::uint8_t> bytes, std::size_t pos) noexcept
        : data_(bytes.data()),
          size_(bytes.size()),
          pos_(pos) {}

    std::size_t remaining() const noexcept { return size_ - pos_; }

    Result<std::uint8_t> u8() noexcept {
        if (remaining() < 1) return std::unexpected(DecodeError::truncated());
        return data_[pos_++];
    }
    Result<std::uint32_t> u32() noexcept { return fixed<std::uint32_t>(); }
    Result<std::uint64_t> u64() noexcept { return fixed<std::uint64_t>(); }

    Result<std::string_view> string() noexcept {
        const auto len = u32();
        if (!len) return std::unexpected(len.error());
        if (remaining() < *len) return std::unexpected(DecodeError::truncated());
        const std::uint8_t* p = data_ + pos_;
        pos_ += *len;
        if (!short_ascii(p, *len, data_ + size_) && !utf8::valid(p, *len))
            return std::unexpected(DecodeError::bad_utf8());
        return std::string_view(reinterpret_cast<const char*>(p), *len);
    }

    // A parameter map into `out`, in map order (entries that arrive out of order are
    // sorted stably, as the map itself would sort them).
    Result<void> params(std::vector<ParamEntryView>& out) {
        out.clear();
        const auto count = u32();
        if (!count) return std::unexpected(count.error());
        out.reserve(first_reservation(*count, remaining(), kMinParam));
        for (std::uint32_t i = 0; i < *count; ++i) {
            const auto key = string();
            if (!key) return std::unexpected(key.error());
            const auto tag = u8();
            if (!tag) return std::unexpected(tag.error());
            ParamEntryView entry{key->data(), key->size(), ParamValue::Kind::Int, 0, nullptr, 0};
            switch (*tag) {
            case 0:
            case 1: {
                const auto v = u64();
                if (!v) return std::unexpected(v.error());
                entry.kind = *tag == 0 ? ParamValue::Kind::Int : ParamValue::Kind::Float;
                entry.bits = *v;  // a Float keeps its own bit pattern
                break;
            }
            case 2: {
                const auto v = u8();
                if (!v) return std::unexpected(v.error());
                entry.kind = ParamValue::Kind::Bool;
                entry.bits = *v != 0 ? 1 : 0;
                break;
            }
            case 3: {
                const auto v = string();
                if (!v) return std::unexpected(v.error());
                entry.kind = ParamValue::Kind::Str;
                entry.text_data = v->data();
                entry.text_size = v->size();
                break;
            }
            default:
                return std::unexpected(DecodeError::bad_tag("param", *tag));
            }
            out.push_back(entry);
        }
        if (out.size() > 1) sort_param_views(out);
        return {};
    }

    // An id list into `out`, whose entries are record positions below resolved.size();
    // each position is replaced by the store id that record interned to.
    Result<void> inputs(std::span<const NodeId> resolved, std::vector<NodeId>& out) {
        out.clear();
        const auto count = u32();
        if (!count) return std::unexpected(count.error());
        // The ids that are present are checked in order before a shortfall is reported.
        const std::size_t present = std::min<std::size_t>(*count, remaining() / 8);
        out.reserve(std::min(present, kFirstReservation));
        const std::uint8_t* p = data_ + pos_;
        for (std::size_t i = 0; i < present; ++i, p += 8) {
            const NodeId id = load_le<NodeId>(p);
            if (id >= resolved.size())
                return std::unexpected(DecodeError::node_ref_out_of_range(id));
            out.push_back(resolved[static_cast<std::size_t>(id)]);
        }
        if (present < *count) return std::unexpected(DecodeError::truncated());
        pos_ += present * 8;
        return {};
    }

    // A Stage's members into `members`, their operands back to back in `operands`.
    Result<void> members(std::vector<MemberView>& members, std::vector<StageRef>& operands,
                         std::vector<std::size_t>& operand_ends) {
        members.clear();
        operands.clear();
        operand_ends.clear();
        const auto count = u32();
        if (!count) return std::unexpected(count.error());
        members.reserve(first_reservation(*count, remaining(), kMinMember));
        for (std::uint32_t m = 0; m < *count; ++m) {
            const auto token = string();
            if (!token) return std::unexpected(token.error());
            const auto refs = u32();
            if (!refs) return std::unexpected(refs.error());
            for (std::uint32_t r = 0; r < *refs; ++r) {
                const auto tag = u8();
                if (!tag) return std::unexpected(tag.error());
                if (*tag > 1) return std::unexpected(DecodeError::bad_tag("stage-ref", *tag));
                const auto index = u32();
                if (!index) return std::unexpected(index.error());
                if (*tag == 1) {
                    if (*index >= m)
                        return std::unexpected(DecodeError::node_ref_out_of_range(*index));
                    operands.push_back(StageRef::member(*index));
                } else {
                    // Input indexes are not checked against the stage's input list.
                    operands.push_back(StageRef::input(*index));
                }
            }
            members.push_back(MemberView{*token, {}});
            operand_ends.push_back(operands.size());
        }
        // The operand list has stopped moving: point each member at its part of it.
        std::size_t begin = 0;
        for (std::size_t m = 0; m < members.size(); ++m) {
            members[m].operands =
                std::span<const StageRef>(operands).subspan(begin, operand_ends[m] - begin);
            begin = operand_ends[m];
        }
        return {};
    }

private:
    template <class T>
    Result<T> fixed() noexcept {
        if (remaining() < sizeof(T)) return std::unexpected(DecodeError::truncated());
        const T v = load_le<T>(data_ + pos_);
        pos_ += sizeof(T);
        return v;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_;
};

// Decodes records into one reusable view: its strings borrow the blob's bytes, its lists
// live in buffers that are reused from record to record, so a record allocates nothing
// once the buffers have grown to the longest lists seen.
class RecordDecoder {
public:
    // One node record; `resolved` holds the store ids of the records before it. The view
    // stays valid until the next call.
    Result<const NodeView*> read(Reader& r, std::span<const NodeId> resolved) {
        const auto tag = r.u8();
        if (!tag) return std::unexpected(tag.error());
        if (*tag > static_cast<std::uint8_t>(NodeKey::Kind::Join)) {
            return std::unexpected(DecodeError::bad_tag("node", *tag));
        }
        view_ = NodeView{static_cast<NodeKey::Kind>(*tag), {}, {}, {}, nullptr, {}};
        params_.clear();
        const auto done = fields(r, resolved);
        if (!done) return std::unexpected(done.error());
        view_.params = params_;
        view_.inputs = inputs_;
        if (view_.kind == NodeKey::Kind::Stage) view_.members = members_;
        return &view_;
    }

private:
    // The fields after the tag, in record order.
    Result<void> fields(Reader& r, std::span<const NodeId> resolved) {
        inputs_.clear();
        Result<void> head;
        switch (view_.kind) {
        case NodeKey::Kind::Source:
            return named(r);
        case NodeKey::Kind::Op:
        case NodeKey::Kind::Reduction:
            head = named(r);
            break;
        case NodeKey::Kind::External:
            head = external(r);
            break;
        case NodeKey::Kind::Stage: {
            const auto in = r.inputs(resolved, inputs_);
            if (!in) return in;
            return r.members(members_, operands_, operand_ends_);
        }
        case NodeKey::Kind::Exchange:
        case NodeKey::Kind::Join:
            head = r.params(params_);
            break;
        }
        if (!head) return head;
        return r.inputs(resolved, inputs_);
    }

    // A name and a parameter map (Source, Op, Reduction).
    Result<void> named(Reader& r) {
        const auto name = r.string();
        if (!name) return std::unexpected(name.error());
        view_.name = *name;
        return r.params(params_);
    }

    // A descriptor and a parameter map.
    Result<void> external(Reader& r) {
        descriptor_ = DescriptorView{};
        for (std::string_view* field :
             {&descriptor_.kind, &descriptor_.content_hash, &descriptor_.framework,
              &descriptor_.version, &descriptor_.io_schema}) {
            const auto s = r.string();
            if (!s) return std::unexpected(s.error());
            *field = *s;
        }
        const auto present = r.u8();
        if (!present) return std::unexpected(present.error());
        if (*present != 0) {
            const auto s = r.string();
            if (!s) return std::unexpected(s.error());
            descriptor_.preprocessing_ref = *s;
            descriptor_.has_ref = true;
        }
        view_.descriptor = &descriptor_;
        return r.params(params_);
    }

    NodeView view_;
    DescriptorView descriptor_;
    std::vector<ParamEntryView> params_;
    std::vector<NodeId> inputs_;
    std::vector<MemberView> members_;
    std::vector<StageRef> operands_;
    std::vector<std::size_t> operand_ends_;
};

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

    // The table and its index are built here, privately, and handed to the store in one
    // step: a record costs no lock and no check the decoder already made.
    HashConsTable table;
    // resolved[k]: the node id record k interned to. It equals k unless the blob repeats
    // a record, which interns onto the earlier node.
    std::vector<NodeId> resolved;
    // The table grows with the records read; the first reservation is small.
    resolved.reserve(first_reservation(*count, r.remaining(), kMinRecord));
    table.reserve(resolved.capacity());
    RecordDecoder decoder;
    for (std::uint32_t k = 0; k < *count; ++k) {
        const auto read = decoder.read(r, resolved);
        if (!read) return std::unexpected(read.error());
        resolved.push_back(table.intern(**read).id);  // every input resolved to an earlier node
    }
    GraphStore store = GraphStore::adopt(std::move(table));

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
    fault_unless(store.mark_outputs(marks).has_value(),
                 "blob reader resolved an output to a missing node");
    return store;
}

}  // namespace corvane
