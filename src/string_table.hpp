// The strings of one dense node table, each stored once and named by a small id: ids
// are dense (0, 1, 2, ... in first-intern order) and never change, and the lookup is
// seeded so that chosen texts cannot make probes collide. The bytes move when the table
// grows, so a text() view lasts only until the next intern.
// Interning gives the strong guarantee: on failure nothing changes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "id_table.hpp"
#include "node.hpp"
#include "same_text.hpp"

namespace corvane {

class StringTable {
public:
    explicit StringTable(const HashSeed& seed = HashSeed::random()) noexcept : seed_(seed) {}

    std::size_t size() const noexcept { return starts_.empty() ? 0 : starts_.size() - 1; }
    std::size_t byte_size() const noexcept { return bytes_.size(); }

    std::string_view text(std::uint32_t id) const noexcept {
        const auto begin = static_cast<std::size_t>(starts_[id]);
        return {bytes_.data() + begin, static_cast<std::size_t>(starts_[id + 1]) - begin};
    }

    std::optional<std::uint32_t> find(std::string_view s) const noexcept;

    // Makes room so that interning up to `strings` new strings of `bytes` bytes in all
    // allocates nothing and cannot throw. Grows geometrically.
    void reserve_more(std::size_t strings, std::size_t bytes) {
        if (!starts_.empty() && bytes_.capacity() - bytes_.size() >= bytes &&
            starts_.capacity() - starts_.size() >= strings && index_.room() >= strings &&
            strings <= CompactIdTable::kMaxIds - size()) {
            return;
        }
        grow(strings, bytes);
    }
    // The id of `s`, added if new.
    std::uint32_t intern(std::string_view s) {
        const std::size_t slot = recent_slot(s);
        const std::uint32_t recent = recent_[slot];
        if (recent < size() && same_text(text(recent), s)) return recent;
        return intern_new(s, slot);
    }

    // Removes the strings from id `count` on (those interned since the table held
    // `count`). Allocates nothing.
    void truncate(std::size_t count) noexcept {
        if (count >= size()) return;
        starts_.resize(count + 1);
        bytes_.resize(static_cast<std::size_t>(starts_[count]));
        index_.erase_from(count);
        // recent_ may name removed ids; intern checks every entry against the text.
    }

private:
    static std::size_t recent_slot(std::string_view s) noexcept {
        std::uint64_t word = s.size();
        if (!s.empty()) {
            word ^= (std::uint64_t{static_cast<unsigned char>(s.front())} << 8) ^
                    (std::uint64_t{static_cast<unsigned char>(s.back())} << 16);
        }
        return static_cast<std::size_t>((word * 0x9E3779B97F4A7C15ULL) >> 60) % kRecent;
    }
    std::optional<std::uint32_t> probe(std::string_view s, std::uint64_t hash) const noexcept;
    void grow(std::size_t strings, std::size_t bytes);
    std::uint32_t intern_new(std::string_view s, std::size_t slot);

    HashSeed seed_;
    std::string bytes_;  // every string back to back
    // String i is bytes_[starts_[i], starts_[i + 1]); empty until the first string, so
    // that an empty table (a new one, or one moved from) allocates nothing.
    std::vector<std::uint64_t> starts_;
    CompactIdTable index_;
    // The ids of recently interned strings, by a cheap function of their first bytes:
    // recording repeats the same few names and keys, which then skip hashing and probing.
    // Only ever a shortcut to the id the index gives, so it changes no result.
    static constexpr std::size_t kRecent = 16;
    std::uint32_t recent_[kRecent] = {};
};

}  // namespace corvane
