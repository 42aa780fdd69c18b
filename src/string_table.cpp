#include "string_table.hpp"

#include <algorithm>
#include <new>

namespace corvane {
namespace {

template <class Container>
void grow_to(Container& c, std::size_t needed) {
    if (needed > c.capacity()) c.reserve(std::max<std::size_t>({16, needed, 2 * c.capacity()}));
}

// Names and keys are short, so a byte loop beats a library call.
bool same_bytes(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    if (a.size() > 16) return std::memcmp(a.data(), b.data(), a.size()) == 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

}  // namespace

std::optional<std::uint32_t> StringTable::probe(std::string_view s, std::uint64_t hash) const noexcept {
    const auto id = index_.find(hash, [&](std::uint64_t candidate) {
        return same_bytes(text(static_cast<std::uint32_t>(candidate)), s);
    });
    if (!id) return std::nullopt;
    return static_cast<std::uint32_t>(*id);
}

std::size_t StringTable::recent_slot(std::string_view s) const noexcept {
    std::uint64_t word = s.size();
    if (!s.empty()) word ^= (std::uint64_t{static_cast<unsigned char>(s.front())} << 8) ^
                            (std::uint64_t{static_cast<unsigned char>(s.back())} << 16);
    return static_cast<std::size_t>((word * 0x9E3779B97F4A7C15ULL) >> 60) % kRecent;
}

std::optional<std::uint32_t> StringTable::find(std::string_view s) const noexcept {
    return probe(s, hash_string(s, seed_));
}

void StringTable::reserve_more(std::size_t strings, std::size_t bytes) {
    if (strings > CompactIdTable::kMaxIds - size()) throw std::bad_alloc();
    grow_to(bytes_, bytes_.size() + bytes);
    grow_to(starts_, starts_.size() + strings);
    index_.reserve(size() + strings);
}

std::uint32_t StringTable::intern(std::string_view s) {
    const std::size_t slot = recent_slot(s);
    const std::uint32_t recent = recent_[slot];
    if (recent < size() && same_bytes(text(recent), s)) return recent;
    const std::uint64_t hash = hash_string(s, seed_);
    if (const auto hit = probe(s, hash)) {
        recent_[slot] = *hit;
        return *hit;
    }
    reserve_more(1, s.size());
    const auto id = static_cast<std::uint32_t>(size());
    bytes_.append(s);
    starts_.push_back(bytes_.size());
    index_.insert(hash, id);  // room was made above
    recent_[slot] = id;
    return id;
}

}  // namespace corvane
