// The stage-member token parser: reads an Op or Reduction token back into its head
// ("op" or "red", as written), name and parameters. Never throws; malformed text gives
// the absent result.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "node.hpp"

namespace corvane {

struct ParsedOpToken {
    std::string kind;
    std::string name;
    ParamMap params;
};

std::optional<ParsedOpToken> parse_op_token(std::string_view text) noexcept;

}  // namespace corvane
