// Tokens and optimizer symbols. A token is the canonical one-line text of a node without
// its inputs (a stage member's stored text, a grouping key); an optimizer symbol is the
// rewrite engine's operator symbol, equal to the token wherever the token identifies the
// node. Both are byte-exact; the human-readable captions are in label.hpp.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "node.hpp"
#include "node_table.hpp"

namespace corvane {

// Four whole-string passes: "%" -> "%25", ";" -> "%3B", "=" -> "%3D", "|" -> "%7C".
std::string escape_token(std::string_view text);
// The inverse passes in reverse order; only the four upper-case codes are decoded.
std::string unescape_token(std::string_view text);

// "i42", "f3ff0000000000000", "btrue", "sa%3Db".
std::string token(const ParamValue& value);
// One "escaped-key=value-token" entry per pair, in map order.
std::vector<std::string> token_entries(const ParamMap& params);
// head, or head + "|" + entries joined with ";" when the map is not empty.
std::string with_params(std::string_view head, const ParamMap& params);
// The token of a node key (inputs never appear).
std::string token(const NodeKey& key);

// An unambiguous symbol for the optimizer: equal to token(key) for Source, Op,
// Reduction, Exchange and Join; for Stage and External an extended form that encodes
// every field, so two keys share it exactly when they are equal apart from their
// inputs. Never begins with "op|" unless the key is an Op.
std::string optimizer_symbol(const NodeKey& key);
// Appends optimizer_symbol(key) to `out`: of a key, of a borrowed view, or of node i of
// a table, read in place; all three give the same bytes for the same node.
void append_optimizer_symbol(std::string& out, const NodeKey& key);
void append_optimizer_symbol(std::string& out, const NodeView& view);
void append_optimizer_symbol(std::string& out, const NodeTable& table, std::size_t i);

}  // namespace corvane
