#include "optimizer/engine.hpp"

#include <chrono>
#include <memory>
#include <optional>
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
#include "optimizer/flat_index.hpp"
#include "optimizer/rules.hpp"

namespace corvane {

namespace {

constexpr std::size_t kMatchLimit = 1000;
constexpr std::size_t kBanLength = 5;
constexpr std::chrono::duration<double> kTimeLimit{5.0};
// A class with no canonical node yet.

}  // namespace

struct SaturationEngine::Rules {
    std::vector<eqsat::Rewrite> rewrites;
};

SaturationEngine::SaturationEngine() : rules_(std::make_unique<Rules>(Rules{rewrite_rules()})) {}

SaturationEngine::~SaturationEngine() = default;

namespace {

// The e-graph's batch add checks the child offsets and that children come first.
void check_preconditions(const SymbolGraph& graph) {
    const std::size_t n = graph.size();
    if (graph.non_op.size() != n) internal_fault("engine graph arrays have inconsistent lengths");
    for (std::uint32_t out : graph.outputs) {
        if (out >= n)
            internal_fault("engine graph output " + std::to_string(out) + " is not a node");
    }
}

// The hash-consed e-graph of the input: equal operators over equal classes share a class
// from the start. ids[i] receives the class of node i.
eqsat::EGraph build_egraph(const SymbolGraph& graph, std::vector<eqsat::Id>& ids, bool prove) {
    const std::size_t n = graph.size();
    const std::size_t child_total = graph.children.size();
    eqsat::EGraph egraph;
    if (prove) egraph.record_proofs();
    egraph.reserve(n + n / 4, child_total + child_total / 4);
    ids.assign(n, 0);
    egraph.add_batch(graph.ops, graph.first, graph.children, ids);
    return egraph;
}

// What emit reads of the e-graph once the run is over, so that the e-graph can be freed
// before the canonical graph is written.
struct RunClasses {
    std::size_t ids = 0;      // the e-graph's id count
    std::size_t classes = 0;  // its number of classes
};

// One node per class, represented by its smallest input index and listed in order of
// first appearance, so children always precede their users. roots[i] is node i's class.
CanonicalGraph emit(const SymbolGraph& graph, const RunClasses& run,
                    const std::vector<eqsat::Id>& roots) {
    const std::size_t n = graph.size();
    CanonicalGraph result;
    std::vector<std::uint32_t> canonical_of(run.ids, kNoIndex);
    result.class_of.resize(n);
    SymbolGraph& out = result.canonical;
    out.ops.reserve(run.classes);
    out.non_op.reserve(run.classes);
    out.first.reserve(run.classes + 1);
    out.children.reserve(graph.children.size());
    for (std::size_t i = 0; i < n; ++i) {
        const eqsat::Id cls = roots[i];
        if (canonical_of[cls] == kNoIndex) {
            canonical_of[cls] = static_cast<std::uint32_t>(out.size());
            out.add_node(graph.ops[i], graph.non_op[i] != 0);
            for (std::uint32_t c : graph.children_of(i)) out.add_child(result.class_of[c]);
        }
        result.class_of[i] = canonical_of[cls];
    }
    out.outputs.reserve(graph.outputs.size());
    for (std::uint32_t o : graph.outputs) out.outputs.push_back(result.class_of[o]);
    return result;
}

}  // namespace

CanonicalGraph SaturationEngine::canonicalize(const SymbolGraph& graph) const {
    return run(graph, nullptr);
}

ProvedGraph SaturationEngine::canonicalize_proved(const SymbolGraph& graph) const {
    ProvedGraph proved;
    proved.graph = run(graph, &proved);
    return proved;
}

CanonicalGraph SaturationEngine::run(const SymbolGraph& graph, ProvedGraph* proved) const {
    check_preconditions(graph);
    try {
        std::vector<eqsat::Id> ids;
        std::optional<eqsat::Runner> running(std::in_place);
        eqsat::Runner& runner = *running;
        runner.with_egraph(build_egraph(graph, ids, proved != nullptr))
            .with_iter_limit(iter_limit_)
            .with_node_limit(4 * graph.size() + 1024)
            .with_time_limit(kTimeLimit)
            .with_scheduler(std::make_unique<eqsat::BackoffScheduler>(kMatchLimit, kBanLength));
        // Whatever state the e-graph is in when the runner stops is used.
        runner.run(rules_->rewrites);
        if (proved != nullptr) {
            proved->proofs = runner.egraph().take_proofs();
            proved->added = ids;
        }
        // Only each node's class is read from here on: resolved, the e-graph goes before
        // the canonical graph is written, so the two are never live at once.
        const eqsat::EGraph& egraph = runner.egraph();
        for (eqsat::Id& id : ids) id = egraph.find(id);
        const RunClasses classes{egraph.id_count(), egraph.number_of_classes()};
        // A rebuilt (clean) e-graph is closed under congruence: two members with one symbol
        // over the same classes are in one class. A node's emitted children are exactly its
        // children's classes, so no two emitted nodes coincide. Only a run cut short by the
        // time limit inside a rebuild stops unclean; its classes are sound but CSE must run.
        const bool deduplicated = egraph.clean();
        running.reset();
        CanonicalGraph result = emit(graph, classes, ids);
        result.deduplicated = deduplicated;
        return result;
    } catch (const eqsat::Error& e) {
        internal_fault(e.what());
    }
}

}  // namespace corvane
