// Hashing of e-nodes for the hash-cons and of symbol texts for the symbol tables: a
// multiply-fold mix keyed by a per-process random seed, so that no input can be chosen to
// make lookups collide. Nothing may depend on hash values beyond the speed of lookups.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "eqsat/enode.hpp"

namespace corvane::eqsat {

// Random, fixed for the life of the process.
std::uint64_t process_hash_seed() noexcept;

namespace hash_detail {

__extension__ typedef unsigned __int128 Wide;

inline std::uint64_t fold(std::uint64_t a, std::uint64_t b) noexcept {
    const Wide product = static_cast<Wide>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

inline constexpr std::uint64_t kMul0 = 0xa0761d6478bd642fULL;
inline constexpr std::uint64_t kMul1 = 0xe7037ed1a0b428dbULL;
inline constexpr std::uint64_t kMul2 = 0x8ebc6af09c88c6e3ULL;

}  // namespace hash_detail

inline std::uint64_t hash_node(std::uint64_t seed, Symbol op, std::span<const Id> children) noexcept {
    using namespace hash_detail;
    std::uint64_t h = fold(seed ^ (std::uint64_t{op.id()} << 32 | children.size()), kMul0);
    std::size_t i = 0;
    for (; i + 1 < children.size(); i += 2) {
        h = fold(h ^ (std::uint64_t{children[i]} << 32 | children[i + 1]), kMul1);
    }
    if (i < children.size()) h = fold(h ^ children[i], kMul1);
    return fold(h, kMul2);
}

// The text is read in 8-byte words, the last one zero-padded; its length enters first, so
// texts that differ only by trailing zero bytes still differ.
inline std::uint64_t hash_text(std::uint64_t seed, std::string_view text) noexcept {
    using namespace hash_detail;
    std::uint64_t h = fold(seed ^ text.size(), kMul0);
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        h = fold(word ^ kMul1, h);
    }
    if (i < text.size()) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + i, text.size() - i);
        h = fold(word ^ kMul1, h);
    }
    return fold(h, kMul2);
}

}  // namespace corvane::eqsat
