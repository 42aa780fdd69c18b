// Feeds arbitrary bytes to the blob reader. Every input must end in a store or a decode
// error; a store must write, read back and write again to the same bytes, which catches
// any disagreement between the writer and the reader.
#include <cstddef>
#include <cstdint>
#include <span>

#include "blob.hpp"

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
    const GraphStore::Snapshot a = store->snapshot();
    const GraphStore::Snapshot b = again->snapshot();
    check(a.arena == b.arena && a.outputs == b.outputs);
    const auto second = serialize_marked(*again);
    check(second.has_value() && *second == *first);
    return 0;
}
