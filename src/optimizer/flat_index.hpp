// The 32-bit indices of the optimizer's flat per-node tables (nodes, classes, groups,
// slots, keys): half the size of 64-bit ones, which matters once a table no longer fits
// in cache. kNoIndex is the one entry that names nothing (not yet assigned, or absent);
// as_index keeps every real index below it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "fault.hpp"

namespace corvane {

inline constexpr std::uint32_t kNoIndex = std::numeric_limits<std::uint32_t>::max();

// `value` as a table index; an internal fault when it does not fit below kNoIndex.
inline std::uint32_t as_index(std::size_t value) {
    fault_unless(value < kNoIndex, "graph too large for the optimizer's 32-bit indices");
    return static_cast<std::uint32_t>(value);
}

}  // namespace corvane
