#include "eqsat/pattern.hpp"

#include <algorithm>
#include <array>
#include <ostream>
#include <utility>

#include "eqsat/error.hpp"
#include "eqsat/prefetch.hpp"

namespace corvane::eqsat {

// ---- substitutions ----------------------------------------------------------------

void Subst::insert(Var var, Id id) {
    for (Binding& b : bindings_) {
        if (b.var == var) {
            b.id = id;
            return;
        }
    }
    bindings_.push_back({var, id});
}

std::optional<Id> Subst::get(Var var) const noexcept {
    for (const Binding& b : bindings_) {
        if (b.var == var) return b.id;
    }
    return std::nullopt;
}

Id Subst::at(Var var) const {
    if (auto id = get(var)) return *id;
    fail("substitution does not bind " + var.name.to_string());
}

bool operator==(const Subst& a, const Subst& b) noexcept {
    if (a.size() != b.size()) return false;
    return std::ranges::all_of(a.bindings(),
                               [&](const Binding& x) { return b.get(x.var) == x.id; });
}

std::size_t total_substs(std::span<const SearchMatches> matches) noexcept {
    std::size_t total = 0;
    for (const SearchMatches& m : matches) total += m.substs.size();
    return total;
}

// ---- parsing ----------------------------------------------------------------------

namespace {

bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool is_atom_char(char c) noexcept { return !is_space(c) && c != '(' && c != ')' && c != '"'; }

bool is_var_name(std::string_view atom) noexcept { return atom.size() >= 2 && atom.front() == '?'; }

}  // namespace

Pattern Pattern::parse(std::string_view text) {
    struct Frame {
        Symbol head;
        std::vector<std::uint32_t> children;
    };
    auto error = [&](std::string_view why) {
        fail("could not parse pattern \"" + std::string(text) + "\": " + std::string(why));
    };
    std::vector<PatternNode> nodes;
    std::vector<Frame> open;
    bool complete = false;
    std::size_t pos = 0;
    auto read_atom = [&] {
        const std::size_t start = pos;
        while (pos < text.size() && is_atom_char(text[pos])) ++pos;
        return text.substr(start, pos - start);
    };
    auto attach = [&] {
        const auto index = static_cast<std::uint32_t>(nodes.size() - 1);
        if (open.empty()) {
            complete = true;
        } else {
            open.back().children.push_back(index);
        }
    };
    for (;;) {
        while (pos < text.size() && is_space(text[pos])) ++pos;
        if (pos == text.size()) break;
        if (complete) error("unexpected text after the pattern");
        const char c = text[pos];
        if (c == '(') {
            ++pos;
            while (pos < text.size() && is_space(text[pos])) ++pos;
            if (pos == text.size()) error("unclosed list");
            if (text[pos] == ')') error("empty list");
            if (text[pos] == '(') error("a list's head must be an atom");
            if (text[pos] == '"') error("quoted strings are not supported");
            const std::string_view head = read_atom();
            if (is_var_name(head)) error("a list's head must be an operator, not a variable");
            open.push_back({Symbol(head), {}});
        } else if (c == ')') {
            if (open.empty()) error("unbalanced ')'");
            ++pos;
            Frame frame = std::move(open.back());
            open.pop_back();
            nodes.push_back(PatternNode::op(frame.head, std::move(frame.children)));
            attach();
        } else if (c == '"') {
            error("quoted strings are not supported");
        } else {
            const std::string_view atom = read_atom();
            nodes.push_back(is_var_name(atom) ? PatternNode::var(Var{Symbol(atom)})
                                              : PatternNode::op(Symbol(atom)));
            attach();
        }
    }
    if (!open.empty()) error("unclosed list");
    if (!complete) error("empty pattern");
    return Pattern(std::move(nodes));
}

// ---- construction and compilation ---------------------------------------------------

Pattern::Pattern(std::vector<PatternNode> nodes) : nodes_(std::move(nodes)) {
    if (nodes_.empty()) fail("a pattern needs at least one node");
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        const PatternNode& node = nodes_[i];
        if (node.is_var() && !node.children.empty()) fail("a pattern variable has no children");
        for (std::uint32_t c : node.children) {
            if (c >= i) fail("a pattern node's children must come before it");
        }
        if (node.is_var() && std::ranges::find(vars_, Var{node.symbol}) == vars_.end()) {
            vars_.push_back(Var{node.symbol});
        }
    }
    compile();
}

