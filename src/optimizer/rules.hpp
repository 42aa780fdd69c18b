// The rewrite rules, written once: commutativity of eight parameterless binary operators,
// then four identity laws, in that order. The saturation engine's patterns, the
// incremental reducer's checks, the tests and the benchmarks all derive from this table;
// the symbols in the patterns come from the optimizer-symbol emitter, so they are exactly
// what a recorded node's symbol looks like.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "eqsat/rewrite.hpp"

namespace corvane {

// Rule "commute-<name>": (op|<name> ?a ?b) => (op|<name> ?b ?a).
inline constexpr std::array<std::string_view, 8> kCommutativeNames = {
    "add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

// Rule "identity-<i>": a one-input Op named `op` whose parameters are exactly
// scalar = the Float with canonical bits `scalar_bits` and side = the Str `side`
// equals its input.
struct IdentityRule {
    std::string_view op;
    std::uint64_t scalar_bits;
    std::string_view side;
};
inline constexpr std::array<IdentityRule, 4> kIdentityRules = {{
    {"add", 0x0000000000000000ULL, "r"},  // x + 0.0
    {"add", 0x0000000000000000ULL, "l"},  // 0.0 + x
    {"mul", 0x3ff0000000000000ULL, "r"},  // x * 1.0
    {"mul", 0x3ff0000000000000ULL, "l"},  // 1.0 * x
}};

// The optimizer symbol of each identity rule's Op, in rule order.
const std::array<std::string, kIdentityRules.size()>& identity_symbols();

// The twelve rules, parsed, in rule order. A rule that does not parse is an internal fault.
std::vector<eqsat::Rewrite> rewrite_rules();

}  // namespace corvane
