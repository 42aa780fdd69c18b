// The rewrite engine: the canonicalisation step of a reduction. An EngineGraph is the
// token-keyed form of a graph; an engine merges nodes that its rules prove equal and
// returns one node per class. SaturationEngine runs equality saturation over twelve
// fixed rules (commutativity of eight operators, four identity laws).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

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

struct Canonicalized {
    EngineGraph canonical;               // one node per class, in order of first appearance
    std::vector<std::size_t> class_of;   // input node -> index of its class in canonical
};

class RewriteEngine {
public:
    virtual ~RewriteEngine() = default;
    virtual Canonicalized canonicalize(const EngineGraph& graph) const = 0;
};

class SaturationEngine final : public RewriteEngine {
public:
    SaturationEngine();
    ~SaturationEngine() override;
    SaturationEngine(const SaturationEngine&) = delete;
    SaturationEngine& operator=(const SaturationEngine&) = delete;

    Canonicalized canonicalize(const EngineGraph& graph) const override;

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

// The four identity tokens and eight commutative operator names, in rule order.
extern const char* const kIdentityTokens[4];
extern const char* const kCommutativeNames[8];

}  // namespace corvane
