// Labels: the human-readable caption of a node in DOT output, and the display forms of
// parameter values and maps used inside it. Names and descriptor fields appear as they
// are; a Str value is quoted with backslash escapes and its output is always valid UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "node.hpp"

namespace corvane {

std::string display(double value);             // shortest round-trip, positional
std::string display(const ParamValue& value);  // Str quoted with backslash escapes
std::string display(const ParamMap& params);   // "{k=v, ...}"
std::string quoted(std::string_view text);     // the Str display form of `text`

// The DOT caption of a node, returned or appended to `out`.
std::string label(const NodeView& node);
void append_label(std::string& out, const NodeView& node);

}  // namespace corvane
