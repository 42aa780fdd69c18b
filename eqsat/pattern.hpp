// Term patterns with variables: parsed from s-expressions, held as a flat node list (root
// last) and compiled into a matching program that finds every substitution per e-class;
// an applier pattern is instantiated under a substitution.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "eqsat/egraph.hpp"
#include "eqsat/enode.hpp"
#include "eqsat/small_vec.hpp"
#include "eqsat/symbol.hpp"

namespace corvane::eqsat {

// A pattern variable; its name keeps the leading '?'.
struct Var {
    Symbol name;

    friend constexpr bool operator==(Var, Var) noexcept = default;
};

struct Binding {
    Var var;
    Id id;
};

// A map from pattern variables to class ids, in binding order.
class Subst {
public:
    Subst() = default;

    // Binds `var`, replacing an earlier binding of it.
    void insert(Var var, Id id);
    std::optional<Id> get(Var var) const noexcept;
    // The bound id; throws Error when `var` is unbound.
    Id at(Var var) const;
    std::span<const Binding> bindings() const noexcept { return bindings_.span(); }
    std::size_t size() const noexcept { return bindings_.size(); }

    friend bool operator==(const Subst& a, const Subst& b) noexcept;

private:
    SmallVec<Binding, 2> bindings_;
};

// The substitutions found in one class.
struct SearchMatches {
    Id eclass = 0;
    std::vector<Subst> substs;
};

std::size_t total_substs(std::span<const SearchMatches> matches) noexcept;

struct PatternNode {
    enum class Kind : std::uint8_t { kVar, kOp };

    Kind kind = Kind::kOp;
    Symbol symbol;                        // the operator, or the variable's name
    std::vector<std::uint32_t> children;  // indices of earlier nodes; empty for a variable

    static PatternNode var(Var v) { return {Kind::kVar, v.name, {}}; }
    static PatternNode op(Symbol s, std::vector<std::uint32_t> c = {}) {
        return {Kind::kOp, s, std::move(c)};
    }
    bool is_var() const noexcept { return kind == Kind::kVar; }
};

class Pattern {
public:
    // Parses s-expression text: atoms are runs of characters other than whitespace,
    // parentheses and '"'; an atom of two or more characters starting with '?' is a
    // variable; a list is an operator atom followed by its arguments. Throws Error.
    static Pattern parse(std::string_view text);
    // Takes a flat node list (children before parents, root last). Throws Error when it
    // is empty or a child index is not earlier than its parent.
    explicit Pattern(std::vector<PatternNode> nodes);

    const std::vector<PatternNode>& nodes() const noexcept { return nodes_; }
    // Distinct variables in order of first appearance in the node list.
    const std::vector<Var>& vars() const noexcept { return vars_; }
    std::string to_string() const;
    // The operator and arity at the root, unless the root is a variable.
    std::optional<OpKey> root_key() const noexcept;

    // Every match over the root classes; requires a clean e-graph.
    std::vector<SearchMatches> search(const EGraph& egraph) const;
    // At most `limit` substitutions in total; stops as soon as the limit is reached, or,
    // with a deadline, at the first class visited after it has passed (the matches found
    // until then are returned).
    std::vector<SearchMatches> search_with_limit(const EGraph& egraph, std::size_t limit,
                                                 Deadline* deadline = nullptr) const;
    // Matches inside one root class, at most `limit` substitutions.
    std::optional<SearchMatches> search_eclass_with_limit(const EGraph& egraph, Id eclass,
                                                          std::size_t limit) const;

    // Adds the pattern under `subst` and returns the class of its root.
    Id instantiate(EGraph& egraph, const Subst& subst) const;
    // Instantiates the pattern for every substitution, merging it with the matched class
    // (instantiated id first); returns the instantiated ids whose merge changed something.
    std::vector<Id> apply_matches(EGraph& egraph, std::span<const SearchMatches> matches) const;
    // The same, on an e-graph that records proofs: each union is logged as an application
    // of the rule `name` whose searcher is `searcher`, which must be one operator over
    // variables (Error otherwise), so that the matched e-node is known from its bindings.
    std::vector<Id> apply_matches_proved(EGraph& egraph, std::span<const SearchMatches> matches,
                                         const Pattern& searcher, Symbol name) const;

private:
    struct Instr {
        enum class Kind : std::uint8_t { kBind, kCompare };
        Kind kind;
        std::uint32_t reg;    // bind: the class to look in; compare: one register
        std::uint32_t other;  // bind: first output register; compare: the other one
        Symbol op;            // bind only
        std::uint32_t arity;  // bind only
    };
    class Machine;

    void compile();
    Id instantiate_into(EGraph& egraph, const Subst& subst, std::vector<Id>& ids,
                        std::vector<Id>& children) const;

    std::vector<PatternNode> nodes_;
    std::vector<Var> vars_;
    std::vector<Instr> program_;
    std::vector<Var> bind_vars_;            // substitution order
    std::vector<std::uint32_t> bind_regs_;  // register of each bound variable
    std::uint32_t registers_ = 0;
};

std::ostream& operator<<(std::ostream& out, const Pattern& pattern);

}  // namespace corvane::eqsat
