// Byte equality of two texts, tuned for the short names, keys and values a node carries:
// texts of up to 16 bytes compare with two loads per side, never reading outside
// either text; longer ones go to memcmp.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace corvane {

// Whether the first and the last sizeof(Word) bytes of two texts of n >= sizeof(Word)
// bytes agree; for n <= 2 * sizeof(Word) that covers every byte.
template <class Word>
bool same_ends(const char* p, const char* q, std::size_t n) noexcept {
    Word x[2];
    Word y[2];
    std::memcpy(&x[0], p, sizeof(Word));
    std::memcpy(&x[1], p + n - sizeof(Word), sizeof(Word));
    std::memcpy(&y[0], q, sizeof(Word));
    std::memcpy(&y[1], q + n - sizeof(Word), sizeof(Word));
    return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
}

inline bool same_text(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    if (n > 16) return std::memcmp(p, q, n) == 0;
    if (n >= 8) return same_ends<std::uint64_t>(p, q, n);
    if (n >= 4) return same_ends<std::uint32_t>(p, q, n);
    // Bytes 0, n/2 and n-1 cover every byte of a text of up to 3 bytes.
    return n == 0 || (p[0] == q[0] && p[n / 2] == q[n / 2] && p[n - 1] == q[n - 1]);
}

}  // namespace corvane
