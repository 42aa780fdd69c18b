// Geometric growth of the dense arrays: making room for a few more elements at a time
// must not reallocate (and copy everything) on each call, which would be quadratic.
#pragma once

#include <algorithm>
#include <cstddef>

namespace corvane {

// Makes `v`'s capacity at least `needed`, at least doubling it when it grows.
template <class Vector>
void grow_to(Vector& v, std::size_t needed) {
    if (needed > v.capacity()) v.reserve(std::max<std::size_t>({16, needed, 2 * v.capacity()}));
}

}  // namespace corvane
