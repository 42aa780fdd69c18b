// A named rewrite: a searcher pattern whose matches are made equal to the applier pattern
// instantiated under the same substitution. Construction rejects an applier that uses a
// variable the searcher does not bind.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "eqsat/egraph.hpp"
#include "eqsat/pattern.hpp"
#include "eqsat/symbol.hpp"

namespace corvane::eqsat {

class Rewrite {
public:
    // Throws Error "Rewrite <name> refers to unbound var <var>" for the first applier
    // variable (in reading order) that the searcher does not bind.
    Rewrite(std::string_view name, Pattern searcher, Pattern applier);
    // Parses both pattern texts first (Error on a parse failure).
    static Rewrite parse(std::string_view name, std::string_view searcher,
                         std::string_view applier);

    Symbol name() const noexcept { return name_; }
    const Pattern& searcher() const noexcept { return searcher_; }
    const Pattern& applier() const noexcept { return applier_; }

    std::vector<SearchMatches> search(const EGraph& egraph) const {
        return searcher_.search(egraph);
    }
    std::vector<SearchMatches> search_with_limit(const EGraph& egraph, std::size_t limit,
                                                 Deadline* deadline = nullptr) const {
        return searcher_.search_with_limit(egraph, limit, deadline);
    }
    // Returns the instantiated ids whose merge with their match changed the e-graph.
    std::vector<Id> apply(EGraph& egraph, std::span<const SearchMatches> matches) const {
        if (egraph.records_proofs())
            return applier_.apply_matches_proved(egraph, matches, searcher_, name_);
        return applier_.apply_matches(egraph, matches);
    }

private:
    Symbol name_;
    Pattern searcher_;
    Pattern applier_;
};

}  // namespace corvane::eqsat
