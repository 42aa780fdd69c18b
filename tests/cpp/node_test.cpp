#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "node.hpp"

namespace corvane {
namespace {

// Parameter maps sort by key bytes, keeping duplicate keys in the order supplied: the
// short-map path and the long-map path must agree with a stable sort.
TEST(ParamMap, SortsByKeyStably) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, int>> in;
    };
    std::vector<std::pair<std::string, int>> many;
    for (int i = 0; i < 40; ++i)
        many.emplace_back(std::string(1, static_cast<char>('a' + (i * 7) % 5)), i);
    const Case cases[] = {
        {"empty", {}},
        {"one", {{"k", 1}}},
        {"sorted", {{"a", 1}, {"b", 2}, {"c", 3}}},
        {"reversed", {{"c", 1}, {"b", 2}, {"a", 3}}},
        {"duplicates keep their order", {{"b", 1}, {"a", 2}, {"b", 3}, {"a", 4}, {"b", 5}}},
        {"prefix first", {{"ab", 1}, {"a", 2}, {"", 3}}},
        {"bytes compare unsigned", {{"\xc3\xa9", 1}, {"z", 2}, {"A", 3}}},
        {"long map with duplicates", many},
    };
    for (const Case& c : cases) {
        std::vector<ParamMap::Entry> entries;
        for (const auto& [k, v] : c.in) entries.emplace_back(k, ParamValue::of_int(v));
        std::vector<std::pair<std::string, int>> expected = c.in;
        std::stable_sort(expected.begin(), expected.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });

        const ParamMap map(std::move(entries));
        std::vector<std::pair<std::string, int>> got;
        for (const auto& [k, v] : map) got.emplace_back(k, static_cast<int>(v.as_int()));
        EXPECT_EQ(got, expected) << c.name;
    }
}

}  // namespace
}  // namespace corvane
