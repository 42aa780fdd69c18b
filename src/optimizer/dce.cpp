#include "optimizer/dce.hpp"

namespace corvane {

LiveIndex live_index(const NodeTable& nodes, std::span<const NodeId> outputs) {
    const auto inputs_of = [&](std::size_t i) { return nodes.inputs(i); };
    return live_index(nodes.size(), inputs_of, outputs,
                      [](std::size_t, std::span<const NodeId>) {});
}

}  // namespace corvane
