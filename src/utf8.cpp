#include "utf8.hpp"

#include <cstdint>
#include <cstring>

namespace corvane::utf8 {

namespace {

// True when the `Word`-sized run at s is all ASCII.
template <class Word>
bool ascii_run(const unsigned char* s) noexcept {
    Word w;
    std::memcpy(&w, s, sizeof w);
    return (w & static_cast<Word>(0x8080'8080'8080'8080ULL)) == 0;
}

}  // namespace

// ASCII runs go eight or four bytes a step.
bool valid(const unsigned char* s, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= 8) {
            if (ascii_run<std::uint64_t>(s + i)) {
                i += 8;
                continue;
            }
        } else if (n - i >= 4 && ascii_run<std::uint32_t>(s + i)) {
            i += 4;
            continue;
        }
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        const std::size_t len = sequence_length(s, n, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

}  // namespace corvane::utf8
