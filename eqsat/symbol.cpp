#include "eqsat/symbol.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <ostream>
#include <shared_mutex>
#include <vector>

#include "eqsat/error.hpp"

namespace corvane::eqsat {

namespace {

// Texts are stored once as [32-bit length][bytes] in chunks that are never moved or freed.
class TextArena {
public:
    const char* store(std::string_view text) {
        if (text.size() > std::numeric_limits<std::uint32_t>::max()) fail("symbol text is too long");
        const std::size_t need = sizeof(std::uint32_t) + text.size();
        if (need > left_) {
            const std::size_t size = std::max(kChunk, need);
            chunks_.push_back(std::make_unique_for_overwrite<char[]>(size));
            next_ = chunks_.back().get();
            left_ = size;
        }
        const auto length = static_cast<std::uint32_t>(text.size());
        char* out = next_;
        std::memcpy(out, &length, sizeof length);
        if (!text.empty()) std::memcpy(out + sizeof length, text.data(), text.size());
        next_ += need;
        left_ -= need;
        return out;
    }

    static std::string_view view(const char* stored) noexcept {
        std::uint32_t length = 0;
        std::memcpy(&length, stored, sizeof length);
        return {stored + sizeof length, length};
    }

private:
    static constexpr std::size_t kChunk = 64 * 1024;
    std::vector<std::unique_ptr<char[]>> chunks_;
    char* next_ = nullptr;
    std::size_t left_ = 0;
};

// One of the table's shards: an open-addressing set of texts with their ids, guarded by a
// reader-writer lock so that lookups of known texts only share it.
class Shard {
public:
    Shard() : slots_(kMinSlots) {}

    // Requires the lock, shared or exclusive.
    std::uint32_t find(std::string_view text, std::uint64_t hash) const noexcept {
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = (hash >> 4) & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (slot.text == nullptr) return kAbsent;
            if (slot.tag == tag && TextArena::view(slot.text) == text) return slot.id;
        }
    }

    // Requires the exclusive lock and `text` to be absent; returns the stored copy.
    const char* insert(std::string_view text, std::uint64_t hash, std::uint32_t id) {
        const char* stored = arena_.store(text);
        if (2 * (count_ + 1) > slots_.size()) grow();
        place({static_cast<std::uint32_t>(hash >> 32), id, stored}, hash);
        ++count_;
        return stored;
    }

    std::shared_mutex& mutex() const noexcept { return mutex_; }

    // Requires the lock: start loading the slot where a lookup of `hash` begins, or the
    // text that slot points to (once the slot itself has arrived).
    void prefetch_slot(std::uint64_t hash) const noexcept {
        __builtin_prefetch(slots_.data() + ((hash >> 4) & (slots_.size() - 1)));
    }
    void prefetch_text(std::uint64_t hash) const noexcept {
        const Slot& slot = slots_[(hash >> 4) & (slots_.size() - 1)];
        if (slot.text != nullptr) __builtin_prefetch(slot.text);
    }

    static constexpr std::uint32_t kAbsent = std::numeric_limits<std::uint32_t>::max();

private:
    struct Slot {
        std::uint32_t tag = 0;
        std::uint32_t id = 0;
        const char* text = nullptr;  // null: empty
    };
    static constexpr std::size_t kMinSlots = 64;

    void place(const Slot& slot, std::uint64_t hash) noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = (hash >> 4) & mask;
        while (slots_[i].text != nullptr) i = (i + 1) & mask;
        slots_[i] = slot;
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (slot.text != nullptr) place(slot, std::hash<std::string_view>{}(TextArena::view(slot.text)));
        }
    }

    mutable std::shared_mutex mutex_;
    std::vector<Slot> slots_;  // power-of-two size, at most half full
    std::size_t count_ = 0;
    TextArena arena_;
};

// Ids map to their stored texts through blocks that never move: block k holds
// kBase << k entries, so 23 blocks cover every 32-bit id. A block pointer is published
// once (release) and read with acquire; an entry is written before its id is handed out
// under a shard lock, so whoever holds an id sees its entry.
constexpr std::uint32_t kBaseBits = 10;
constexpr std::size_t kBlocks = 33 - kBaseBits;
constexpr std::size_t kShards = 16;

struct Place {
    std::size_t block;
    std::size_t offset;
};

Place place_of(std::uint32_t id) noexcept {
    const std::uint64_t q = (std::uint64_t{id} >> kBaseBits) + 1;
    const auto block = static_cast<std::size_t>(std::bit_width(q) - 1);
    const std::uint64_t start = ((std::uint64_t{1} << block) - 1) << kBaseBits;
    return {block, static_cast<std::size_t>(id - start)};
}