// The program binds the root class to register 0. A bind instruction walks the members
// of its register's class that carry the operator with the right arity and writes their
// children to fresh registers; the first occurrence of a variable names a register, a
// repeated one adds a compare. Variables are bound before sub-patterns are descended
// into, so compares prune early.
void Pattern::compile() {
    registers_ = 1;
    auto bind_var = [&](Symbol name, std::uint32_t reg) {
        const Var var{name};
        const auto it = std::ranges::find(bind_vars_, var);
        if (it == bind_vars_.end()) {
            bind_vars_.push_back(var);
            bind_regs_.push_back(reg);
        } else {
            const auto j = static_cast<std::size_t>(it - bind_vars_.begin());
            program_.push_back({Instr::Kind::kCompare, reg, bind_regs_[j], Symbol(), 0});
        }
    };
    std::vector<std::pair<std::uint32_t, std::uint32_t>> todo;  // (pattern node, register)
    todo.emplace_back(static_cast<std::uint32_t>(nodes_.size() - 1), 0);
    while (!todo.empty()) {
        const auto [index, reg] = todo.back();
        todo.pop_back();
        const PatternNode& node = nodes_[index];
        if (node.is_var()) {
            bind_var(node.symbol, reg);
            continue;
        }
        const std::uint32_t out = registers_;
        const auto arity = static_cast<std::uint32_t>(node.children.size());
        registers_ += arity;
        program_.push_back({Instr::Kind::kBind, reg, out, node.symbol, arity});
        for (std::uint32_t k = 0; k < arity; ++k) {
            const PatternNode& child = nodes_[node.children[k]];
            if (child.is_var()) bind_var(child.symbol, out + k);
        }
        for (std::uint32_t k = arity; k-- > 0;) {
            if (!nodes_[node.children[k]].is_var()) todo.emplace_back(node.children[k], out + k);
        }
    }
}

std::optional<OpKey> Pattern::root_key() const noexcept {
    const PatternNode& root = nodes_.back();
    if (root.is_var()) return std::nullopt;
    return OpKey{root.symbol, root.children.size()};
}

std::string Pattern::to_string() const {
    std::vector<std::string> text(nodes_.size());
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        const PatternNode& node = nodes_[i];
        if (node.children.empty()) {
            text[i] = node.symbol.to_string();
            continue;
        }
        std::string s = "(";
        s += node.symbol.str();
        for (std::uint32_t c : node.children) {
            s += ' ';
            s += text[c];
        }
        s += ')';
        text[i] = std::move(s);
    }
    return std::move(text.back());
}

std::ostream& operator<<(std::ostream& out, const Pattern& pattern) {
    return out << pattern.to_string();
}

// ---- searching ----------------------------------------------------------------------

namespace {

constexpr std::size_t kSearchAhead = 4;
constexpr std::size_t kApplyAhead = 4;

}  // namespace

class Pattern::Machine {
public:
    Machine(const Pattern& pattern, const EGraph& egraph)
        : pattern_(pattern),
          egraph_(egraph),
          regs_(pattern.registers_) {}

    // Appends the substitutions found in `eclass`, at most `limit` (> 0) of them.
    void search(Id eclass, std::size_t limit, std::vector<Subst>& out) {
        regs_[0] = eclass;
        remaining_ = limit;
        out_ = &out;
        run(0);
    }

private:
    // Runs the program from `pc`; false once the substitution limit is reached. The
    // recursion depth is bounded by the program length.
    bool run(std::size_t pc) {
        if (pc == pattern_.program_.size()) return yield();
        const Instr& instr = pattern_.program_[pc];
        if (instr.kind == Instr::Kind::kCompare) {
            return regs_[instr.reg] != regs_[instr.other] || run(pc + 1);
        }
        const std::span<const Memo::Key> members = egraph_.eclass(regs_[instr.reg]).nodes.span();
        // Members are sorted by operator first: skip straight to this one.
        const Memo::Key* it =
            std::partition_point(members.data(), members.data() + members.size(),
                                 [&](Memo::Key key) { return egraph_.node(key).op < instr.op; });
        for (; it != members.data() + members.size(); ++it) {
            const NodeRef node = egraph_.node(*it);
            if (node.op != instr.op) break;
            if (node.children.size() != instr.arity) continue;
            std::ranges::copy(node.children, regs_.begin() + instr.other);
            if (!run(pc + 1)) return false;
        }
        return true;
    }

