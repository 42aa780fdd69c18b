// Labels: the human-readable caption of a node in DOT output, and the display forms of
// parameter values and maps used inside it. Names and descriptor fields appear as they
// are; a Str value is quoted with backslash escapes and its output is always valid UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "node.hpp"
#include "node_table.hpp"

namespace corvane {

std::string display(double value);               // shortest round-trip, positional
std::string display(const ParamValue& value);    // Str quoted with backslash escapes
std::string display(const ParamMap& params);     // "{k=v, ...}"
std::string quoted(std::string_view text);       // the Str display form of `text`

// The DOT caption of a node: of a key, of a borrowed view, or of node i of a table
// (appended to `out`, with no key built). All three give the same text for the same node.
std::string label(const NodeKey& key);
std::string label(const NodeView& view);
void append_label(std::string& out, const NodeTable& table, std::size_t i);

}  // namespace corvane
