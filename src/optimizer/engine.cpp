#include "optimizer/engine.hpp"

#include <chrono>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "eqsat/egraph.hpp"
#include "eqsat/error.hpp"
#include "eqsat/rewrite.hpp"
#include "eqsat/runner.hpp"
#include "eqsat/scheduler.hpp"
#include "eqsat/symbol.hpp"
#include "fault.hpp"

namespace corvane {

const char* const kIdentityTokens[4] = {
    "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
const char* const kCommutativeNames[8] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

namespace {

constexpr std::size_t kMatchLimit = 1000;
constexpr std::size_t kBanLength = 5;
constexpr std::chrono::duration<double> kTimeLimit{5.0};
constexpr std::size_t kUnassigned = std::numeric_limits<std::size_t>::max();
constexpr std::size_t kLookahead = 4;

// Commutativity of each parameterless binary operator, then the four identity laws, in
// that order; pattern texts are parsed like any other.
std::vector<eqsat::Rewrite> build_rules() {
    std::vector<eqsat::Rewrite> rules;
    rules.reserve(std::size(kCommutativeNames) + std::size(kIdentityTokens));
    for (std::string_view name : kCommutativeNames) {
        const std::string op = "op|" + std::string(name);
        rules.push_back(eqsat::Rewrite::parse("commute-" + std::string(name), "(" + op + " ?a ?b)",
                                              "(" + op + " ?b ?a)"));
    }
    for (std::size_t i = 0; i < std::size(kIdentityTokens); ++i) {
        rules.push_back(eqsat::Rewrite::parse("identity-" + std::to_string(i),
                                              "(" + std::string(kIdentityTokens[i]) + " ?x)", "?x"));
    }
    return rules;
}

}  // namespace

struct SaturationEngine::Rules {
    std::vector<eqsat::Rewrite> rewrites;
};

SaturationEngine::SaturationEngine() {
    try {
        rules_ = std::make_unique<Rules>(Rules{build_rules()});
    } catch (const eqsat::Error& e) {
        internal_fault(e.what());
    }
}

SaturationEngine::~SaturationEngine() = default;

std::vector<SaturationEngine::RuleText> SaturationEngine::rule_texts() const {
    std::vector<RuleText> out;
    for (const eqsat::Rewrite& rule : rules_->rewrites) {
        out.push_back({rule.name().to_string(), rule.searcher().to_string(), rule.applier().to_string()});
    }
    return out;
}

namespace {

void check_preconditions(const EngineGraph& graph) {
    const std::size_t n = graph.nodes.size();
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t c : graph.nodes[i].children) {
            if (c >= i) {
                internal_fault("engine graph node " + std::to_string(i) + " has input " + std::to_string(c) +
                               " that is not an earlier node");
            }
        }
    }
    for (std::size_t out : graph.outputs) {
        if (out >= n) internal_fault("engine graph output " + std::to_string(out) + " is not a node");
    }
}

// The hash-consed e-graph of the input: equal operators over equal classes share a class
// from the start. ids[i] receives the class of node i.
eqsat::EGraph build_egraph(const EngineGraph& graph, std::vector<eqsat::Id>& ids) {
    const std::size_t n = graph.nodes.size();
    std::size_t child_total = 0;
    for (const EngineNode& node : graph.nodes) child_total += node.children.size();
    eqsat::EGraph egraph;
    egraph.reserve(n + n / 4, child_total + child_total / 4);

    std::vector<eqsat::Symbol> symbols(n);
    {
        std::vector<std::string_view> ops(n);
        for (std::size_t i = 0; i < n; ++i) ops[i] = graph.nodes[i].op;
        eqsat::Symbol::intern_all(ops, symbols);
    }

    ids.assign(n, 0);
    std::vector<eqsat::Id> children;
    std::vector<eqsat::Id> upcoming;
    for (std::size_t i = 0; i < n; ++i) {
        // The hash-cons slot of a node a few places ahead is a likely cache miss: start
        // loading it now, guessing that the nodes in between all get new ids. The ids of
        // its children were requested one lookahead earlier still.
        if (const std::size_t k = i + 2 * kLookahead; k < n) {
            for (std::size_t c : graph.nodes[k].children) __builtin_prefetch(&ids[c]);
        }
        if (const std::size_t j = i + kLookahead; j < n && graph.nodes[j].children.size() <= 4) {
            upcoming.clear();
            for (std::size_t c : graph.nodes[j].children) {
                upcoming.push_back(c < i ? ids[c] : static_cast<eqsat::Id>(egraph.id_count() + (c - i)));
            }
            egraph.prefetch_add(symbols[j], upcoming);
        }
        children.clear();
        for (std::size_t c : graph.nodes[i].children) children.push_back(ids[c]);
        ids[i] = egraph.add(symbols[i], children);
    }
    return egraph;
}

// One node per class, represented by its smallest input index and listed in order of
// first appearance, so children always precede their users.
Canonicalized emit(const EngineGraph& graph, const eqsat::EGraph& egraph, const std::vector<eqsat::Id>& ids) {
    const std::size_t n = graph.nodes.size();
    Canonicalized result;
    std::vector<std::size_t> canonical_of(egraph.id_count(), kUnassigned);
    result.class_of.resize(n);
    result.canonical.nodes.reserve(egraph.number_of_classes());
    for (std::size_t i = 0; i < n; ++i) {
        if (const std::size_t j = i + kLookahead; j < n) {
            for (std::size_t c : graph.nodes[j].children) __builtin_prefetch(&result.class_of[c]);
        }
        const eqsat::Id cls = egraph.find(ids[i]);
        if (canonical_of[cls] == kUnassigned) {
            const EngineNode& node = graph.nodes[i];
            EngineNode copy;
            copy.op = node.op;
            copy.children.reserve(node.children.size());
            for (std::size_t c : node.children) copy.children.push_back(result.class_of[c]);
            copy.opaque = !copy.op.starts_with("op|");
            canonical_of[cls] = result.canonical.nodes.size();
            result.canonical.nodes.push_back(std::move(copy));
        }
        result.class_of[i] = canonical_of[cls];
    }
    result.canonical.outputs.reserve(graph.outputs.size());
    for (std::size_t out : graph.outputs) result.canonical.outputs.push_back(result.class_of[out]);
    return result;
}

}  // namespace

Canonicalized SaturationEngine::canonicalize(const EngineGraph& graph) const {
    check_preconditions(graph);
    try {
        std::vector<eqsat::Id> ids;
        eqsat::Runner runner;
        runner.with_egraph(build_egraph(graph, ids))
            .with_iter_limit(iter_limit_)
            .with_node_limit(4 * graph.nodes.size() + 1024)
            .with_time_limit(kTimeLimit)
            .with_scheduler(std::make_unique<eqsat::BackoffScheduler>(kMatchLimit, kBanLength));
        // Whatever state the e-graph is in when the runner stops is used.
        runner.run(rules_->rewrites);
        return emit(graph, runner.egraph(), ids);
    } catch (const eqsat::Error& e) {
        internal_fault(e.what());
    }
}

}  // namespace corvane
