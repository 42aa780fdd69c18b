#include "node.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#include "eqsat/hash.hpp"

namespace corvane {

bool operator==(const ParamValue& a, const ParamValue& b) noexcept {
    if (a.storage_.index() != b.storage_.index()) return false;
    switch (a.kind()) {
    case ParamValue::Kind::Int:
        return a.as_int() == b.as_int();
    case ParamValue::Kind::Float:
        return canonical_float_bits(a.as_float()) == canonical_float_bits(b.as_float());
    case ParamValue::Kind::Bool:
        return a.as_bool() == b.as_bool();
    case ParamValue::Kind::Str:
        return a.as_str() == b.as_str();
    }
    return false;
}

ParamMap::ParamMap(std::vector<Entry> entries) : entries_(std::move(entries)) {
    // std::string compares bytes as unsigned char, shorter prefix first.
    const auto by_key = [](const Entry& a, const Entry& b) { return a.first < b.first; };
    if (std::is_sorted(entries_.begin(), entries_.end(), by_key)) return;
    if (entries_.size() <= 16) {
        // Insertion sort: stable, and unlike stable_sort it needs no scratch buffer, which
        // matters because a map is built for every recorded node.
        for (auto it = entries_.begin() + 1; it != entries_.end(); ++it) {
            if (!by_key(*it, *(it - 1))) continue;
            Entry moving = std::move(*it);
            auto hole = it;
            do {
                *hole = std::move(*(hole - 1));
                --hole;
            } while (hole != entries_.begin() && by_key(moving, *(hole - 1)));
            *hole = std::move(moving);
        }
        return;
    }
    std::stable_sort(entries_.begin(), entries_.end(), by_key);
}

std::span<const NodeId> NodeKey::inputs() const noexcept {
    return std::visit(
        [](const auto& n) -> std::span<const NodeId> {
            if constexpr (std::is_same_v<std::decay_t<decltype(n)>, node::Source>) {
                return {};
            } else {
                return n.inputs;
            }
        },
        v_);
}

const ParamMap& NodeKey::params() const noexcept {
    static const ParamMap empty;
    return std::visit(
        [](const auto& n) -> const ParamMap& {
            if constexpr (std::is_same_v<std::decay_t<decltype(n)>, node::Stage>) {
                return empty;
            } else {
                return n.params;
            }
        },
        v_);
}

namespace {

std::uint64_t splitmix64(std::uint64_t& state) noexcept {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// A small streaming hash: each 8-byte word is folded into the state with eqsat's
// 64x64->128 multiply (low half xor high half), finished with a murmur-style avalanche.

using eqsat::hash_detail::load_short;

class KeyHasher {
public:
    explicit KeyHasher(const HashSeed& seed) noexcept : h_(seed.k0), k_(seed.k1 | 1) {}

    void word(std::uint64_t w) noexcept {
        h_ = eqsat::hash_detail::fold(h_ ^ w, k_ ^ 0x9E3779B97F4A7C15ULL);
    }
    void bytes(const void* data, std::size_t n) noexcept {
        const auto* p = static_cast<const unsigned char*>(data);
        if (n < 8) {
            // Short text and its length in one word: the length takes the top byte.
            word(load_short(p, n) | (std::uint64_t{n} << 56));
            return;
        }
        word(n);
        while (n >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            word(w);
            p += 8;
            n -= 8;
        }
        if (n > 0) word(load_short(p, n));
    }
    void str(std::string_view s) noexcept { bytes(s.data(), s.size()); }
    // A parameter's key and its value's tag; a short key shares its word with the tag
    // (length in bits 56-58, tag in bits 59-60).
    void key_and_kind(std::string_view key, ParamValue::Kind kind) noexcept {
        const auto tag = static_cast<std::uint64_t>(kind);
        if (key.size() < 8) {
            word(load_short(reinterpret_cast<const unsigned char*>(key.data()), key.size()) |
                 (std::uint64_t{key.size()} << 56) | (tag << 59));
            return;
        }
        str(key);
        word(tag);
    }
    void ids(std::span<const NodeId> v) noexcept {
        word(v.size());
        for (NodeId id : v) word(id);
    }
    void params(std::span<const ParamEntryView> m) noexcept {
        word(m.size());
        for (const ParamEntryView& e : m) {
            key_and_kind(e.key(), e.kind);
            switch (e.kind) {
            case ParamValue::Kind::Int:
            case ParamValue::Kind::Bool:
                word(e.bits);
                break;
            case ParamValue::Kind::Float:
                word(canonical_float_bits(std::bit_cast<double>(e.bits)));
                break;
            case ParamValue::Kind::Str:
                str(e.text());
                break;
            }
        }
    }
    std::uint64_t finish() const noexcept {
        std::uint64_t h = h_;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        h ^= h >> 33;
        return h;
    }

private:
    std::uint64_t h_;
    std::uint64_t k_;
};

}  // namespace

HashSeed HashSeed::random() {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t state = eqsat::process_hash_seed() ^
                          (counter.fetch_add(1, std::memory_order_relaxed) * 0xD1B54A32D192ED03ULL);
    HashSeed seed;
    seed.k0 = splitmix64(state);
    seed.k1 = splitmix64(state);
    return seed;
}

std::uint64_t hash_string(std::string_view text, const HashSeed& seed) noexcept {
    return eqsat::hash_text(seed.k0, text);
}

ParamEntryView ParamEntryView::of(const ParamMap::Entry& entry) noexcept {
    const auto& [key, value] = entry;
    ParamEntryView view{key.data(), key.size(), value.kind(), 0, nullptr, 0};
    switch (value.kind()) {
    case ParamValue::Kind::Int:
        view.bits = static_cast<std::uint64_t>(value.as_int());
        break;
    case ParamValue::Kind::Float:
        view.bits = std::bit_cast<std::uint64_t>(value.as_float());
        break;
    case ParamValue::Kind::Bool:
        view.bits = value.as_bool() ? 1 : 0;
        break;
    case ParamValue::Kind::Str:
        view.text_data = value.as_str().data();
        view.text_size = value.as_str().size();
        break;
    }
    return view;
}

ParamValue ParamEntryView::value() const {
    switch (kind) {
    case ParamValue::Kind::Int:
        return ParamValue::of_int(static_cast<std::int64_t>(bits));
    case ParamValue::Kind::Float:
        return ParamValue::of_float(std::bit_cast<double>(bits));
    case ParamValue::Kind::Bool:
        return ParamValue::of_bool(bits != 0);
    case ParamValue::Kind::Str:
        return ParamValue::of_str(std::string(text()));
    }
    return ParamValue::of_int(0);
}

namespace {

// Byte-wise comparisons of short strings (parameter keys and names), inline rather than
// through a library call; unsigned bytes, shorter prefix first, as std::string compares.
bool key_less(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

}  // namespace

void sort_param_views(std::span<ParamEntryView> entries) noexcept {
    // Insertion sort: stable, no scratch space, and maps are small.
    for (std::size_t i = 1; i < entries.size(); ++i) {
        if (!key_less(entries[i].key(), entries[i - 1].key())) continue;
        const ParamEntryView moving = entries[i];
        std::size_t hole = i;
        do {
            entries[hole] = entries[hole - 1];
            --hole;
        } while (hole > 0 && key_less(moving.key(), entries[hole - 1].key()));
        entries[hole] = moving;
    }
}

bool NodeView::is_well_formed() const noexcept {
    for (std::size_t i = 1; i < params.size(); ++i) {
        if (key_less(params[i].key(), params[i - 1].key())) return false;
    }
    const KindTraits& t = traits(kind);
    return (t.name || name.empty()) && (descriptor != nullptr) == t.descriptor &&
           (t.params || params.empty()) && (t.inputs || inputs.empty()) &&
           (t.members || members.empty());
}

DescriptorView descriptor_view(const PayloadDescriptor& d) noexcept {
    return DescriptorView{d.kind,
                          d.content_hash,
                          d.framework,
                          d.version,
                          d.io_schema,
                          d.preprocessing_ref ? std::string_view(*d.preprocessing_ref)
                                              : std::string_view(),
                          d.preprocessing_ref.has_value()};
}

NodeView view_of(const NodeKey& key, ViewScratch& scratch) {
    NodeView view;
    view.kind = key.kind();
    view.inputs = key.inputs();
    const ParamMap& params = key.params();
    ParamEntryView* const entries = scratch.params_room(params.size());
    for (std::size_t k = 0; k < params.size(); ++k) {
        entries[k] = ParamEntryView::of(params.entries()[k]);
    }
    view.params = {entries, params.size()};
    std::visit(
        [&](const auto& n) {
            using T = std::decay_t<decltype(n)>;
            if constexpr (requires { n.name; }) view.name = n.name;
            if constexpr (std::is_same_v<T, node::External>) {
                scratch.descriptor = descriptor_view(n.descriptor.get());
                view.descriptor = &scratch.descriptor;
            } else if constexpr (std::is_same_v<T, node::Stage>) {
                MemberView* const out = scratch.members_room(n.members.size());
                for (std::size_t m = 0; m < n.members.size(); ++m) {
                    out[m] = MemberView{n.members[m].op_token, n.members[m].inputs};
                }
                view.members = {out, n.members.size()};
            }
        },
        key.variant());
    return view;
}

NodeKey key_of(const NodeView& view) {
    std::vector<ParamMap::Entry> entries;
    entries.reserve(view.params.size());
    for (const ParamEntryView& e : view.params) {
        entries.emplace_back(std::string(e.key()), e.value());
    }
    ParamMap map(ParamMap::Sorted{}, std::move(entries));
    std::vector<NodeId> ids(view.inputs.begin(), view.inputs.end());
    switch (view.kind) {
    case NodeKey::Kind::Source:
        return node::Source{std::string(view.name), std::move(map)};
    case NodeKey::Kind::Op:
        return node::Op{std::string(view.name), std::move(map), std::move(ids)};
    case NodeKey::Kind::Reduction:
        return node::Reduction{std::string(view.name), std::move(map), std::move(ids)};
    case NodeKey::Kind::External: {
        const DescriptorView& d = *view.descriptor;
        PayloadDescriptor owned{std::string(d.kind),      std::string(d.content_hash),
                                std::string(d.framework), std::string(d.version),
                                std::string(d.io_schema), std::nullopt};
        if (d.has_ref) owned.preprocessing_ref.emplace(d.preprocessing_ref);
        return node::External{std::move(owned), std::move(map), std::move(ids)};
    }
    case NodeKey::Kind::Stage: {
        std::vector<StageOp> members;
        members.reserve(view.members.size());
        for (const MemberView& m : view.members) {
            members.push_back(
                StageOp{std::string(m.token), {m.operands.begin(), m.operands.end()}});
        }
        return node::Stage{std::move(ids), std::move(members)};
    }
    case NodeKey::Kind::Exchange:
        return node::Exchange{std::move(map), std::move(ids)};
    case NodeKey::Kind::Join:
        return node::Join{std::move(map), std::move(ids)};
    }
    return node::Source{};
}

std::uint64_t hash_key(const NodeView& view, const HashSeed& seed) noexcept {
    const KindTraits& t = traits(view.kind);
    KeyHasher h(seed);
    h.word(static_cast<std::uint64_t>(view.kind));
    if (t.name) h.str(view.name);
    if (t.descriptor) {
        const DescriptorView& d = *view.descriptor;
        for (std::string_view f : {d.kind, d.content_hash, d.framework, d.version, d.io_schema}) {
            h.str(f);
        }
        h.word(d.has_ref ? 1 : 0);
        if (d.has_ref) h.str(d.preprocessing_ref);
    }
    if (t.params) h.params(view.params);
    if (t.inputs) h.ids(view.inputs);
    if (t.members) {
        h.word(view.members.size());
        for (const MemberView& m : view.members) {
            h.str(m.token);
            h.word(m.operands.size());
            for (const StageRef& r : m.operands) {
                h.word((r.index << 1) ^ static_cast<std::uint64_t>(r.kind));
            }
        }
    }
    return h.finish();
}

}  // namespace corvane
