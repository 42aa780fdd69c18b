// E-nodes: an operator symbol over an ordered list of e-class ids. ENode owns its
// children; NodeRef is a cheap view (into an e-graph or a buffer). Both compare and order
// by symbol, then children lexicographically.
#pragma once

#include <algorithm>
#include <compare>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "eqsat/symbol.hpp"

namespace corvane::eqsat {

// An e-class id: handed out 0, 1, 2, ... in creation order and never reused.
using Id = std::uint32_t;

struct NodeRef {
    Symbol op;
    std::span<const Id> children;

    friend bool operator==(NodeRef a, NodeRef b) noexcept {
        return a.op == b.op && std::ranges::equal(a.children, b.children);
    }
    friend std::strong_ordering operator<=>(NodeRef a, NodeRef b) noexcept {
        if (auto c = a.op <=> b.op; c != 0) return c;
        return std::lexicographical_compare_three_way(a.children.begin(), a.children.end(),
                                                      b.children.begin(), b.children.end());
    }
};

struct ENode {
    Symbol op;
    std::vector<Id> children;

    ENode() = default;
    explicit ENode(Symbol o, std::vector<Id> c = {}) : op(o), children(std::move(c)) {}
    ENode(std::string_view o, std::vector<Id> c) : op(o), children(std::move(c)) {}
    explicit ENode(NodeRef ref) : op(ref.op), children(ref.children.begin(), ref.children.end()) {}

    NodeRef ref() const noexcept { return {op, children}; }
    operator NodeRef() const noexcept { return ref(); }

    friend bool operator==(const ENode& a, const ENode& b) noexcept { return a.ref() == b.ref(); }
    friend std::strong_ordering operator<=>(const ENode& a, const ENode& b) noexcept {
        return a.ref() <=> b.ref();
    }
};

}  // namespace corvane::eqsat
