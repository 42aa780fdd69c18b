// Small builders for node keys used across the C++ tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "node.hpp"

namespace corvane::testing {

inline ParamMap params(std::vector<ParamMap::Entry> entries = {}) { return ParamMap(std::move(entries)); }
inline ParamValue I(std::int64_t v) { return ParamValue::of_int(v); }
inline ParamValue F(double v) { return ParamValue::of_float(v); }
inline ParamValue S(std::string v) { return ParamValue::of_str(std::move(v)); }
inline ParamValue B(bool v) { return ParamValue::of_bool(v); }

inline NodeKey source(std::string name, ParamMap p = {}) { return node::Source{std::move(name), std::move(p)}; }

inline NodeKey op(std::string name, std::vector<NodeId> inputs, ParamMap p = {}) {
    return node::Op{std::move(name), std::move(p), std::move(inputs)};
}

inline NodeKey reduction(std::string name, std::vector<NodeId> inputs, ParamMap p = {}) {
    return node::Reduction{std::move(name), std::move(p), std::move(inputs)};
}

inline NodeKey join(std::vector<NodeId> inputs, ParamMap p = {}) {
    return node::Join{std::move(p), std::move(inputs)};
}

// The identity op `name` ("add" with scalar 0.0, "mul" with scalar 1.0) on the given
// side ("r" or "l"); it collapses only over exactly one input.
inline NodeKey identity_op(std::string_view name, const char* side, std::vector<NodeId> inputs) {
    const double scalar = name == "add" ? 0.0 : 1.0;
    return op(std::string(name), std::move(inputs),
              params({{"scalar", F(scalar)}, {"side", S(side)}}));
}

inline NodeKey add_zero(NodeId input, const char* side = "r") { return identity_op("add", side, {input}); }

}  // namespace corvane::testing
