// The rewrite engine: the canonicalisation step of a reduction. An EngineGraph is the
// token-keyed form of a graph; an engine merges nodes that its rules prove equal and
// returns one node per class. SaturationEngine runs equality saturation over the twelve
// rules of optimizer/rules.hpp (commutativity of eight operators, four identity laws).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "eqsat/symbol.hpp"

namespace corvane {

struct EngineNode {
    std::string op;                     // the node's symbol, compared as an exact string
    std::vector<std::size_t> children;  // indices of earlier nodes, in order
    bool opaque = false;                // true for every non-Op node

    friend bool operator==(const EngineNode&, const EngineNode&) = default;
};

struct EngineGraph {
    std::vector<EngineNode> nodes;     // inputs before users
    std::vector<std::size_t> outputs;  // indices into nodes, duplicates kept

    friend bool operator==(const EngineGraph&, const EngineGraph&) = default;
};

// The same graph in the flat form the pipeline passes along: node i has the interned
// symbol ops[i] and the children children[first[i] .. first[i+1]), with no allocation
// per node.
struct SymbolGraph {
    std::vector<eqsat::Symbol> ops;
    std::vector<std::uint8_t> opaque;         // 1 exactly when the symbol does not begin with "op|"
    std::vector<std::uint32_t> first{0};      // size() + 1 offsets into children
    std::vector<std::uint32_t> children;
    std::vector<std::uint32_t> outputs;

    std::size_t size() const noexcept { return ops.size(); }
    std::span<const std::uint32_t> children_of(std::size_t i) const noexcept {
        return {children.data() + first[i], first[i + 1] - first[i]};
    }
    // Appends a node; its children follow through add_child, before the next node.
    void add_node(eqsat::Symbol op, bool is_opaque) {
        ops.push_back(op);
        opaque.push_back(is_opaque ? 1 : 0);
        first.push_back(first.back());
    }
    void add_child(std::uint32_t child) {
        children.push_back(child);
        ++first.back();
    }

    friend bool operator==(const SymbolGraph&, const SymbolGraph&) = default;
};

// Conversions between the two forms. The first interns every op text in `symbols`,
// which must outlive the result; the second interns them permanently, for graphs kept
// for the life of the process (tests and benchmarks), never for a reduction's.
SymbolGraph to_symbol_graph(const EngineGraph& graph, eqsat::SymbolScope& symbols);
SymbolGraph to_symbol_graph(const EngineGraph& graph);
EngineGraph to_engine_graph(const SymbolGraph& graph);

struct Canonicalized {
    EngineGraph canonical;               // one node per class, in order of first appearance
    std::vector<std::size_t> class_of;   // input node -> index of its class in canonical
};

struct CanonicalGraph {
    SymbolGraph canonical;                     // as in Canonicalized
    std::vector<std::uint32_t> class_of;       // input node -> index of its class in canonical
    // Set when no two canonical nodes share a symbol and children, so that common-
    // subexpression elimination would leave the graph unchanged.
    bool deduplicated = false;
};

class RewriteEngine {
public:
    virtual ~RewriteEngine() = default;
    virtual CanonicalGraph canonicalize(const SymbolGraph& graph) const = 0;
    // The same over the string form.
    Canonicalized canonicalize(const EngineGraph& graph) const;
};

class SaturationEngine final : public RewriteEngine {
public:
    SaturationEngine();
    ~SaturationEngine() override;
    SaturationEngine(const SaturationEngine&) = delete;
    SaturationEngine& operator=(const SaturationEngine&) = delete;

    using RewriteEngine::canonicalize;
    CanonicalGraph canonicalize(const SymbolGraph& graph) const override;

    std::size_t iter_limit() const noexcept { return iter_limit_; }

    struct RuleText {
        std::string name;
        std::string searcher;
        std::string applier;
        friend bool operator==(const RuleText&, const RuleText&) = default;
    };
    // The rules in application order, patterns rendered back as s-expressions.
    std::vector<RuleText> rule_texts() const;

private:
    struct Rules;
    std::unique_ptr<Rules> rules_;
    std::size_t iter_limit_ = 12;
};

}  // namespace corvane
