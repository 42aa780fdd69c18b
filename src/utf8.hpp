// Strict UTF-8, defined once for every reader of text: the blob reader validates each
// string with it and the Str display form decodes with it. Well-formed means no overlong
// forms, no surrogates and nothing above U+10FFFF.
#pragma once

#include <cstddef>

namespace corvane::utf8 {

// The length (1 to 4) of the well-formed sequence that starts at s[i], or 0 when the
// bytes there are not one. Requires i < n.
inline std::size_t sequence_length(const unsigned char* s, std::size_t n, std::size_t i) noexcept {
    const unsigned char c = s[i];
    if (c < 0x80) return 1;
    std::size_t len;
    unsigned char lo = 0x80;  // allowed range of the second byte
    unsigned char hi = 0xBF;
    if (c < 0xC2) {
        return 0;  // a continuation byte, or an overlong two-byte lead
    } else if (c < 0xE0) {
        len = 2;
    } else if (c < 0xF0) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;  // overlong
        else if (c == 0xED)
            hi = 0x9F;  // surrogates
    } else if (c < 0xF5) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;  // overlong
        else if (c == 0xF4)
            hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (n - i < len) return 0;
    if (s[i + 1] < lo || s[i + 1] > hi) return 0;
    for (std::size_t j = 2; j < len; ++j) {
        if ((s[i + j] & 0xC0) != 0x80) return 0;
    }
    return len;
}

// True when the n bytes at s are well-formed throughout.
bool valid(const unsigned char* s, std::size_t n) noexcept;

// The code point of a well-formed sequence of `len` bytes at s (a sequence_length result).
inline char32_t code_point(const unsigned char* s, std::size_t len) noexcept {
    static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t cp = s[0] & kLeadBits[len];
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (s[k] & 0x3Fu);
    return cp;
}

}  // namespace corvane::utf8
