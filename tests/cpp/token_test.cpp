#include "token.hpp"
#include "label.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/keys.hpp"

namespace corvane {
namespace {

using namespace corvane::testing;

constexpr std::uint64_t kSeed = 0xC0FFEE1234ULL;

PayloadDescriptor descriptor(std::optional<std::string> ref) {
    return {"model", "abc123", "torch", "2.1", "schema", std::move(ref)};
}

// The documented four whole-string passes, used as the reference for the one-scan
// decoder.
std::string unescape_reference(std::string s) {
    for (auto [code, ch] : {std::pair{"%7C", "|"}, {"%3D", "="}, {"%3B", ";"}, {"%25", "%"}}) {
        std::string out;
        std::size_t start = 0;
        for (std::size_t i; (i = s.find(code, start)) != std::string::npos; start = i + 3) {
            out.append(s, start, i - start).append(ch);
        }
        s = out.append(s, start);
    }
    return s;
}

std::string random_text(std::mt19937_64& rng, std::string_view alphabet, std::size_t max_len) {
    std::string s(rng() % (max_len + 1), ' ');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
}

TEST(Escape, Table) {
    struct Case {
        std::string_view raw, escaped;
    };
    for (const Case& c : std::vector<Case>{{"", ""},
                                           {"add", "add"},
                                           {"a|b", "a%7Cb"},
                                           {"50%", "50%25"},
                                           {"%;=|", "%25%3B%3D%7C"},
                                           {"%7C", "%257C"}}) {
        EXPECT_EQ(escape_token(c.raw), c.escaped) << c.raw;
        EXPECT_EQ(unescape_token(c.escaped), c.raw) << c.escaped;
    }
}

TEST(Unescape, DecodesOnlyUpperCaseCodesOneLevel) {
    struct Case {
        std::string_view in, out;
    };
    for (const Case& c : std::vector<Case>{{"plain", "plain"},
                                           {"%2525", "%25"},
                                           {"%7c%3d%3b", "%7c%3d%3b"},
                                           {"%", "%"},
                                           {"ab%3", "ab%3"},
                                           {"%%7C", "%|"},
                                           {"%41%20", "%41%20"}}) {
        EXPECT_EQ(unescape_token(c.in), c.out) << c.in;
    }
}

TEST(Escape, RandomRoundTripAndReferenceDecoder) {
    std::cout << "seed " << kSeed << "\n";
    std::mt19937_64 rng(kSeed);
    for (int n = 0; n < 20000; ++n) {
        std::string s = random_text(rng, "%;=|2537BCDbcd-a", 12);
        std::string e = escape_token(s);
        ASSERT_EQ(unescape_token(e), s) << s;
        ASSERT_EQ(e.find_first_of(";=|"), std::string::npos) << e;
        ASSERT_EQ(unescape_token(s), unescape_reference(s)) << s;
    }
}

TEST(ValueToken, Table) {
    struct Case {
        ParamValue value;
        std::string_view token;
    };
    const double payload_nan = std::bit_cast<double>(0xfff0000000000123ULL);
    for (const Case& c :
         std::vector<Case>{{I(42), "i42"},
                           {I(-5), "i-5"},
                           {I(std::numeric_limits<std::int64_t>::min()), "i-9223372036854775808"},
                           {F(0.0), "f0000000000000000"},
                           {F(-0.0), "f8000000000000000"},
                           {F(1.0), "f3ff0000000000000"},
                           {F(std::numeric_limits<double>::quiet_NaN()), "f7ff8000000000000"},
                           {F(payload_nan), "f7ff8000000000000"},
                           {F(5e-324), "f0000000000000001"},
                           {ParamValue::of_bool(true), "btrue"},
                           {ParamValue::of_bool(false), "bfalse"},
                           {S("r"), "sr"},
                           {S("a=b"), "sa%3Db"},
                           {S(""), "s"}}) {
        EXPECT_EQ(token(c.value), c.token);
    }
}

struct KeyCase {
    NodeKey key;
    std::string_view token;
    std::string_view label;
};

std::vector<KeyCase> key_cases() {
    const ParamMap add_params = params({{"side", S("r")}, {"scalar", F(0.0)}});
    return {
        {node::Op{"add", add_params, {0}}, "op|add|scalar=f0000000000000000;side=sr",
         "Op add {scalar=0, side=\"r\"}"},
        {node::Op{"mul", params({{"scalar", F(1.0)}, {"side", S("r")}}), {}},
         "op|mul|scalar=f3ff0000000000000;side=sr", "Op mul {scalar=1, side=\"r\"}"},
        {node::Op{"f", {}, {1, 1}}, "op|f", "Op f"},
        {node::Op{"", {}, {}}, "op|", "Op "},
        {node::Op{"a|b;c=d%", {}, {}}, "op|a%7Cb%3Bc%3Dd%25", "Op a|b;c=d%"},
        {node::Op{"f", params({{"a=b", I(1)}}), {}}, "op|f|a%3Db=i1", "Op f {a=b=1}"},
        {node::Op{"f", params({{"b", I(1)}, {"a", I(2)}}), {}}, "op|f|a=i2;b=i1",
         "Op f {a=2, b=1}"},
        {node::Source{"x", {}}, "src|x", "Source x"},
        {node::Source{"x", params({{"n", ParamValue::of_bool(true)}})}, "src|x|n=btrue",
         "Source x {n=true}"},
        {node::Reduction{"sum", params({{"axis", I(-1)}}), {0}}, "red|sum|axis=i-1",
         "Reduction sum {axis=-1}"},
        {node::External{descriptor(std::nullopt), {}, {}}, "ext|model|abc123|torch|2.1|schema|-",
         "External model:abc123 [torch 2.1]"},
        {node::External{descriptor("-"), params({{"k", S("v")}}), {}},
         "ext|model|abc123|torch|2.1|schema|-|k=sv", "External model:abc123 [torch 2.1] {k=\"v\"}"},
        {node::Stage{{0}, {{"op|a", {StageRef::input(0)}}}}, "stage|1", "Stage[1 members]"},
        {node::Stage{{}, std::vector<StageOp>(3)}, "stage|3", "Stage[3 members]"},
        {node::Exchange{{}, {}}, "exch", "Exchange"},
        {node::Join{params({{"how", S("inner")}}), {0, 1}}, "join|how=sinner",
         "Join {how=\"inner\"}"},
    };
}

TEST(KeyToken, TokensAndLabels) {
    for (const KeyCase& c : key_cases()) {
        EXPECT_EQ(token(c.key), c.token);
        EXPECT_EQ(label(c.key), c.label);
    }
}

TEST(OptimizerSymbol, EqualsTokenWhereTokenIdentifiesTheNode) {
    for (const KeyCase& c : key_cases()) {
        const auto k = c.key.kind();
        if (k == NodeKey::Kind::Stage || k == NodeKey::Kind::External) continue;
        EXPECT_EQ(optimizer_symbol(c.key), c.token);
    }
}

TEST(OptimizerSymbol, SeparatesNodesWhoseTokensCollide) {
    struct Pair {
        NodeKey a, b;
    };
    auto ext = [](PayloadDescriptor d) { return NodeKey(node::External{std::move(d), {}, {}}); };
    PayloadDescriptor bar1{"a|b", "c", "f", "v", "s", std::nullopt};
    PayloadDescriptor bar2{"a", "b|c", "f", "v", "s", std::nullopt};
    for (const Pair& p : std::vector<Pair>{{node::Stage{{0}, {{"op|a", {StageRef::input(0)}}}},
                                            node::Stage{{0}, {{"op|b", {StageRef::input(0)}}}}},
                                           {node::Stage{{0}, {{"op|a", {StageRef::input(0)}}}},
                                            node::Stage{{0}, {{"op|a", {StageRef::member(0)}}}}},
                                           {ext(descriptor(std::nullopt)), ext(descriptor("-"))},
                                           {ext(bar1), ext(bar2)}}) {
        EXPECT_EQ(token(p.a), token(p.b));
        EXPECT_NE(optimizer_symbol(p.a), optimizer_symbol(p.b)) << optimizer_symbol(p.a);
    }
    EXPECT_EQ(optimizer_symbol(node::Stage{{4, 5}, {{"op|a|k=sx", {StageRef::input(1)}}}}),
              "stage|1|op%7Ca%7Ck%3Dsx=i1");
    EXPECT_EQ(optimizer_symbol(ext(descriptor("r=1"))), "ext|model|abc123|torch|2.1|schema|=r%3D1");
}

// Random keys over a tiny alphabet of separator-heavy texts, so that distinct keys with
// similar encodings are common.
NodeKey random_key(std::mt19937_64& rng) {
    auto text = [&] { return random_text(rng, "|=;-%a", 3); };
    auto opt_text = [&]() -> std::optional<std::string> {
        if (rng() % 3 == 0) return std::nullopt;
        return text();
    };
    auto pmap = [&] {
        std::vector<ParamMap::Entry> e;
        for (std::uint64_t i = rng() % 3; i > 0; --i) {
            std::string k = text();
            e.emplace_back(std::move(k),
                           rng() % 2 ? S(text()) : I(static_cast<std::int64_t>(rng() % 3)));
        }
        return ParamMap(std::move(e));
    };
    std::vector<NodeId> inputs;
    if (rng() % 2) inputs.push_back(rng() % 2);
    switch (rng() % 7) {
    case 0:
        return node::Source{text(), pmap()};
    case 1:
        return node::Op{text(), pmap(), inputs};
    case 2:
        return node::Reduction{text(), pmap(), inputs};
    case 3:
        return node::External{{text(), text(), text(), text(), text(), opt_text()}, pmap(), inputs};
    case 4: {
        std::vector<StageOp> members(rng() % 3);
        for (StageOp& m : members) {
            m.op_token = text();
            for (std::uint64_t i = rng() % 3; i > 0; --i) {
                m.inputs.push_back(
                    {rng() % 2 ? StageRef::Kind::Input : StageRef::Kind::Member, rng() % 2});
            }
        }
        return node::Stage{inputs, members};
    }
    case 5:
        return node::Exchange{pmap(), inputs};
    default:
        return node::Join{pmap(), inputs};
    }
}

TEST(OptimizerSymbol, RandomKeysShareSymbolExactlyWhenEqualApartFromInputs) {
    std::cout << "seed " << kSeed << "\n";
    std::mt19937_64 rng(kSeed);
    std::vector<NodeKey> keys;
    std::vector<std::string> symbols;
    for (int n = 0; n < 1500; ++n) {
        keys.push_back(random_key(rng));
        symbols.push_back(optimizer_symbol(keys.back()));
        if (keys.back().kind() != NodeKey::Kind::Op) {
            ASSERT_FALSE(symbols.back().starts_with("op|")) << symbols.back();
        }
    }
    int collisions = 0;
    for (std::size_t a = 0; a < keys.size(); ++a) {
        for (std::size_t b = a + 1; b < keys.size(); ++b) {
            const bool same_node = with_inputs(keys[a], {}) == with_inputs(keys[b], {});
            collisions += same_node ? 1 : 0;
            ASSERT_EQ(symbols[a] == symbols[b], same_node) << symbols[a] << " / " << symbols[b];
        }
    }
    EXPECT_GT(collisions, 0);  // the generator does produce equal nodes
}

TEST(Display, FloatTable) {
    struct Case {
        double value;
        std::string_view text;
    };
    for (const Case& c : std::vector<Case>{{1.0, "1"},
                                           {0.5, "0.5"},
                                           {-2.25, "-2.25"},
                                           {0.1, "0.1"},
                                           {123456.789, "123456.789"},
                                           {1e21, "1000000000000000000000"},
                                           {1e-7, "0.0000001"},
                                           {0.0, "0"},
                                           {-0.0, "-0"},
                                           {std::numeric_limits<double>::quiet_NaN(), "NaN"},
                                           {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
                                           {std::numeric_limits<double>::infinity(), "inf"},
                                           {-std::numeric_limits<double>::infinity(), "-inf"}}) {
        EXPECT_EQ(display(c.value), c.text);
    }
    EXPECT_EQ(display(5e-324), "0." + std::string(323, '0') + "5");
    EXPECT_EQ(display(std::numeric_limits<double>::max()).size(), 309u);
}

TEST(Display, RandomFloatsRoundTripInPositionalForm) {
    std::cout << "seed " << kSeed << "\n";
    std::mt19937_64 rng(kSeed);
    for (int n = 0; n < 100000; ++n) {
        const double v = std::bit_cast<double>(rng());
        if (!std::isfinite(v)) continue;
        const std::string text = display(v);
        ASSERT_EQ(text.find_first_not_of("-0123456789."), std::string::npos) << text;
        const double back = std::strtod(text.c_str(), nullptr);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(v)) << text;
    }
}

TEST(Display, QuotedStrings) {
    struct Case {
        std::string_view raw, shown;
    };
    using namespace std::string_view_literals;
    for (const Case& c : std::vector<Case>{
             {"", "\"\""},
             {"a\\b\"c", R"("a\\b\"c")"},
             {"\t\r\n\0"sv, R"("\t\r\n\0")"},
             {"\x01\x1b\x7f", R"("\u{1}\u{1b}\u{7f}")"},
             {"caf\u00e9 \u4e2d \U0001F600", "\"caf\u00e9 \u4e2d \U0001F600\""},
             {"\u0085\u00ad\u200b\u202e\ufeff\uffff",
              R"("\u{85}\u{ad}\u{200b}\u{202e}\u{feff}\u{ffff}")"},
             {"a\xff", R"("a\xff")"},
             {"\xc0\xaf\xed\xa0\x80\xf4\x90\xe4\xb8", R"("\xc0\xaf\xed\xa0\x80\xf4\x90\xe4\xb8")"},
             {"op|f|a=s", "\"op|f|a=s\""}}) {
        EXPECT_EQ(quoted(c.raw), c.shown);
    }
    EXPECT_EQ(display(S("x\ny")), R"("x\ny")");
}

TEST(Display, ParamMap) {
    EXPECT_EQ(display(ParamMap{}), "{}");
    EXPECT_EQ(display(params({{"z", ParamValue::of_bool(false)}, {"a;b", F(-1.5)}, {"m", I(7)}})),
              "{a;b=-1.5, m=7, z=false}");
}

// Tokens of every length, some past the capacity the builder's scratch buffer keeps,
// equal the concatenation of their parts; so does a short token built after a long one.
TEST(Token, LongTokensIntact) {
    for (std::size_t name_len : {0u, 1u, 200u, 256u, 257u, 600u, 5000u, 3u}) {
        for (std::size_t value_len : {0u, 3u, 250u, 300u}) {
            const std::string name(name_len, 'n');
            std::string value(value_len, 'v');
            if (value_len > 2) value[value_len / 2] = '|';
            const NodeKey key =
                node::Op{name,
                         ParamMap({{"k", ParamValue::of_str(value)}, {"z", ParamValue::of_int(7)}}),
                         {0}};
            const std::string expected = "op|" + name + "|k=s" + escape_token(value) + ";z=i7";
            EXPECT_EQ(token(key), expected) << name_len << " " << value_len;
            EXPECT_EQ(optimizer_symbol(key), expected) << name_len << " " << value_len;
        }
    }
    const std::string long_text(1000, '%');
    EXPECT_EQ(escape_token(long_text).size(), 3000u);
    EXPECT_EQ(unescape_token(escape_token(long_text)), long_text);
}

}  // namespace
}  // namespace corvane
