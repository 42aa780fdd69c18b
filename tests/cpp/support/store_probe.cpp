#include "support/store_probe.hpp"

#include "store_inner.hpp"

namespace corvane {

void GraphStoreProbe::run_locked(const GraphStore& store, const std::function<void()>& fn) {
    store.inner_->with_lock([&](const GraphStore::Inner&) { fn(); });
}

GraphStoreProbe::Dense GraphStoreProbe::dense(const GraphStore& store) {
    return store.inner_->with_lock([](const GraphStore::Inner& in) {
        return Dense{in.nodes.keys(), in.nodes.strings().size(), in.nodes.strings().byte_size(), in.index.size()};
    });
}

}  // namespace corvane