    bool yield() {
        Subst subst;
        for (std::size_t j = 0; j < pattern_.bind_vars_.size(); ++j) {
            subst.insert(pattern_.bind_vars_[j], regs_[pattern_.bind_regs_[j]]);
        }
        out_->push_back(std::move(subst));
        return --remaining_ != 0;
    }

    const Pattern& pattern_;
    const EGraph& egraph_;
    std::vector<Id> regs_;
    std::size_t remaining_ = 0;
    std::vector<Subst>* out_ = nullptr;
};

std::optional<SearchMatches> Pattern::search_eclass_with_limit(const EGraph& egraph, Id eclass,
                                                               std::size_t limit) const {
    if (!egraph.clean()) fail("Tried to search a dirty e-graph!");
    if (limit == 0) return std::nullopt;
    SearchMatches matches{eclass, {}};
    Machine(*this, egraph).search(eclass, limit, matches.substs);
    if (matches.substs.empty()) return std::nullopt;
    return matches;
}

std::vector<SearchMatches> Pattern::search_with_limit(const EGraph& egraph, std::size_t limit,
                                                      Deadline* deadline) const {
    if (!egraph.clean()) fail("Tried to search a dirty e-graph!");
    std::vector<SearchMatches> out;
    if (limit == 0) return out;
    // Only classes holding the root's operator can match; without an index for it, every
    // class is visited.
    const PatternNode& root = nodes_.back();
    std::vector<Id> every_class;
    const std::vector<Id>* candidates =
        root.is_var() ? nullptr : egraph.indexed_classes(root.symbol, root.children.size());
    if (candidates == nullptr) {
        every_class = egraph.class_ids();
        candidates = &every_class;
    }
    Machine machine(*this, egraph);
    std::vector<Subst> found;
    const std::span<const Id> ids = *candidates;
    const Prefetch prefetch(egraph);
    for (std::size_t k = 0; k < ids.size() && limit != 0; ++k) {
        if (deadline != nullptr && deadline->step()) break;
        // The candidates are scattered: request class records, then their members, ahead.
        if (k + 2 * kSearchAhead < ids.size()) prefetch.eclass(ids[k + 2 * kSearchAhead]);
        if (k + kSearchAhead < ids.size()) prefetch.members(ids[k + kSearchAhead]);
        machine.search(ids[k], limit, found);
        if (found.empty()) continue;
        limit -= found.size();
        // A copy at its final size: one allocation per class, none for growing.
        out.push_back({ids[k], std::vector<Subst>(found.begin(), found.end())});
        found.clear();
    }
    return out;
}

std::vector<SearchMatches> Pattern::search(const EGraph& egraph) const {
    return search_with_limit(egraph, static_cast<std::size_t>(-1));
}

// ---- applying -----------------------------------------------------------------------

Id Pattern::instantiate_into(EGraph& egraph, const Subst& subst, std::vector<Id>& ids,
                             std::vector<Id>& children) const {
    ids.resize(nodes_.size());
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        const PatternNode& node = nodes_[i];
        if (node.is_var()) {
            ids[i] = subst.at(Var{node.symbol});
            continue;
        }
        children.clear();
        for (std::uint32_t c : node.children) children.push_back(ids[c]);
        ids[i] = egraph.add(node.symbol, children);
    }
    return ids.back();
}

namespace {

// Starts loading what instantiating the nodes whose children are all variables touches.
void prefetch_instantiation(const Prefetch& prefetch, std::span<const PatternNode> nodes,
                            const Subst& subst) noexcept {
    std::array<Id, 8> ids;
    for (const PatternNode& node : nodes) {
        if (node.is_var() || node.children.empty() || node.children.size() > ids.size()) continue;
        bool ground = true;
        for (std::size_t k = 0; k < node.children.size() && ground; ++k) {
            const PatternNode& child = nodes[node.children[k]];
            const std::optional<Id> id =
                child.is_var() ? subst.get(Var{child.symbol}) : std::nullopt;
            ground = id.has_value();
            if (ground) ids[k] = *id;
        }
        if (ground)
            prefetch.add(node.symbol, std::span<const Id>(ids.data(), node.children.size()));
    }
}

}  // namespace

Id Pattern::instantiate(EGraph& egraph, const Subst& subst) const {
    std::vector<Id> ids;
    std::vector<Id> children;
    return instantiate_into(egraph, subst, ids, children);
}

