// Small builders for node keys used across the C++ tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "node.hpp"

namespace corvane::testing {

inline ParamMap params(std::vector<ParamMap::Entry> entries = {}) { return ParamMap(std::move(entries)); }

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

// The one-input identity op `add` with scalar 0.0 and the given side ("r" or "l").
inline NodeKey add_zero(NodeId input, const char* side = "r") {
    return op("add", {input},
              params({{"scalar", ParamValue::of_float(0.0)}, {"side", ParamValue::of_str(side)}}));
}

}  // namespace corvane::testing
