// The equality-saturation library's one exception type. It signals a broken internal
// invariant or misuse (searching a dirty e-graph, an oversized shift, unparseable pattern
// text, a rewrite with an unbound variable); callers translate it at their boundary.
#pragma once

#include <stdexcept>
#include <string>

namespace corvane::eqsat {

class Error : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Throws Error carrying `message`.
[[noreturn]] void fail(const std::string& message);

}  // namespace corvane::eqsat
