#include "optimizer/engine.hpp"

#include <chrono>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

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

Canonicalized SaturationEngine::canonicalize(const EngineGraph& graph) const {
    try {
        const std::size_t n = graph.nodes.size();
        for (std::size_t out : graph.outputs) {
            if (out >= n) internal_fault("engine graph output " + std::to_string(out) + " is not a node");
        }

        // Hash-consed e-graph of the input: equal operators over equal classes share a
        // class from the start.
        std::size_t child_total = 0;
        for (const EngineNode& node : graph.nodes) child_total += node.children.size();
        eqsat::EGraph egraph;
        egraph.reserve(n + n / 4, child_total + child_total / 4);
        std::vector<eqsat::Id> ids(n);
        std::vector<eqsat::Id> children;
        std::string_view last_op;
        eqsat::Symbol last_symbol;
        for (std::size_t i = 0; i < n; ++i) {
            const EngineNode& node = graph.nodes[i];
            children.clear();
            for (std::size_t c : node.children) {
                if (c >= i) {
                    internal_fault("engine graph node " + std::to_string(i) + " has input " +
                                   std::to_string(c) + " that is not an earlier node");
                }
                children.push_back(ids[c]);
            }
            // Runs of one operator are common; skip the shared table for them.
            if (i == 0 || node.op != last_op) {
                last_symbol = eqsat::Symbol(node.op);
                last_op = node.op;
            }
            ids[i] = egraph.add(last_symbol, children);
        }

        eqsat::Runner runner;
        runner.with_egraph(std::move(egraph))
            .with_iter_limit(iter_limit_)
            .with_node_limit(4 * n + 1024)
            .with_time_limit(kTimeLimit)
            .with_scheduler(std::make_unique<eqsat::BackoffScheduler>(kMatchLimit, kBanLength));
        runner.run(rules_->rewrites);
        const eqsat::EGraph& saturated = runner.egraph();

        // Each class is represented by its smallest input index; canonical nodes appear
        // in order of first appearance, so children always precede their users.
        Canonicalized result;
        std::vector<std::size_t> canonical_of(saturated.id_count(), kUnassigned);
        result.class_of.resize(n);
        result.canonical.nodes.reserve(saturated.number_of_classes());
        for (std::size_t i = 0; i < n; ++i) {
            const eqsat::Id cls = saturated.find(ids[i]);
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
    } catch (const eqsat::Error& e) {
        internal_fault(e.what());
    }
}

}  // namespace corvane
