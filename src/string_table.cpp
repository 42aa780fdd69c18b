#include "string_table.hpp"

#include <algorithm>
#include <new>

#include "grow.hpp"
#include "same_text.hpp"

namespace corvane {

std::optional<std::uint32_t> StringTable::probe(std::string_view s,
                                                std::uint64_t hash) const noexcept {
    const auto id = index_.find(hash, [&](std::uint64_t candidate) {
        return same_text(text(static_cast<std::uint32_t>(candidate)), s);
    });
    if (!id) return std::nullopt;
    return static_cast<std::uint32_t>(*id);
}

std::optional<std::uint32_t> StringTable::find(std::string_view s) const noexcept {
    return probe(s, hash_string(s, seed_));
}

void StringTable::grow(std::size_t strings, std::size_t bytes) {
    if (strings > CompactIdTable::kMaxIds - size()) throw std::bad_alloc();
    grow_to(bytes_, bytes_.size() + bytes);
    grow_to(starts_, size() + strings + 1);
    if (starts_.empty()) starts_.push_back(0);  // room was made above
    index_.reserve(size() + strings);
}

std::uint32_t StringTable::intern_new(std::string_view s, std::size_t slot) {
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
