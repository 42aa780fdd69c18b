#include "support/store_probe.hpp"

#include "store_inner.hpp"

namespace corvane {

void GraphStoreProbe::run_locked(const GraphStore& store, const std::function<void()>& fn) {
    store.inner_->with_lock([&](const GraphStore::Inner&) { fn(); });
}

}  // namespace corvane
