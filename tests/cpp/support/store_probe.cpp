#include "support/store_probe.hpp"

#include "store_inner.hpp"

namespace corvane {

void GraphStoreProbe::run_locked(const GraphStore& store, const std::function<void()>& fn) {
    store.inner_->with_lock([&](const GraphStore::Inner&) { fn(); });
}

GraphStoreProbe::Dense GraphStoreProbe::dense(const GraphStore& store) {
    return store.inner_->with_lock([](const GraphStore::Inner& in) {
        return Dense{in.table.nodes().keys(), in.table.nodes().strings().size(),
                     in.table.nodes().strings().byte_size(), in.table.size()};
    });
}

}  // namespace corvane
