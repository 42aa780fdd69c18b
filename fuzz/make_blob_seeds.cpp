// Writes the blob fuzzer's seed corpus: a few small writer-produced blobs that between
// them hold every node kind, every parameter kind and both stage reference kinds.
//   blob_seeds DIR
#include <bit>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "blob.hpp"

namespace {

using namespace corvane;

bool write_seed(const std::string& dir, const char* name, const std::vector<NodeKey>& keys,
                const std::vector<NodeId>& outputs) {
    NodeTable table;
    ViewScratch scratch;
    for (const NodeKey& key : keys) table.append(view_of(key, scratch));
    auto blob = serialize_table(table, outputs);
    if (!blob) return false;
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(blob->data()),
              static_cast<std::streamsize>(blob->size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const ParamMap mixed({{"i", ParamValue::of_int(-7)},
                          {"f", ParamValue::of_float(std::bit_cast<double>(0xfff8000000000123ULL))},
                          {"z", ParamValue::of_float(-0.0)},
                          {"b", ParamValue::of_bool(true)},
                          {"s", ParamValue::of_str("a;b=c|\xc3\xa9")}});
    const node::Stage stage{{0, 1},
                            {StageOp{"op|neg", {StageRef::input(0)}},
                             StageOp{"op|add|scalar=i1", {StageRef::member(0), StageRef::input(1)}},
                             StageOp{"red|sum", {StageRef::member(1)}}}};
    const node::External with_ref{{"model", "sha256:00", "torch", "2.1", "{}", ""}, {}, {0}};
    const node::External without_ref{{"model", "", "", "", "", std::nullopt}, mixed, {}};

    bool ok = true;
    ok &= write_seed(dir, "empty", {}, {});
    ok &= write_seed(
        dir, "source-op",
        {node::Source{"x", {}}, node::Op{"neg", ParamMap({{"k", ParamValue::of_int(3)}}), {0}}},
        {1});
    ok &= write_seed(
        dir, "every-kind",
        {node::Source{"x", mixed}, node::Source{"\xf0\x9d\x84\x9e", {}},
         node::Op{"add", {}, {0, 0}}, node::Reduction{"sum", {}, {2}}, with_ref, without_ref, stage,
         node::Exchange{ParamMap({{"by", ParamValue::of_str("k")}}), {3}}, node::Join{{}, {7, 4}}},
        {8, 6, 8});
    if (!ok) {
        std::fprintf(stderr, "could not write the seeds to %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
