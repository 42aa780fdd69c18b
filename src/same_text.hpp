// Byte equality of two texts, tuned for the short names, keys and values a node carries:
// texts of up to 16 bytes compare with at most four loads per side, never reading outside
// either text; longer ones go to memcmp.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace corvane {

inline bool same_text(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    if (n >= 8) {
        if (n > 16) return std::memcmp(p, q, n) == 0;
        std::uint64_t x[2];
        std::uint64_t y[2];
        std::memcpy(&x[0], p, 8);
        std::memcpy(&x[1], p + n - 8, 8);
        std::memcpy(&y[0], q, 8);
        std::memcpy(&y[1], q + n - 8, 8);
        return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
    }
    if (n >= 4) {
        std::uint32_t x[2];
        std::uint32_t y[2];
        std::memcpy(&x[0], p, 4);
        std::memcpy(&x[1], p + n - 4, 4);
        std::memcpy(&y[0], q, 4);
        std::memcpy(&y[1], q + n - 4, 4);
        return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
    }
    // Bytes 0, n/2 and n-1 cover every byte of a text of up to 3 bytes.
    return n == 0 || (p[0] == q[0] && p[n / 2] == q[n / 2] && p[n - 1] == q[n - 1]);
}

}  // namespace corvane
