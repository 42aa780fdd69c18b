#include "op_token.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <iostream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/keys.hpp"
#include "token.hpp"

namespace corvane {
namespace {

using namespace corvane::testing;

constexpr std::uint64_t kSeed = 0x5EED0042ULL;

struct Accepted {
    std::string_view text;
    std::string_view kind;
    std::string_view name;
    std::vector<ParamMap::Entry> params;  // in expected (sorted) order
};

TEST(ParseOpToken, Accepts) {
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    for (const Accepted& c : std::vector<Accepted>{
             {"op|add|scalar=f0000000000000000;side=sr",
              "op",
              "add",
              {{"scalar", F(0.0)}, {"side", S("r")}}},
             {"red|sum", "red", "sum", {}},
             {"op|sum|", "op", "sum", {}},
             {"op|", "op", "", {}},
             {"op||", "op", "", {}},
             {"op|f|a=i+7", "op", "f", {{"a", I(7)}}},
             {"op|f|a=i-0;b=i007", "op", "f", {{"a", I(0)}, {"b", I(7)}}},
             {"op|f|a=i-9223372036854775808", "op", "f", {{"a", I(kMin)}}},
             {"op|f|a=i9223372036854775807", "op", "f", {{"a", I(kMax)}}},
             {"op|f|a=f3FF0000000000000", "op", "f", {{"a", F(1.0)}}},
             {"op|f|a=f+1", "op", "f", {{"a", F(5e-324)}}},
             {"op|f|a=f0ffffffffffffffff",
              "op",
              "f",
              {{"a", F(std::bit_cast<double>(~std::uint64_t{0}))}}},
             {"op|f|a=f00000000000000000000001", "op", "f", {{"a", F(5e-324)}}},
             {"op|f|a=bfalse", "op", "f", {{"a", B(false)}}},
             {"op|f|a=s", "op", "f", {{"a", S("")}}},
             {"op|f|=sx", "op", "f", {{"", S("x")}}},
             {"op|f%7Cg|k%3Dx=sa%3Bb", "op", "f|g", {{"k=x", S("a;b")}}},
             {"op|f|a=sx=y|z", "op", "f", {{"a", S("x=y|z")}}},
             {"op|f|b=i1;a=i2", "op", "f", {{"a", I(2)}, {"b", I(1)}}},
             {"op|f|k=i2;a=i0;k=i1", "op", "f", {{"a", I(0)}, {"k", I(2)}, {"k", I(1)}}}}) {
        const auto parsed = parse_op_token(c.text);
        ASSERT_TRUE(parsed) << c.text;
        EXPECT_EQ(parsed->kind, c.kind) << c.text;
        EXPECT_EQ(parsed->name, c.name) << c.text;
        // Compare entry by entry, so a mis-sorted expectation cannot be hidden by the
        // constructor's sort.
        EXPECT_EQ(parsed->params.entries(), c.params) << c.text;
    }
}

TEST(ParseOpToken, KeepsNaNPayloadBits) {
    const auto parsed = parse_op_token("op|f|a=ffff0000000000123");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(parsed->params.entries()[0].second.as_float()),
              0xfff0000000000123ULL);
}

TEST(ParseOpToken, Rejects) {
    for (std::string_view text : {"",
                                  "op",
                                  "src|a",
                                  "stage|3",
                                  "ext|k|h|f|v|s|-",
                                  "exch",
                                  "join|how=sinner",
                                  "OP|a",
                                  "op |a",
                                  " op|a",
                                  "opx|a",
                                  "re|a",
                                  "op|f|a=i1;",
                                  "op|f|;a=i1",
                                  "op|f|a",
                                  "op|f|a=i1;;b=i2",
                                  "op|f|a=x1",
                                  "op|f|a=",
                                  "op|f|a=I1",
                                  "op|f|a=S",
                                  "op|f|a=i",
                                  "op|f|a=i-",
                                  "op|f|a=i+",
                                  "op|f|a=i+-1",
                                  "op|f|a=i1 ",
                                  "op|f|a=i0x1",
                                  "op|f|a=i9223372036854775808",
                                  "op|f|a=i-9223372036854775809",
                                  "op|f|a=i99999999999999999999",
                                  "op|f|a=f",
                                  "op|f|a=f+",
                                  "op|f|a=f-1",
                                  "op|f|a=f0x1",
                                  "op|f|a=fg",
                                  "op|f|a=f1.0",
                                  "op|f|a=f10000000000000000",
                                  "op|f|a=fFFFFFFFFFFFFFFFF0",
                                  "op|f|a=bTrue",
                                  "op|f|a=b",
                                  "op|f|a=btrue1",
                                  "op|f|a=b1"}) {
        EXPECT_FALSE(parse_op_token(text)) << text;
    }
}

std::string random_text(std::mt19937_64& rng, std::string_view alphabet, std::size_t max_len) {
    std::string s(rng() % (max_len + 1), ' ');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
}

ParamValue random_value(std::mt19937_64& rng) {
    switch (rng() % 5) {
    case 0:
        return I(static_cast<std::int64_t>(rng()));
    case 1:
        return F(std::bit_cast<double>(rng()));  // any pattern, NaNs included
    case 2:
        return F(std::numeric_limits<double>::quiet_NaN());
    case 3:
        return B(rng() % 2 == 0);
    default:
        return S(random_text(rng, "%;=|ab7C3DB-", 6));
    }
}

TEST(ParseOpToken, ReadsBackRandomOpAndReductionTokens) {
    std::cout << "seed " << kSeed << "\n";
    std::mt19937_64 rng(kSeed);
    for (int n = 0; n < 20000; ++n) {
        std::vector<ParamMap::Entry> entries;
        for (std::uint64_t i = rng() % 4; i > 0; --i) {
            std::string key = random_text(rng, "%;=|ab", 3);
            entries.emplace_back(std::move(key), random_value(rng));
        }
        std::string name = random_text(rng, "%;=|ab7C", 5);
        ParamMap params(std::move(entries));
        const bool is_op = rng() % 2 == 0;
        const NodeKey key = is_op ? NodeKey(node::Op{name, params, {0}})
                                  : NodeKey(node::Reduction{name, params, {0}});
        const std::string tok = token(key);
        const auto parsed = parse_op_token(tok);
        ASSERT_TRUE(parsed) << tok;
        EXPECT_EQ(parsed->kind, is_op ? "op" : "red");
        EXPECT_EQ(parsed->name, name) << tok;
        EXPECT_EQ(parsed->params, params) << tok;
    }
}

// Random texts, and random one-byte edits of valid tokens, never crash the parser; an
// accepted text reads back the same after re-tokenising.
TEST(ParseOpToken, SurvivesRandomText) {
    std::cout << "seed " << kSeed << "\n";
    std::mt19937_64 rng(kSeed);
    const std::string_view alphabet = "opred|=;%+-ibfs0179aAfF7CtrueTx \xff";
    const std::vector<std::string> seeds = {"op|add|scalar=f0000000000000000;side=sr",
                                            "red|sum|axis=i-1;keep=btrue", "op|f%7Cg|k%3Dx=sa%3Bb"};
    int accepted = 0;
    for (int n = 0; n < 300000; ++n) {
        std::string text;
        if (n % 2 == 0) {
            text = random_text(rng, alphabet, 24);
        } else {
            text = seeds[rng() % seeds.size()];
            for (std::uint64_t edits = 1 + rng() % 3; edits > 0; --edits) {
                const std::size_t at = rng() % (text.size() + 1);
                const char c = alphabet[rng() % alphabet.size()];
                switch (rng() % 3) {
                case 0:
                    text.insert(at, 1, c);
                    break;
                case 1:
                    if (at < text.size()) text.erase(at, 1);
                    break;
                default:
                    if (at < text.size()) text[at] = c;
                    break;
                }
            }
        }
        const auto parsed = parse_op_token(text);
        if (!parsed) continue;
        ++accepted;
        const NodeKey again = parsed->kind == "op"
                                  ? NodeKey(node::Op{parsed->name, parsed->params, {}})
                                  : NodeKey(node::Reduction{parsed->name, parsed->params, {}});
        const auto reparsed = parse_op_token(token(again));
        ASSERT_TRUE(reparsed) << text;
        ASSERT_EQ(reparsed->kind, parsed->kind) << text;
        ASSERT_EQ(reparsed->name, parsed->name) << text;
        ASSERT_EQ(reparsed->params, parsed->params) << text;
    }
    EXPECT_GT(accepted, 1000);
}

}  // namespace
}  // namespace corvane
