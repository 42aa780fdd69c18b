// Tokens and optimizer symbols. A token is the canonical one-line text of a node without
// its inputs (a stage member's stored text, a grouping key); an optimizer symbol is the
// rewrite engine's operator symbol, equal to the token wherever the token identifies the
// node. Both are byte-exact; the human-readable captions are in label.hpp.
#pragma once

#include <string>
#include <string_view>

#include "node.hpp"

namespace corvane {

// Four whole-string passes: "%" -> "%25", ";" -> "%3B", "=" -> "%3D", "|" -> "%7C".
std::string escape_token(std::string_view text);
// The inverse passes in reverse order; only the four upper-case codes are decoded.
std::string unescape_token(std::string_view text);

// "i42", "f3ff0000000000000", "btrue", "sa%3Db".
std::string token(const ParamValue& value);
// The token of a node (inputs never appear).
std::string token(const NodeView& node);

// An unambiguous symbol for the optimizer: equal to the token for Source, Op, Reduction,
// Exchange and Join; for Stage and External an extended form that encodes every field,
// so two nodes share it exactly when they are equal apart from their inputs. Never
// begins with "op|" unless the node is an Op.
std::string optimizer_symbol(const NodeView& node);
// Appends optimizer_symbol(node) to `out`.
void append_optimizer_symbol(std::string& out, const NodeView& node);

}  // namespace corvane
