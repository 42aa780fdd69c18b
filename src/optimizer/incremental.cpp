// Placeholder: implemented by the incremental work.
#include "optimizer/incremental.hpp"
#include "fault.hpp"

namespace corvane {
std::expected<std::uint64_t, BadNodeId> IncrementalReducer::step(std::span<const NodeKey>) {
    internal_fault("not implemented");
}
std::expected<Reduced, BadNodeId> IncrementalReducer::finalize(std::span<const NodeId>, const RewriteEngine&, bool) const {
    internal_fault("not implemented");
}
}  // namespace corvane
