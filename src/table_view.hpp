// A node of a NodeTable as a borrowed NodeView, for code that hands table nodes to
// view-taking routines (hashing, appending to another table). The view's parameters and
// members are read into caller-owned scratch buffers, so one scratch serves a whole scan
// without allocating per node. A view stays valid while neither the table nor the
// scratch changes.
#pragma once

#include <cstddef>
#include <vector>

#include "node.hpp"
#include "node_table.hpp"

namespace corvane {

struct TableViewScratch {
    std::vector<ParamEntryView> params;
    std::vector<MemberView> members;
    DescriptorView descriptor;
};

// The descriptor of External node i of `table`, borrowed.
DescriptorView table_descriptor(const NodeTable& table, std::size_t i) noexcept;

// Node i of `table`, with its own inputs (a caller may replace view.inputs).
NodeView table_view(const NodeTable& table, std::size_t i, TableViewScratch& scratch);

}  // namespace corvane
