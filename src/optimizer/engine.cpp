// Placeholder: implemented by the equality-saturation work.
#include "optimizer/engine.hpp"
#include "fault.hpp"

namespace corvane {
const char* const kIdentityTokens[4] = {
    "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
const char* const kCommutativeNames[8] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};
struct SaturationEngine::Rules {};
SaturationEngine::SaturationEngine() = default;
SaturationEngine::~SaturationEngine() = default;
Canonicalized SaturationEngine::canonicalize(const EngineGraph&) const { internal_fault("not implemented"); }
}  // namespace corvane
