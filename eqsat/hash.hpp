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

// The n < 8 bytes at p as one zero-padded little-endian word, read without a
// variable-length copy: two overlapping 4-byte loads (the bytes they share land on the
// same bits), or single bytes.
inline std::uint64_t load_short(const unsigned char* p, std::size_t n) noexcept {
    if (n >= 4) {
        std::uint32_t lo;
        std::uint32_t hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        return std::uint64_t{lo} | (std::uint64_t{hi} << (8 * (n - 4)));
    }
    if (n == 0) return 0;
    return std::uint64_t{p[0]} | (std::uint64_t{p[n / 2]} << (8 * (n / 2))) |
           (std::uint64_t{p[n - 1]} << (8 * (n - 1)));
}

inline constexpr std::uint64_t kMul0 = 0xa0761d6478bd642fULL;
inline constexpr std::uint64_t kMul1 = 0xe7037ed1a0b428dbULL;
inline constexpr std::uint64_t kMul2 = 0x8ebc6af09c88c6e3ULL;

}  // namespace hash_detail

inline std::uint64_t hash_node(std::uint64_t seed, Symbol op,
                               std::span<const Id> children) noexcept {
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
        const auto* tail = reinterpret_cast<const unsigned char*>(text.data()) + i;
        h = fold(load_short(tail, text.size() - i) ^ kMul1, h);
    }
    return fold(h, kMul2);
}

}  // namespace corvane::eqsat