std::vector<Id> Pattern::apply_matches(EGraph& egraph,
                                       std::span<const SearchMatches> matches) const {
    std::vector<Id> changed;
    std::vector<Id> ids;
    std::vector<Id> children;
    const Prefetch prefetch(egraph);
    for (std::size_t k = 0; k < matches.size(); ++k) {
        const SearchMatches& m = matches[k];
        // Instantiating and merging touch the bound and matched classes' records, then the
        // hash-cons slots of the new nodes: request both ahead, the slots once the classes'
        // roots are likely loaded.
        if (k + 2 * kApplyAhead < matches.size()) {
            const SearchMatches& next = matches[k + 2 * kApplyAhead];
            prefetch.eclass(next.eclass);
            for (const Binding& b : next.substs.front().bindings()) prefetch.eclass(b.id);
        }
        if (k + kApplyAhead < matches.size()) {
            prefetch_instantiation(prefetch, nodes_, matches[k + kApplyAhead].substs.front());
        }
        for (const Subst& subst : m.substs) {
            const Id id = instantiate_into(egraph, subst, ids, children);
            if (egraph.merge(id, m.eclass)) changed.push_back(id);
        }
    }
    return changed;
}

// The proof of one application: the matched e-node is the stored one over the bound
// classes; each variable stands for the child that e-node was added with at its first
// place, and wherever the searcher repeats a variable, or an instantiated e-node was
// stored earlier with other children, the step relies on those children being equal.
std::vector<Id> Pattern::apply_matches_proved(EGraph& egraph,
                                              std::span<const SearchMatches> matches,
                                              const Pattern& searcher, Symbol name) const {
    const PatternNode& top = searcher.nodes_.back();
    bool flat = !top.is_var();
    for (std::uint32_t c : top.children) flat &= searcher.nodes_[c].is_var();
    if (!flat) {
        fail("proofs are recorded only for rules whose searcher is one operator over "
             "variables");
    }
    std::vector<Id> changed;
    std::vector<Id> ids;     // by applier node: its class
    std::vector<Id> stored;  // by applier node: the id its e-node was added under
    std::vector<Id> children;
    std::vector<IdPair> pairs;
    std::vector<std::pair<Var, Id>> stands_for;
    const auto standing = [&](Var v) -> std::optional<Id> {
        for (const auto& [var, id] : stands_for) {
            if (var == v) return id;
        }
        return std::nullopt;
    };
    for (const SearchMatches& m : matches) {
        for (const Subst& subst : m.substs) {
            children.clear();
            for (std::uint32_t c : top.children)
                children.push_back(subst.at(Var{searcher.nodes_[c].symbol}));
            const std::optional<Id> matched = egraph.stored_node({top.symbol, children});
            if (!matched) fail("a match has no stored e-node");
            const NodeRef lhs = egraph.origin(*matched);
            pairs.clear();
            stands_for.clear();
            for (std::size_t k = 0; k < top.children.size(); ++k) {
                const Var v{searcher.nodes_[top.children[k]].symbol};
                if (const std::optional<Id> first = standing(v)) {
                    pairs.push_back({*first, lhs.children[k]});
                } else {
                    stands_for.emplace_back(v, lhs.children[k]);
                }
            }
            ids.resize(nodes_.size());
            stored.resize(nodes_.size());
            for (std::size_t i = 0; i < nodes_.size(); ++i) {
                const PatternNode& node = nodes_[i];
                if (node.is_var()) {
                    const Var v{node.symbol};
                    ids[i] = subst.at(v);
                    const std::optional<Id> id = standing(v);
                    if (!id) fail("an applier variable is not bound by the searcher's operator");
                    stored[i] = *id;
                    continue;
                }
                children.clear();
                for (std::uint32_t c : node.children) children.push_back(ids[c]);
                const Added added = egraph.add_node(node.symbol, children);
                ids[i] = added.eclass;
                stored[i] = added.node;
                const NodeRef made = egraph.origin(added.node);
                for (std::size_t k = 0; k < node.children.size(); ++k)
                    pairs.push_back({stored[node.children[k]], made.children[k]});
            }
            const Because why{stored.back(), *matched, Reason::of_rule(name), pairs};
            if (egraph.merge(ids.back(), m.eclass, why)) changed.push_back(ids.back());
        }
    }
    return changed;
}

}  // namespace corvane::eqsat
