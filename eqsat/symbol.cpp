#include "eqsat/symbol.hpp"

#include <array>
#include <atomic>
#include <bit>
#include <limits>
#include <mutex>
#include <ostream>
#include <shared_mutex>
#include <unordered_map>

#include "eqsat/error.hpp"

namespace corvane::eqsat {

namespace {

// The texts live in blocks that never move: block k holds kBase << k strings, so 23
// blocks cover every 32-bit id. A block pointer is published once (release) and read
// with acquire; a text is written before its id is handed out under a shard lock, so a
// reader that holds an id always sees the text.
constexpr std::uint32_t kBaseBits = 10;
constexpr std::size_t kBlocks = 33 - kBaseBits;
// Lookups of known texts take only a shared lock, spread over shards to keep readers
// on different cache lines.
constexpr std::size_t kShards = 16;

struct Slot {
    std::size_t block;
    std::size_t offset;
};

Slot slot_of(std::uint32_t id) noexcept {
    const std::uint64_t q = (std::uint64_t{id} >> kBaseBits) + 1;
    const auto block = static_cast<std::size_t>(std::bit_width(q) - 1);
    const std::uint64_t start = ((std::uint64_t{1} << block) - 1) << kBaseBits;
    return {block, static_cast<std::size_t>(id - start)};
}

std::size_t block_size(std::size_t block) noexcept { return std::size_t{1} << (block + kBaseBits); }

class Table {
public:
    Table() { intern(std::string_view{}); }

    std::uint32_t intern(std::string_view text) {
        const std::size_t hash = std::hash<std::string_view>{}(text);
        Shard& shard = shards_[(hash >> 8) % kShards];
        {
            std::shared_lock lock(shard.mutex);
            if (auto it = shard.ids.find(text); it != shard.ids.end()) return it->second;
        }
        std::unique_lock lock(shard.mutex);
        if (auto it = shard.ids.find(text); it != shard.ids.end()) return it->second;
        const std::uint32_t id = next_id_.fetch_add(1, std::memory_order_relaxed);
        if (id == std::numeric_limits<std::uint32_t>::max()) fail("symbol table is full");
        std::string& stored = text_slot(id);
        stored.assign(text);
        shard.ids.emplace(std::string_view(stored), id);
        count_.fetch_add(1, std::memory_order_relaxed);
        return id;
    }

    std::string_view str(std::uint32_t id) const noexcept {
        const Slot slot = slot_of(id);
        const std::string* block = blocks_[slot.block].load(std::memory_order_acquire);
        return block[slot.offset];
    }

    std::size_t count() const noexcept { return count_.load(std::memory_order_relaxed); }

private:
    struct Shard {
        mutable std::shared_mutex mutex;
        std::unordered_map<std::string_view, std::uint32_t> ids;
    };

    std::string& text_slot(std::uint32_t id) {
        const Slot slot = slot_of(id);
        std::string* block = blocks_[slot.block].load(std::memory_order_acquire);
        if (block == nullptr) {
            std::lock_guard lock(block_mutex_);
            block = blocks_[slot.block].load(std::memory_order_acquire);
            if (block == nullptr) {
                block = new std::string[block_size(slot.block)];
                blocks_[slot.block].store(block, std::memory_order_release);
            }
        }
        return block[slot.offset];
    }

    std::array<Shard, kShards> shards_;
    std::array<std::atomic<std::string*>, kBlocks> blocks_{};
    std::mutex block_mutex_;
    std::atomic<std::uint32_t> next_id_{0};
    std::atomic<std::size_t> count_{0};
};

// Never destroyed: symbols may be rendered by threads still running at exit.
Table& table() {
    static Table* const instance = new Table();
    return *instance;
}

}  // namespace

std::uint32_t Symbol::intern_id(std::string_view text) { return table().intern(text); }

std::string_view Symbol::str() const noexcept { return table().str(id_); }

std::ostream& operator<<(std::ostream& out, Symbol symbol) { return out << symbol.str(); }

std::size_t interned_symbol_count() noexcept { return table().count(); }

}  // namespace corvane::eqsat
