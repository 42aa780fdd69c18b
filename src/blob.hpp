// The canonical serialized IR blob ("CIR1"): fixed-width little-endian fields, the node
// arena in id order, then the output ids. The writer is deterministic; the reader
// validates everything and reports the first problem as a DecodeError value.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "node.hpp"
#include "store.hpp"

namespace corvane {

struct DecodeError {
    enum class Kind : std::uint8_t { BadMagic, Truncated, BadTag, BadUtf8, NodeRefOutOfRange };
    Kind kind = Kind::Truncated;
    std::string what;          // BadTag: "node", "param" or "stage-ref"
    std::uint64_t value = 0;   // BadTag: the tag byte; NodeRefOutOfRange: the id or index

    std::string message() const;
    friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

// A store or list too large for the format's 32-bit counts.
struct BlobTooLarge {};
inline constexpr const char* kBlobTooLarge = "store too large for the corvane IR blob format";

// Appends one parameter map.
void put_params(std::vector<std::uint8_t>& out, const ParamMap& params);
// Writes the snapshot of `store` with `outputs` (each already a node of the store).
std::expected<std::vector<std::uint8_t>, BlobTooLarge> serialize_with(const GraphStore& store,
                                                                      std::span<const NodeId> outputs);
// Writes an arena and outputs directly.
std::expected<std::vector<std::uint8_t>, BlobTooLarge> serialize_nodes(std::span<const NodeKey> arena,
                                                                       std::span<const NodeId> outputs);
std::expected<GraphStore, DecodeError> deserialize(std::span<const std::uint8_t> bytes);

}  // namespace corvane
