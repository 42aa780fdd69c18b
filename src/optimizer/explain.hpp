// Explaining a reduction: for every input node, the smallest other node that landed in
// the same place, and every reason used in the proof that the two are equal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "optimizer/pipeline.hpp"
#include "reduction.hpp"

namespace corvane {

struct Explained {
    static constexpr std::uint64_t kNone = ~std::uint64_t{0};

    NodeMap landings;                       // the reduction's node map
    std::vector<std::uint64_t> equals;      // by input node: the smallest other, or kNone
    std::vector<std::uint64_t> reasons;     // by input node: bit i names reason_names[i]
    std::vector<std::string> reason_names;  // rule names and "congruence", in byte order
};

// `landings` is the node map of the reduction that filled `proofs`. Nodes land together
// exactly when the proofs make them equal; anything else is an internal fault.
Explained explain_landings(NodeMap landings, ReductionProofs proofs);

}  // namespace corvane
