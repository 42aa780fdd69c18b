#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "blob.hpp"
#include "support/keys.hpp"
#include "support/store_keys.hpp"

namespace corvane {
namespace {

using namespace corvane::testing;

using Blob = std::vector<std::uint8_t>;

// Builds blobs field by field, little-endian, independently of the writer.
struct Bytes {
    Blob b;
    Bytes& raw(std::string_view s) {
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    Bytes& u8(std::uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Bytes& le(std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Bytes& u32(std::uint32_t v) { return le(v, 4); }
    Bytes& u64(std::uint64_t v) { return le(v, 8); }
    Bytes& str(std::string_view s) { return u32(static_cast<std::uint32_t>(s.size())).raw(s); }
    Bytes& header(std::uint32_t nodes) { return raw("CIR1").u32(nodes); }
    Bytes& source(std::string_view name) { return u8(0).str(name).u32(0); }
    // An Op without parameters.
    Bytes& op(std::string_view name, std::vector<std::uint64_t> inputs) {
        u8(1).str(name).u32(0).u32(static_cast<std::uint32_t>(inputs.size()));
        for (std::uint64_t id : inputs) u64(id);
        return *this;
    }
    Bytes& outputs(std::vector<std::uint64_t> ids) {
        u32(static_cast<std::uint32_t>(ids.size()));
        for (std::uint64_t id : ids) u64(id);
        return *this;
    }
    operator Blob() const { return b; }
};

GraphStore store_of(const std::vector<NodeKey>& keys, const std::vector<NodeId>& marks = {}) {
    GraphStore s;
    for (const NodeKey& k : keys) EXPECT_TRUE(testing::intern(s, k).has_value());
    for (NodeId id : marks) EXPECT_TRUE(s.mark_output(id).has_value());
    return s;
}

Blob write(const GraphStore& s) {
    auto blob = serialize_marked(s);
    EXPECT_TRUE(blob.has_value());
    return blob.value_or(Blob{});
}

GraphStore read(const Blob& blob) {
    auto s = deserialize(blob);
    if (!s) ADD_FAILURE() << "decode failed: " << s.error().message();
    return s ? std::move(*s) : GraphStore{};
}

const Blob kWorkedExample = Bytes()
                                .header(2)
                                .source("x")
                                .u8(1)
                                .str("neg")
                                .u32(1)
                                .str("k")
                                .u8(0)
                                .u64(3)
                                .u32(1)
                                .u64(0)
                                .outputs({1});

const std::vector<NodeKey> kWorkedKeys = {source("x"),
                                          op("neg", {0}, ParamMap({{"k", ParamValue::of_int(3)}}))};

TEST(Blob, WorkedExampleBothWays) {
    ASSERT_EQ(kWorkedExample.size(), 68u);
    GraphStore s = store_of(kWorkedKeys, {1});
    EXPECT_EQ(write(s), kWorkedExample);
    const NodeId one = 1;
    EXPECT_EQ(serialize_with(s, {&one, 1}).value(), kWorkedExample);

    GraphStore back = read(kWorkedExample);
    EXPECT_EQ(testing::keys_of(back), kWorkedKeys);
    EXPECT_EQ(back.outputs(), std::vector<NodeId>{1});
    EXPECT_EQ(write(back), kWorkedExample);
}

TEST(Blob, StageRecordBothWays) {
    const Blob stage_record = Bytes().u8(4).u32(1).u64(0).u32(1).str("op|neg").u32(1).u8(0).u32(0);
    ASSERT_EQ(stage_record.size(), 36u);
    Blob blob = Bytes().header(2).source("x");
    blob.insert(blob.end(), stage_record.begin(), stage_record.end());
    blob.insert(blob.end(), 4, 0);  // no outputs

    const std::vector<NodeKey> keys = {source("x"),
                                       node::Stage{{0}, {StageOp{"op|neg", {StageRef::input(0)}}}}};
    EXPECT_EQ(write(store_of(keys)), blob);
    EXPECT_EQ(testing::keys_of(read(blob)), keys);
}

// The reader's records borrow the blob's bytes only while it runs: the store it returns
// owns every string.
TEST(Blob, ReadStoreOutlivesItsBytes) {
    const std::vector<NodeKey> keys = {
        source("a much longer source name than fits in place"),
        op("f", {0}, ParamMap({{"s", ParamValue::of_str("value text")}})),
        node::External{{"kind", "hash", "fw", "1", "io", "pre"}, {}, {1}},
        node::Stage{
            {1, 2},
            {StageOp{"op|f", {StageRef::input(1)}}, StageOp{"op|g", {StageRef::member(0)}}}}};
    auto bytes = std::make_unique<Blob>(write(store_of(keys, {3})));
    const Blob copy = *bytes;
    GraphStore back = read(*bytes);
    std::fill(bytes->begin(), bytes->end(), std::uint8_t{0xEE});
    bytes.reset();
    EXPECT_EQ(testing::keys_of(back), keys);
    EXPECT_EQ(write(back), copy);
}

TEST(Blob, EmptyStoreIsTwelveBytes) {
    const Blob empty = Bytes().header(0).u32(0);
    EXPECT_EQ(write(GraphStore{}), empty);
    GraphStore back = read(empty);
    EXPECT_EQ(back.node_count(), 0u);
    EXPECT_TRUE(back.outputs().empty());
}

struct ErrorCase {
    const char* name;
    Blob bytes;
    DecodeError error;
    const char* message;
};

// In reading order; several cases check that an element error comes before the
// shortfall of a count announced ahead of it.
TEST(Blob, DecodeErrors) {
    const auto truncated = DecodeError::truncated();
    const char* kTrunc = "truncated corvane IR blob";
    const Bytes one_source = Bytes().header(1).source("x");
    const Bytes two_sources = Bytes().header(3).source("x").source("y");
    const Bytes stage_head = Bytes().header(2).source("x").u8(4).u32(1).u64(0);
    const std::vector<ErrorCase> cases = {
        {"empty", {}, truncated, kTrunc},
        {"three bytes", Bytes().raw("CIR"), truncated, kTrunc},
        {"other magic", Bytes().raw("CIRX"), DecodeError::bad_magic(),
         "not a corvane IR blob (bad magic/version)"},
        {"other version", Bytes().raw("CIR2").u32(0).u32(0), DecodeError::bad_magic(),
         "not a corvane IR blob (bad magic/version)"},
        {"magic only", Bytes().raw("CIR1"), truncated, kTrunc},
        {"short count", Bytes().raw("CIR1").u8(0).u8(0).u8(0), truncated, kTrunc},
        {"missing record", Bytes().header(1), truncated, kTrunc},
        {"huge node count", Bytes().header(0xFFFFFFFF).source("x"), truncated, kTrunc},
        {"node tag 7", Bytes().header(1).u8(7), DecodeError::bad_tag("node", 7),
         "invalid node tag 7"},
        {"node tag 255", Bytes().header(1).u8(255), DecodeError::bad_tag("node", 255),
         "invalid node tag 255"},
        {"short name", Bytes().header(1).u8(0).u32(5).raw("ab"), truncated, kTrunc},
        {"huge name length", Bytes().header(1).u8(0).u32(0xFFFFFFFF).raw("abcd"), truncated,
         kTrunc},
        {"invalid utf-8 name", Bytes().header(1).u8(0).str("a\xff"), DecodeError::bad_utf8(),
         "invalid utf-8 in corvane IR blob"},
        {"huge param count", Bytes().header(1).u8(0).str("x").u32(0xFFFFFFFF).raw("abcd"),
         truncated, kTrunc},
        {"param tag 4", Bytes().header(1).u8(0).str("x").u32(1).str("k").u8(4),
         DecodeError::bad_tag("param", 4), "invalid param tag 4"},
        {"param tag before shortfall", Bytes().header(1).u8(0).str("x").u32(3).str("k").u8(9),
         DecodeError::bad_tag("param", 9), "invalid param tag 9"},
        {"short float", Bytes().header(1).u8(0).str("x").u32(1).str("k").u8(1).raw("1234567"),
         truncated, kTrunc},
        {"missing bool", Bytes().header(1).u8(0).str("x").u32(1).str("k").u8(2), truncated, kTrunc},
        {"invalid utf-8 value",
         Bytes().header(1).u8(0).str("x").u32(1).str("k").u8(3).str("\xc0\x80"),
         DecodeError::bad_utf8(), "invalid utf-8 in corvane IR blob"},
        {"input to itself", Bytes().header(1).op("f", {0}).outputs({}),
         DecodeError::node_ref_out_of_range(0), "node reference 0 out of range"},
        {"input to a later node", Bytes(two_sources).op("f", {0, 1, 2}).outputs({}),
         DecodeError::node_ref_out_of_range(2), "node reference 2 out of range"},
        {"bad input before shortfall",
         Bytes(two_sources).u8(1).str("f").u32(0).u32(9).u64(0).u64(7),
         DecodeError::node_ref_out_of_range(7), "node reference 7 out of range"},
        {"huge input count", Bytes(two_sources).u8(6).u32(0).u32(0xFFFFFFFF).u64(0), truncated,
         kTrunc},
        {"missing presence byte",
         Bytes().header(1).u8(3).str("k").str("h").str("f").str("v").str("io"), truncated, kTrunc},
        {"stage-ref tag 2", Bytes(stage_head).u32(1).str("op|neg").u32(1).u8(2).u32(0),
         DecodeError::bad_tag("stage-ref", 2), "invalid stage-ref tag 2"},
        {"member 0 refers to member 0", Bytes(stage_head).u32(1).str("op|neg").u32(1).u8(1).u32(0),
         DecodeError::node_ref_out_of_range(0), "node reference 0 out of range"},
        {"member 1 refers to member 1",
         Bytes(stage_head).u32(2).str("op|a").u32(0).str("op|b").u32(2).u8(1).u32(0).u8(1).u32(1),
         DecodeError::node_ref_out_of_range(1), "node reference 1 out of range"},
        {"short ref index", Bytes(stage_head).u32(1).str("op|neg").u32(1).u8(0).u8(0).u8(0),
         truncated, kTrunc},
        {"huge member count", Bytes(stage_head).u32(0xFFFFFFFF).raw("abcdefgh"), truncated, kTrunc},
        {"huge ref count", Bytes(stage_head).u32(1).str("t").u32(0xFFFFFFFF).u8(0).u32(0),
         truncated, kTrunc},
        {"missing output count", one_source, truncated, kTrunc},
        {"output equals node count", Bytes(one_source).outputs({0, 1}),
         DecodeError::node_ref_out_of_range(1), "node reference 1 out of range"},
        {"short output id", Bytes(one_source).u32(1).u32(0), truncated, kTrunc},
        {"huge output count", Bytes(one_source).u32(0xFFFFFFFF).u64(0), truncated, kTrunc},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto result = deserialize(c.bytes);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), c.error);
        EXPECT_EQ(result.error().message(), c.message);
    }
}

TEST(Blob, StrictUtf8) {
    const std::vector<std::string> valid = {"",
                                            "plain ascii, long enough for a word",
                                            std::string("nul\0inside", 10),
                                            "\xc3\xa9",
                                            "abcdefg\xc3\xa9",
                                            "\xe2\x82\xac",
                                            "\xed\x9f\xbf",
                                            "\xee\x80\x80",
                                            "\xf0\x9d\x84\x9e",
                                            "\xf4\x8f\xbf\xbf"};
    const std::vector<std::string> invalid = {"\x80",
                                              "abcdefgh\x80",
                                              "\xc0\x80",
                                              "\xc1\xbf",
                                              "\xc3",
                                              "abcdefg\xc3",
                                              "\xe2\x82",
                                              "\xe2\x28\xa1",
                                              "\xe0\x80\x80",
                                              "\xe0\x9f\xbf",
                                              "\xed\xa0\x80",
                                              "\xed\xbf\xbf",
                                              "\xf0\x80\x80\x80",
                                              "\xf0\x8f\xbf\xbf",
                                              "\xf0\x9d\x84",
                                              "\xf4\x90\x80\x80",
                                              "\xf5\x80\x80\x80",
                                              "\xff"};
    for (const std::string& s : valid) {
        SCOPED_TRACE(::testing::PrintToString(s));
        auto result = deserialize(Blob(Bytes().header(1).source(s).outputs({})));
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(testing::keys_of(*result)[0].as<node::Source>().name, s);
    }
    for (const std::string& s : invalid) {
        SCOPED_TRACE(::testing::PrintToString(s));
        auto result = deserialize(Blob(Bytes().header(1).source(s).outputs({})));
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), DecodeError::bad_utf8());
    }
}

TEST(Blob, LenientInputsAreReadAndWrittenCanonically) {
    struct Case {
        const char* name;
        Blob foreign;
        std::vector<NodeKey> keys;
    };
    const std::vector<Case> cases = {
        {"trailing bytes", Bytes().header(1).source("x").outputs({}).raw("junk"), {source("x")}},
        {"unsorted params, duplicate key kept in order",
         Bytes()
             .header(1)
             .u8(0)
             .str("x")
             .u32(3)
             .str("k")
             .u8(0)
             .u64(1)
             .str("a")
             .u8(2)
             .u8(1)
             .str("k")
             .u8(0)
             .u64(2)
             .outputs({}),
         {source("x", ParamMap({{"a", ParamValue::of_bool(true)},
                                {"k", ParamValue::of_int(1)},
                                {"k", ParamValue::of_int(2)}}))}},
        {"bool byte 7",
         Bytes().header(1).u8(0).str("x").u32(1).str("b").u8(2).u8(7).outputs({}),
         {source("x", ParamMap({{"b", ParamValue::of_bool(true)}}))}},
        {"presence byte 9",
         Bytes()
             .header(1)
             .u8(3)
             .str("k")
             .str("h")
             .str("f")
             .str("v")
             .str("io")
             .u8(9)
             .str("")
             .u32(0)
             .u32(0)
             .outputs({}),
         {node::External{{"k", "h", "f", "v", "io", ""}, {}, {}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GraphStore back = read(c.foreign);
        EXPECT_EQ(testing::keys_of(back), c.keys);
        EXPECT_EQ(write(back), write(store_of(c.keys)));
    }
}

TEST(Blob, RepeatedOutputIdsAreWrittenTwiceAndMarkedOnce) {
    GraphStore s = store_of({source("a"), source("b"), source("c"), op("f", {0, 2})});
    const std::vector<NodeId> outs = {3, 3};
    const Blob twice = serialize_with(s, outs).value();
    GraphStore back = read(twice);
    EXPECT_EQ(back.outputs(), std::vector<NodeId>{3});
    const Blob once = write(back);
    EXPECT_EQ(once.size() + 8, twice.size());
    EXPECT_EQ(Blob(once.end() - 12, once.end()), Blob(Bytes().outputs({3})));
}

// A foreign blob that repeats a record: later references name record positions and are
// resolved through the ids the earlier records interned to.
TEST(Blob, RepeatedRecordsResolveThroughInternedIds) {
    const Bytes records = Bytes()
                              .header(6)
                              .source("x")          // position 0 -> id 0
                              .source("x")          // position 1 -> id 0 (repeat)
                              .op("f", {1})         // position 2 -> id 1
                              .op("g", {2, 0})      // position 3 -> id 2
                              .op("f", {0})         // position 4 -> id 1 (same key as 2)
                              .op("h", {4, 3, 1});  // position 5 -> id 3
    GraphStore back = read(Bytes(records).outputs({5, 3, 4, 2, 1}));
    const std::vector<NodeKey> expected = {source("x"), op("f", {0}), op("g", {1, 0}),
                                           op("h", {1, 2, 0})};
    EXPECT_EQ(testing::keys_of(back), expected);
    EXPECT_EQ(back.outputs(), (std::vector<NodeId>{3, 2, 1, 0}));

    auto past = deserialize(Blob(Bytes(records).outputs({6})));
    ASSERT_FALSE(past.has_value());
    EXPECT_EQ(past.error(), DecodeError::node_ref_out_of_range(6));
}

TEST(Blob, FloatBitsArePreservedBothWays) {
    for (std::uint64_t bits : {0x7ff0000000000001ULL, 0xfff8000000000123ULL, 0x7ff8000000000000ULL,
                               0x8000000000000000ULL, 0x0000000000000001ULL}) {
        SCOPED_TRACE(bits);
        GraphStore s = store_of(
            {source("x", ParamMap({{"f", ParamValue::of_float(std::bit_cast<double>(bits))}}))});
        const Blob blob = write(s);
        const Blob expected =
            Bytes().header(1).u8(0).str("x").u32(1).str("f").u8(1).u64(bits).outputs({});
        EXPECT_EQ(blob, expected);
        const ParamValue v = testing::keys_of(read(blob))[0].params().entries()[0].second;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(std::get<double>(v.storage())), bits);
    }
}

TEST(Blob, StageReferenceIndexMustFitInU32) {
    auto stage = [](std::uint64_t index) {
        return std::vector<NodeKey>{source("x"),
                                    node::Stage{{0}, {StageOp{"op|f", {StageRef::input(index)}}}}};
    };
    const auto too_big = stage(std::uint64_t{1} << 32);
    EXPECT_FALSE(serialize_nodes(too_big, {}).has_value());
    EXPECT_FALSE(serialize_with(store_of(too_big), {}).has_value());
    // The largest index is representable; an Input index is not checked by the reader.
    const auto largest = stage(0xFFFFFFFFULL);
    const Blob blob = serialize_nodes(largest, {}).value();
    EXPECT_EQ(testing::keys_of(read(blob)), largest);
}

// Random stores with every node kind, odd floats, empty and non-ASCII strings.
class RandomStore {
public:
    explicit RandomStore(std::uint64_t seed) : rng_(seed) {}

    GraphStore make() {
        GraphStore s;
        const std::uint64_t nodes = below(40);
        for (std::uint64_t i = 0; i < nodes; ++i) {
            EXPECT_TRUE(testing::intern(s, key(s.node_count())).has_value());
        }
        const std::uint64_t count = s.node_count();
        for (std::uint64_t i = 0, marks = count ? below(4) : 0; i < marks; ++i) {
            EXPECT_TRUE(s.mark_output(below(count)).has_value());
        }
        return s;
    }

private:
    std::uint64_t below(std::uint64_t n) { return rng_() % n; }

    std::string text() {
        static const std::string pieces[] = {"a",
                                             "op",
                                             "=",
                                             ";",
                                             "|",
                                             "%",
                                             "\xc3\xa9",
                                             "\xe2\x82\xac",
                                             "\xf0\x9d\x84\x9e",
                                             " ",
                                             std::string(1, '\0')};
        std::string s;
        for (std::uint64_t n = below(5); n > 0; --n) s += pieces[below(std::size(pieces))];
        return s;
    }

    ParamValue value() {
        static const std::uint64_t floats[] = {0x0ULL,
                                               0x8000000000000000ULL,
                                               0x7ff8000000000000ULL,
                                               0xfff0000000000abcULL,
                                               0x7ff0000000000000ULL,
                                               0x3ff0000000000000ULL};
        switch (below(4)) {
        case 0:
            return ParamValue::of_int(static_cast<std::int64_t>(rng_()));
        case 1:
            return ParamValue::of_float(
                std::bit_cast<double>(below(2) ? floats[below(std::size(floats))] : rng_()));
        case 2:
            return ParamValue::of_bool(below(2) == 1);
        default:
            return ParamValue::of_str(text());
        }
    }

    ParamMap params() {
        std::vector<ParamMap::Entry> entries;
        for (std::uint64_t n = below(4); n > 0; --n) entries.emplace_back(text(), value());
        return ParamMap(std::move(entries));
    }

    std::vector<NodeId> inputs(std::uint64_t count) {
        std::vector<NodeId> ids;
        if (count == 0) return ids;
        for (std::uint64_t n = below(4); n > 0; --n) ids.push_back(below(count));
        return ids;
    }

    NodeKey key(std::uint64_t count) {
        switch (below(7)) {
        case 0:
            return node::Source{text(), params()};
        case 1:
            return node::Op{text(), params(), inputs(count)};
        case 2:
            return node::Reduction{text(), params(), inputs(count)};
        case 3: {
            PayloadDescriptor d{text(), text(), text(), text(), text(), std::nullopt};
            if (below(2)) d.preprocessing_ref = text();
            return node::External{std::move(d), params(), inputs(count)};
        }
        case 4: {
            node::Stage st{inputs(count), {}};
            for (std::uint64_t m = 0, n = 1 + below(3); m < n; ++m) {
                StageOp member{"op|" + text(), {}};
                for (std::uint64_t r = below(3); r > 0; --r) {
                    if (m > 0 && below(2)) {
                        member.inputs.push_back(StageRef::member(below(m)));
                    } else {
                        member.inputs.push_back(StageRef::input(below(st.inputs.size() + 1)));
                    }
                }
                st.members.push_back(std::move(member));
            }
            return st;
        }
        case 5:
            return node::Exchange{params(), inputs(count)};
        default:
            return node::Join{params(), inputs(count)};
        }
    }

    std::mt19937_64 rng_;
};

TEST(Blob, RandomStoresRoundTripByteForByte) {
    const std::uint64_t seed = 20240611;
    RecordProperty("seed", std::to_string(seed));
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomStore gen(seed);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("store " + std::to_string(round));
        GraphStore original = gen.make();
        const Blob blob = write(original);
        GraphStore back = read(blob);
        const testing::Snapshot a = testing::snapshot(original);
        const testing::Snapshot b = testing::snapshot(back);
        ASSERT_EQ(b.arena, a.arena);
        ASSERT_EQ(b.outputs, a.outputs);
        ASSERT_EQ(write(back), blob);
        // Every strict prefix of a valid blob is truncated, never anything else.
        for (std::size_t len = 0; round < 40 && len < blob.size(); ++len) {
            auto cut = deserialize(std::span(blob).first(len));
            ASSERT_FALSE(cut.has_value()) << "prefix " << len;
            ASSERT_EQ(cut.error(), DecodeError::truncated()) << "prefix " << len;
        }
    }
}

}  // namespace
}  // namespace corvane
