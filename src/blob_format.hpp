// Shared by the blob writer and reader: the magic and little-endian field access.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "id_table.hpp"

namespace corvane::blob_format {

inline constexpr std::array<std::uint8_t, 4> kMagic{'C', 'I', 'R', '1'};

// Every count, length and stage reference index is a u32 field.
inline constexpr std::uint64_t kMaxCount = kMaxU32;

inline constexpr bool kLittleEndianHost = std::endian::native == std::endian::little;

template <class T>
inline T load_le(const std::uint8_t* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (!kLittleEndianHost) v = std::byteswap(v);
    return v;
}

template <class T>
inline void store_le(std::uint8_t* p, T v) noexcept {
    if constexpr (!kLittleEndianHost) v = std::byteswap(v);
    std::memcpy(p, &v, sizeof v);
}

}  // namespace corvane::blob_format
