#include "optimizer/rules.hpp"

#include <bit>
#include <utility>

#include "eqsat/error.hpp"
#include "fault.hpp"
#include "node.hpp"
#include "token.hpp"

namespace corvane {

namespace {

std::string op_symbol(std::string_view name, ParamMap params) {
    return optimizer_symbol(NodeKey(node::Op{std::string(name), std::move(params), {}}));
}

}  // namespace

const std::array<std::string, kIdentityRules.size()>& identity_symbols() {
    static const auto symbols = [] {
        std::array<std::string, kIdentityRules.size()> out;
        for (std::size_t i = 0; i < kIdentityRules.size(); ++i) {
            const IdentityRule& rule = kIdentityRules[i];
            out[i] = op_symbol(rule.op,
                               ParamMap({{"scalar", ParamValue::of_float(std::bit_cast<double>(rule.scalar_bits))},
                                         {"side", ParamValue::of_str(std::string(rule.side))}}));
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
            const std::string op = op_symbol(name, {});
            rules.push_back(eqsat::Rewrite::parse("commute-" + std::string(name), "(" + op + " ?a ?b)",
                                                  "(" + op + " ?b ?a)"));
        }
        for (std::size_t i = 0; i < kIdentityRules.size(); ++i) {
            rules.push_back(
                eqsat::Rewrite::parse("identity-" + std::to_string(i), "(" + identity_symbols()[i] + " ?x)", "?x"));
        }
    } catch (const eqsat::Error& e) {
        internal_fault(e.what());
    }
    return rules;
}

}  // namespace corvane