class Table {
public:
    Table() { intern(std::string_view{}); }

    std::uint32_t intern(std::string_view text) {
        const std::uint64_t hash = std::hash<std::string_view>{}(text);
        Shard& shard = shards_[hash % kShards];
        {
            std::shared_lock lock(shard.mutex());
            if (const std::uint32_t id = shard.find(text, hash); id != Shard::kAbsent) return id;
        }
        std::unique_lock lock(shard.mutex());
        if (const std::uint32_t id = shard.find(text, hash); id != Shard::kAbsent) return id;
        const std::uint32_t id = next_id_.fetch_add(1, std::memory_order_relaxed);
        if (id >= Shard::kAbsent) fail("symbol table is full");
        const char*& entry = entry_of(id);
        entry = shard.insert(text, hash, id);
        return id;
    }

    void intern_all(std::span<const std::string_view> texts, std::span<Symbol> out) {
        // Known texts are looked up with every shard shared-locked (always in shard order;
        // a writer holds one shard only), so that lookups can run ahead of each other:
        // slots are requested kAhead texts in advance, their texts half as far.
        constexpr std::size_t kBatch = 4096;
        constexpr std::size_t kAhead = 16;
        std::vector<std::uint64_t> hashes;
        std::vector<std::size_t> missing;
        for (std::size_t begin = 0; begin < texts.size(); begin += kBatch) {
            const std::size_t end = std::min(texts.size(), begin + kBatch);
            hashes.clear();
            for (std::size_t i = begin; i < end; ++i) hashes.push_back(std::hash<std::string_view>{}(texts[i]));
            missing.clear();
            {
                std::array<std::shared_lock<std::shared_mutex>, kShards> locks;
                for (std::size_t k = 0; k < kShards; ++k) locks[k] = std::shared_lock(shards_[k].mutex());
                for (std::size_t i = begin; i < end; ++i) {
                    const std::size_t j = i - begin;
                    if (j + kAhead < hashes.size()) {
                        const std::uint64_t h = hashes[j + kAhead];
                        shards_[h % kShards].prefetch_slot(h);
                    }
                    if (j + kAhead / 2 < hashes.size()) {
                        const std::uint64_t h = hashes[j + kAhead / 2];
                        shards_[h % kShards].prefetch_text(h);
                    }
                    const std::uint64_t h = hashes[j];
                    const bool repeat = i > begin && texts[i] == texts[i - 1];
                    const std::uint32_t id = repeat ? out[i - 1].id() : shards_[h % kShards].find(texts[i], h);
                    out[i] = Symbol::from_id(id);
                    if (id == Shard::kAbsent) missing.push_back(i);
                }
            }
            for (std::size_t i : missing) out[i] = Symbol::from_id(intern(texts[i]));
        }
    }

    std::string_view str(std::uint32_t id) const noexcept {
        const Place place = place_of(id);
        const char* const* block = blocks_[place.block].load(std::memory_order_acquire);
        return TextArena::view(block[place.offset]);
    }

    std::size_t count() const noexcept { return next_id_.load(std::memory_order_relaxed); }

private:
    const char*& entry_of(std::uint32_t id) {
        const Place place = place_of(id);
        const char** block = blocks_[place.block].load(std::memory_order_acquire);
        if (block == nullptr) {
            std::lock_guard lock(block_mutex_);
            block = blocks_[place.block].load(std::memory_order_acquire);
            if (block == nullptr) {
                block = new const char*[std::size_t{1} << (place.block + kBaseBits)]();
                blocks_[place.block].store(block, std::memory_order_release);
            }
        }
        return block[place.offset];
    }

    std::array<Shard, kShards> shards_;
    std::array<std::atomic<const char**>, kBlocks> blocks_{};
    std::mutex block_mutex_;
    std::atomic<std::uint32_t> next_id_{0};
};

// Never destroyed: symbols may be rendered by threads still running at exit.
Table& table() {
    static Table* const instance = new Table();
    return *instance;
}

}  // namespace

std::uint32_t Symbol::intern_id(std::string_view text) { return table().intern(text); }

void Symbol::intern_all(std::span<const std::string_view> texts, std::span<Symbol> out) {
    if (out.size() != texts.size()) fail("intern_all needs one output per text");
    table().intern_all(texts, out);
}

std::string_view Symbol::str() const noexcept { return table().str(id_); }

std::ostream& operator<<(std::ostream& out, Symbol symbol) { return out << symbol.str(); }

std::size_t interned_symbol_count() noexcept { return table().count(); }

}  // namespace corvane::eqsat
