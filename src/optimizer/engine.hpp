// The rewrite engine: the canonicalisation step of a reduction. A SymbolGraph is the
// flat, symbol-keyed form of a graph; an engine merges nodes that its rules prove equal
// and returns one node per class. SaturationEngine runs equality saturation over the twelve
// rules of optimizer/rules.hpp (commutativity of eight operators, four identity laws).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "eqsat/proof.hpp"
#include "eqsat/symbol.hpp"

namespace corvane {

// A graph in the flat form the pipeline passes along: node i has the interned symbol
// ops[i] and the children children[first[i] .. first[i+1]) (earlier nodes), with no
// allocation per node.
struct SymbolGraph {
    std::vector<eqsat::Symbol> ops;
    std::vector<std::uint8_t> non_op;     // 1 exactly when the symbol does not begin with "op|"
    std::vector<std::uint32_t> first{0};  // size() + 1 offsets into children
    std::vector<std::uint32_t> children;
    std::vector<std::uint32_t> outputs;

    std::size_t size() const noexcept { return ops.size(); }
    std::span<const std::uint32_t> children_of(std::size_t i) const noexcept {
        return {children.data() + first[i], first[i + 1] - first[i]};
    }
    // Appends a node; its children follow through add_child, before the next node.
    void add_node(eqsat::Symbol op, bool is_non_op) {
        ops.push_back(op);
        non_op.push_back(is_non_op ? 1 : 0);
        first.push_back(first.back());
    }
    void add_child(std::uint32_t child) {
        children.push_back(child);
        ++first.back();
    }

    friend bool operator==(const SymbolGraph&, const SymbolGraph&) = default;
};

struct CanonicalGraph {
    SymbolGraph canonical;                // one node per class, in order of first appearance
    std::vector<std::uint32_t> class_of;  // input node -> index of its class in canonical
    // Set when no two canonical nodes share a symbol and children, so that common-
    // subexpression elimination would leave the graph unchanged.
    bool deduplicated = false;
};

// A canonicalisation with the proofs of its merges: every union is a step of `proofs`,
// whose ids name input node i as added[i].
struct ProvedGraph {
    CanonicalGraph graph;
    eqsat::ProofLog proofs;
    std::vector<eqsat::Id> added;
};

class RewriteEngine {
public:
    virtual ~RewriteEngine() = default;
    virtual CanonicalGraph canonicalize(const SymbolGraph& graph) const = 0;
    // The same classes, with proofs; the plain form keeps nothing for them.
    virtual ProvedGraph canonicalize_proved(const SymbolGraph& graph) const = 0;
};

class SaturationEngine final : public RewriteEngine {
public:
    SaturationEngine();
    ~SaturationEngine() override;
    SaturationEngine(const SaturationEngine&) = delete;
    SaturationEngine& operator=(const SaturationEngine&) = delete;

    CanonicalGraph canonicalize(const SymbolGraph& graph) const override;
    ProvedGraph canonicalize_proved(const SymbolGraph& graph) const override;

    std::size_t iter_limit() const noexcept { return iter_limit_; }

private:
    struct Rules;
    CanonicalGraph run(const SymbolGraph& graph, ProvedGraph* proved) const;
    std::unique_ptr<Rules> rules_;
    std::size_t iter_limit_ = 12;
};

}  // namespace corvane
