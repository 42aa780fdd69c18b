#include "eqsat/rewrite.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "eqsat/error.hpp"

namespace corvane::eqsat {

Rewrite::Rewrite(std::string_view name, Pattern searcher, Pattern applier)
    : name_(name),
      searcher_(std::move(searcher)),
      applier_(std::move(applier)) {
    for (Var var : applier_.vars()) {
        if (std::ranges::find(searcher_.vars(), var) == searcher_.vars().end()) {
            fail("Rewrite " + std::string(name) + " refers to unbound var " + var.name.to_string());
        }
    }
}

Rewrite Rewrite::parse(std::string_view name, std::string_view searcher, std::string_view applier) {
    return Rewrite(name, Pattern::parse(searcher), Pattern::parse(applier));
}

}  // namespace corvane::eqsat
