// Placeholder: implemented by the blob work.
#include "blob.hpp"
#include "fault.hpp"

namespace corvane {
std::string DecodeError::message() const { internal_fault("not implemented"); }
void put_params(std::vector<std::uint8_t>&, const ParamMap&) { internal_fault("not implemented"); }
std::expected<std::vector<std::uint8_t>, BlobTooLarge> serialize_with(const GraphStore&, std::span<const NodeId>) {
    internal_fault("not implemented");
}
std::expected<std::vector<std::uint8_t>, BlobTooLarge> serialize_nodes(std::span<const NodeKey>, std::span<const NodeId>) {
    internal_fault("not implemented");
}
std::expected<GraphStore, DecodeError> deserialize(std::span<const std::uint8_t>) { internal_fault("not implemented"); }
}  // namespace corvane
