// Placeholder: implemented by the tokens work.
#include "op_token.hpp"

namespace corvane {
std::optional<ParsedOpToken> parse_op_token(std::string_view) noexcept { return std::nullopt; }
}  // namespace corvane
