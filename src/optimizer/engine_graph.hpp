// Conversion of node keys into the engine's token-keyed graph form.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "node.hpp"
#include "optimizer/dce.hpp"
#include "optimizer/engine.hpp"

namespace corvane {

// One EngineNode per key, in order: op = the key's optimizer symbol, children = its
// inputs, opaque = the key is not an Op. `outputs` become the graph's outputs.
EngineGraph to_engine_graph(std::span<const NodeKey> kept, std::span<const std::uint64_t> outputs);
// The same for the live nodes of `nodes`, read in place: children are the renumbered
// inputs, outputs the renumbered outputs.
EngineGraph to_engine_graph(std::span<const NodeKey> nodes, const LiveIndex& live);

}  // namespace corvane
