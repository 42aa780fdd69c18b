#include "eqsat/error.hpp"

namespace corvane::eqsat {

void fail(const std::string& message) { throw Error(message); }

}  // namespace corvane::eqsat
