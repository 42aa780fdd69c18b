// Feeds arbitrary bytes to the blob reader. Every input must end in a store or a decode
// error; a store must write, read back and write again to the same bytes, which catches
// any disagreement between the writer and the reader.
#include <cstddef>
#include <cstdint>
#include <span>

#include "blob.hpp"
#include "store.hpp"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvane;
    auto store = deserialize(std::span<const std::uint8_t>(data, size));
    if (!store) {
        check(!store.error().message().empty());
        return 0;
    }
    const auto first = serialize_marked(*store);
    check(first.has_value());
    auto again = deserialize(*first);
    check(again.has_value());
    const GraphStore::TableSnapshot a = store->table_snapshot();
    const GraphStore::TableSnapshot b = again->table_snapshot();
    check(a.nodes.keys() == b.nodes.keys() && a.outputs == b.outputs);
    const auto second = serialize_marked(*again);
    check(second.has_value() && *second == *first);
    return 0;
}
