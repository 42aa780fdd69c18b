#include "eqsat/hash.hpp"

#include <random>

namespace corvane::eqsat {

std::uint64_t process_hash_seed() noexcept {
    static const std::uint64_t seed = [] {
        std::random_device device;
        return (std::uint64_t{device()} << 32) ^ device() ^ 0x243f6a8885a308d3ULL;
    }();
    return seed;
}

}  // namespace corvane::eqsat
