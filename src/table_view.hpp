// A node of a NodeTable as a borrowed NodeView: the one way a table row reaches a
// view-taking routine (hashing, tokens and symbols, labels, the blob writer, appending to
// another table). The view's parameters and members are read into a caller-owned
// ViewScratch, so one scratch serves a whole scan without allocating per node. A view
// stays valid while neither the table nor the scratch changes.
#pragma once

#include <cstddef>

#include "node.hpp"
#include "node_table.hpp"

namespace corvane {

// The descriptor of External node i of `table`, borrowed.
DescriptorView table_descriptor(const NodeTable& table, std::size_t i) noexcept;

// Node i of `table`, with its own inputs (a caller may replace view.inputs).
NodeView table_view(const NodeTable& table, std::size_t i, ViewScratch& scratch);

}  // namespace corvane
