#include "string_table.hpp"

#include <algorithm>
#include <new>

namespace corvane {
namespace {

template <class Container>
void grow_to(Container& c, std::size_t needed) {
    if (needed > c.capacity()) c.reserve(std::max<std::size_t>({16, needed, 2 * c.capacity()}));
}

bool same_bytes(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace

std::optional<std::uint32_t> StringTable::find(std::string_view s) const noexcept {
    const auto id = index_.find(hash_string(s, seed_), [&](std::uint64_t candidate) {
        return same_bytes(text(static_cast<std::uint32_t>(candidate)), s);
    });
    if (!id) return std::nullopt;
    return static_cast<std::uint32_t>(*id);
}

void StringTable::reserve_more(std::size_t strings, std::size_t bytes) {
    if (strings > CompactIdTable::kMaxIds - ends_.size()) throw std::bad_alloc();
    grow_to(bytes_, bytes_.size() + bytes);
    grow_to(ends_, ends_.size() + strings);
    index_.reserve(ends_.size() + strings);
}

std::uint32_t StringTable::intern(std::string_view s) {
    const std::uint64_t hash = hash_string(s, seed_);
    const auto hit = index_.find(hash, [&](std::uint64_t candidate) {
        return same_bytes(text(static_cast<std::uint32_t>(candidate)), s);
    });
    if (hit) return static_cast<std::uint32_t>(*hit);
    reserve_more(1, s.size());
    const auto id = static_cast<std::uint32_t>(ends_.size());
    bytes_.append(s);
    ends_.push_back(bytes_.size());
    index_.insert(hash, id);  // room was made above
    return id;
}

}  // namespace corvane
