// Conversion of node keys into the engine's token-keyed graph form.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "node.hpp"
#include "optimizer/engine.hpp"

namespace corvane {

// One EngineNode per key, in order: op = the key's optimizer symbol, children = its
// inputs, opaque = the key is not an Op. `outputs` become the graph's outputs.
EngineGraph to_engine_graph(std::span<const NodeKey> kept, std::span<const std::uint64_t> outputs);

}  // namespace corvane
