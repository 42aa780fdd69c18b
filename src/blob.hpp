// The canonical serialized IR blob ("CIR1"): fixed-width little-endian fields, the node
// arena in id order, then the output ids. The writer is deterministic; the reader
// validates everything and reports the first problem, in reading order, as a
// DecodeError value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "node.hpp"
#include "store.hpp"

namespace corvane {

struct DecodeError {
    enum class Kind : std::uint8_t { BadMagic, Truncated, BadTag, BadUtf8, NodeRefOutOfRange };
    Kind kind = Kind::Truncated;
    std::string_view what;    // BadTag: "node", "param" or "stage-ref" (static text)
    std::uint64_t value = 0;  // BadTag: the tag byte; NodeRefOutOfRange: the id or index

    static DecodeError bad_magic() noexcept { return {Kind::BadMagic, {}, 0}; }
    static DecodeError truncated() noexcept { return {Kind::Truncated, {}, 0}; }
    static DecodeError bad_tag(std::string_view what, std::uint8_t tag) noexcept {
        return {Kind::BadTag, what, tag};
    }
    static DecodeError bad_utf8() noexcept { return {Kind::BadUtf8, {}, 0}; }
    static DecodeError node_ref_out_of_range(std::uint64_t id) noexcept {
        return {Kind::NodeRefOutOfRange, {}, id};
    }

    // The message the Python surface raises as ValueError.
    std::string message() const;
    friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

// A store or list too large for the format's 32-bit counts: a node count, string length,
// element count or stage reference index of 2^32 or more.
struct BlobTooLarge {
    friend bool operator==(const BlobTooLarge&, const BlobTooLarge&) = default;
};
inline constexpr const char* kBlobTooLarge = "store too large for the corvane IR blob format";

// Writes `table` with `outputs` (each below the table's size; the caller checks).
std::expected<std::vector<std::uint8_t>, BlobTooLarge> serialize_table(
    const NodeTable& table, std::span<const NodeId> outputs);
// Writes a snapshot of `store` with `outputs` (each already a node of the store; the
// caller checks them against the node count).
std::expected<std::vector<std::uint8_t>, BlobTooLarge> serialize_with(
    const GraphStore& store, std::span<const NodeId> outputs);
// Writes a snapshot of `store` with its own output marks, both taken under one lock.
std::expected<std::vector<std::uint8_t>, BlobTooLarge> serialize_marked(const GraphStore& store);

// Rebuilds a store from a blob. Record k's references name record positions; they are
// resolved through the ids the earlier records interned to, so a blob with repeated
// records still reads consistently. Bytes after the output ids are ignored.
std::expected<GraphStore, DecodeError> deserialize(std::span<const std::uint8_t> bytes);

}  // namespace corvane
