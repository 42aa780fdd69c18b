#include "optimizer/rules.hpp"

#include <span>
#include <utility>

#include "eqsat/error.hpp"
#include "fault.hpp"
#include "node.hpp"
#include "token.hpp"

namespace corvane {

namespace {

// The symbol of an Op named `name` with `params` (in map order); inputs never appear.
std::string op_symbol(std::string_view name, std::span<const ParamEntryView> params = {}) {
    NodeView op;
    op.kind = NodeKey::Kind::Op;
    op.name = name;
    op.params = params;
    return optimizer_symbol(op);
}

}  // namespace

const std::array<std::string, kIdentityRules.size()>& identity_symbols() {
    static const auto symbols = [] {
        std::array<std::string, kIdentityRules.size()> out;
        for (std::size_t i = 0; i < kIdentityRules.size(); ++i) {
            const IdentityRule& rule = kIdentityRules[i];
            const std::string_view scalar = "scalar";
            const std::string_view side = "side";
            const ParamEntryView params[] = {
                {scalar.data(), scalar.size(), ParamValue::Kind::Float, rule.scalar_bits, nullptr,
                 0},
                {side.data(), side.size(), ParamValue::Kind::Str, 0, rule.side.data(),
                 rule.side.size()},
            };
            out[i] = op_symbol(rule.op, params);
        }
        return out;
    }();
    return symbols;
}

std::vector<eqsat::Rewrite> rewrite_rules() {
    std::vector<eqsat::Rewrite> rules;
    rules.reserve(kCommutativeNames.size() + kIdentityRules.size());
    try {
        for (std::string_view name : kCommutativeNames) {
            const std::string op = op_symbol(name);
            rules.push_back(eqsat::Rewrite::parse("commute-" + std::string(name),
                                                  "(" + op + " ?a ?b)", "(" + op + " ?b ?a)"));
        }
        for (std::size_t i = 0; i < kIdentityRules.size(); ++i) {
            rules.push_back(eqsat::Rewrite::parse("identity-" + std::to_string(i),
                                                  "(" + identity_symbols()[i] + " ?x)", "?x"));
        }
    } catch (const eqsat::Error& e) {
        internal_fault(e.what());
    }
    return rules;
}

}  // namespace corvane
