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
#include <tuple>
#include <vector>

#include "eqsat/error.hpp"
#include "eqsat/hash.hpp"

namespace corvane::eqsat {

namespace {

// A symbol's record: [32-bit id][32-bit length][bytes], 4-byte aligned, stored once in
// chunks that are never moved; a record's address stands for its symbol.
std::uint32_t record_id(const char* record) noexcept {
    std::uint32_t id = 0;
    std::memcpy(&id, record, sizeof id);
    return id;
}

std::string_view record_text(const char* record) noexcept {
    std::uint32_t length = 0;
    std::memcpy(&length, record + sizeof(std::uint32_t), sizeof length);
    return {record + 2 * sizeof(std::uint32_t), length};
}

std::uint64_t hash_text(std::string_view text) noexcept {
    return eqsat::hash_text(process_hash_seed(), text);
}

// Chunks grow from `first` bytes, doubling up to `largest`, so that a small job's scope
// takes little memory and a large one few allocations. Freed all at once with the arena.
class RecordArena {
public:
    RecordArena(std::size_t first, std::size_t largest) noexcept
        : next_chunk_(first),
          largest_(largest) {}

    const char* store(std::string_view text, std::uint32_t id) {
        if (text.size() > std::numeric_limits<std::uint32_t>::max() - 8)
            fail("symbol text is too long");
        const std::size_t need = (2 * sizeof(std::uint32_t) + text.size() + 3) & ~std::size_t{3};
        if (need > left_) {
            const std::size_t size = std::max(next_chunk_, need);
            chunks_.push_back(std::make_unique_for_overwrite<char[]>(size));
            next_ = chunks_.back().get();
            left_ = size;
            next_chunk_ = std::min(largest_, 2 * next_chunk_);
        }
        const auto length = static_cast<std::uint32_t>(text.size());
        char* out = next_;
        std::memcpy(out, &id, sizeof id);
        std::memcpy(out + sizeof id, &length, sizeof length);
        if (!text.empty()) std::memcpy(out + 2 * sizeof id, text.data(), text.size());
        next_ += need;
        left_ -= need;
        return out;
    }

private:
    std::vector<std::unique_ptr<char[]>> chunks_;
    char* next_ = nullptr;
    std::size_t left_ = 0;
    std::size_t next_chunk_;
    std::size_t largest_;
};

// Ids are handed out in pages of kPage consecutive ids, each page to one owner (the
// permanent table or a scope), and a scope's pages return to a free list when it ends,
// so the id space stays as large as the symbols alive at once. Each id's entry points to
// its record. Entries sit in blocks that never move: block k holds kPage << k entries,
// so a page never straddles two blocks and 23 blocks cover every 32-bit id. A block
// pointer is published once (release) and read with acquire; an entry is written by its
// page's owner before the id is handed out, so whoever holds a symbol sees its entry.
constexpr std::uint32_t kPageBits = 10;
constexpr std::uint32_t kPage = std::uint32_t{1} << kPageBits;
constexpr std::size_t kBlocks = 33 - kPageBits;
// The last page would hold the id that marks an absent text.
constexpr std::uint32_t kPages = (std::uint32_t{1} << (32 - kPageBits)) - 1;

struct Place {
    std::size_t block;
    std::size_t offset;
};

Place place_of(std::uint32_t id) noexcept {
    const std::uint64_t q = (std::uint64_t{id} >> kPageBits) + 1;
    const auto block = static_cast<std::size_t>(std::bit_width(q) - 1);
    const std::uint64_t start = ((std::uint64_t{1} << block) - 1) << kPageBits;
    return {block, static_cast<std::size_t>(id - start)};
}

class IdSpace {
public:
    // The first id of a page for the caller alone, and where its entries go.
    std::pair<std::uint32_t, const char**> acquire() {
        std::lock_guard lock(mutex_);
        std::uint32_t page = 0;
        if (!free_.empty()) {
            page = free_.back();
            free_.pop_back();
        } else {
            if (next_page_ == kPages) fail("symbol table is full");
            // Room for every page in the free list, so that a release never allocates.
            if (free_.capacity() <= next_page_) free_.reserve(2 * std::size_t{next_page_} + 16);
            page = next_page_++;
        }
        const std::uint32_t first = page << kPageBits;
        const Place place = place_of(first);
        const char** block = blocks_[place.block].load(std::memory_order_relaxed);
        if (block == nullptr) {
            block = new const char*[std::size_t{kPage} << place.block]();
            blocks_[place.block].store(block, std::memory_order_release);
        }
        return {first, block + place.offset};
    }

    void release(std::span<const std::uint32_t> firsts) noexcept {
        std::lock_guard lock(mutex_);
        for (std::uint32_t first : firsts) free_.push_back(first >> kPageBits);
    }

    const char* record(std::uint32_t id) const noexcept {
        const Place place = place_of(id);
        return blocks_[place.block].load(std::memory_order_acquire)[place.offset];
    }

private:
    std::mutex mutex_;
    std::vector<std::uint32_t> free_;
    std::uint32_t next_page_ = 0;
    std::array<std::atomic<const char**>, kBlocks> blocks_{};
};

// One of the permanent table's shards: an open-addressing set of records, guarded by a
// reader-writer lock so that lookups of known texts only share it.
class Shard {
public:
    Shard() : slots_(kMinSlots) {}

    // Requires the lock, shared or exclusive. The record of `text`, or null.
    const char* find(std::string_view text, std::uint64_t hash) const noexcept {
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = (hash >> 4) & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (slot.record == nullptr) return nullptr;
            if (slot.tag == tag && record_text(slot.record) == text) return slot.record;
        }
    }

    // Requires the exclusive lock and `text` to be absent.
    const char* insert(std::string_view text, std::uint64_t hash, std::uint32_t id) {
        if (2 * (count_ + 1) > slots_.size()) grow();
        const char* stored = arena_.store(text, id);
        place({static_cast<std::uint32_t>(hash >> 32), stored}, hash);
        ++count_;
        return stored;
    }

    std::shared_mutex& mutex() const noexcept { return mutex_; }

    // Requires the lock: start loading the slot where a lookup of `hash` begins, or the
    // record that slot points to (once the slot itself has arrived).
    void prefetch_slot(std::uint64_t hash) const noexcept {
        __builtin_prefetch(slots_.data() + ((hash >> 4) & (slots_.size() - 1)));
    }
    void prefetch_record(std::uint64_t hash) const noexcept {
        const Slot& slot = slots_[(hash >> 4) & (slots_.size() - 1)];
        if (slot.record != nullptr) __builtin_prefetch(slot.record);
    }

private:
    struct Slot {
        std::uint32_t tag = 0;
        const char* record = nullptr;  // null: empty
    };
    static constexpr std::size_t kMinSlots = 64;

    void place(const Slot& slot, std::uint64_t hash) noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = (hash >> 4) & mask;
        while (slots_[i].record != nullptr) i = (i + 1) & mask;
        slots_[i] = slot;
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (slot.record != nullptr) place(slot, hash_text(record_text(slot.record)));
        }
    }

    mutable std::shared_mutex mutex_;
    std::vector<Slot> slots_;  // power-of-two size, at most half full
    std::size_t count_ = 0;
    RecordArena arena_{64 * 1024, 64 * 1024};
};

constexpr std::size_t kShards = 16;
constexpr std::size_t kBatch = 4096;  // texts looked up under one taking of the shard locks
constexpr std::size_t kAhead = 16;    // slots are requested this many texts in advance

class Table {
public:
    Table() { intern(std::string_view{}); }

    IdSpace& ids() noexcept { return ids_; }
    const Shard& shard(std::uint64_t hash) const noexcept { return shards_[hash % kShards]; }

    // Every shard shared-locked, always in shard order (a writer holds one shard only).
    std::array<std::shared_lock<std::shared_mutex>, kShards> lock_all() const {
        std::array<std::shared_lock<std::shared_mutex>, kShards> locks;
        for (std::size_t k = 0; k < kShards; ++k) locks[k] = std::shared_lock(shards_[k].mutex());
        return locks;
    }

    std::uint32_t intern(std::string_view text) {
        const std::uint64_t hash = hash_text(text);
        Shard& shard = shards_[hash % kShards];
        {
            std::shared_lock lock(shard.mutex());
            if (const char* record = shard.find(text, hash)) return record_id(record);
        }
        std::unique_lock lock(shard.mutex());
        if (const char* record = shard.find(text, hash)) return record_id(record);
        std::lock_guard page_lock(page_mutex_);
        if (page_used_ == kPage) {
            std::tie(page_first_, page_entries_) = ids_.acquire();
            page_used_ = 0;
        }
        const std::uint32_t id = page_first_ + page_used_;
        page_entries_[page_used_] = shard.insert(text, hash, id);
        ++page_used_;
        count_.fetch_add(1, std::memory_order_relaxed);
        return id;
    }

    void intern_all(std::span<const std::string_view> texts, std::span<Symbol> out) {
        // Known texts are looked up under every shard's shared lock so that lookups can
        // run ahead of each other: slots are requested kAhead texts in advance, their
        // records half as far.
        std::vector<std::uint64_t> hashes;
        std::vector<std::size_t> missing;
        for (std::size_t begin = 0; begin < texts.size(); begin += kBatch) {
            const std::size_t end = std::min(texts.size(), begin + kBatch);
            hashes.clear();
            for (std::size_t i = begin; i < end; ++i) hashes.push_back(hash_text(texts[i]));
            missing.clear();
            {
                const auto locks = lock_all();
                for (std::size_t i = begin; i < end; ++i) {
                    const std::size_t j = i - begin;
                    if (j + kAhead < hashes.size())
                        shard(hashes[j + kAhead]).prefetch_slot(hashes[j + kAhead]);
                    if (j + kAhead / 2 < hashes.size()) {
                        shard(hashes[j + kAhead / 2]).prefetch_record(hashes[j + kAhead / 2]);
                    }
                    if (i > begin && texts[i] == texts[i - 1]) {
                        if (!missing.empty() && missing.back() == i - 1) {
                            missing.push_back(i);
                        } else {
                            out[i] = out[i - 1];
                        }
                        continue;
                    }
                    if (const char* record = shard(hashes[j]).find(texts[i], hashes[j])) {
                        out[i] = Symbol::from_id(record_id(record));
                    } else {
                        missing.push_back(i);
                    }
                }
            }
            for (std::size_t i : missing) out[i] = Symbol::from_id(intern(texts[i]));
        }
    }

    std::size_t count() const noexcept { return count_.load(std::memory_order_relaxed); }

    // Symbols held by live scopes, as they report them.
    std::atomic<std::size_t>& scoped() noexcept { return scoped_; }

private:
    std::array<Shard, kShards> shards_;
    IdSpace ids_;
    std::mutex page_mutex_;  // the permanent table's current page; taken after a shard lock
    std::uint32_t page_first_ = 0;
    const char** page_entries_ = nullptr;
    std::uint32_t page_used_ = kPage;
    std::atomic<std::size_t> count_{0};
    std::atomic<std::size_t> scoped_{0};
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

std::string_view Symbol::str() const noexcept { return record_text(table().ids().record(id_)); }

std::ostream& operator<<(std::ostream& out, Symbol symbol) { return out << symbol.str(); }

std::size_t interned_symbol_count() noexcept {
    Table& t = table();
    return t.count() + t.scoped().load(std::memory_order_relaxed);
}

// A scope's own index maps every text it has met to a record: its own for texts it
// holds, the permanent table's for the others. Slots keep the full hash, so growing
// never rehashes a text.
struct SymbolScope::State {
    struct Slot {
        std::uint64_t hash = 0;
        const char* record = nullptr;  // null: empty
    };

    Table& shared = table();
    std::vector<Slot> slots = std::vector<Slot>(64);  // power-of-two size, at most half full
    std::size_t used = 0;
    std::size_t own = 0;
    std::size_t reported = 0;  // own symbols added to the table's scoped count
    RecordArena arena{4 * 1024, 64 * 1024};
    std::vector<std::uint32_t> pages;  // first id of each page
    const char** page_entries = nullptr;
    std::uint32_t page_used = kPage;

    ~State() {
        shared.ids().release(pages);
        shared.scoped().fetch_sub(reported, std::memory_order_relaxed);
    }

    std::size_t slot_of(std::uint64_t hash) const noexcept {
        return (hash >> 4) & (slots.size() - 1);
    }

    const char* find(std::string_view text, std::uint64_t hash) const noexcept {
        const std::size_t mask = slots.size() - 1;
        for (std::size_t i = slot_of(hash);; i = (i + 1) & mask) {
            const Slot& slot = slots[i];
            if (slot.record == nullptr) return nullptr;
            if (slot.hash == hash && record_text(slot.record) == text) return slot.record;
        }
    }

    // `text` is absent: takes the permanent record, or else stores a record of its own.
    // Requires the permanent shard of `hash` to be shared-locked.
    const char* add(std::string_view text, std::uint64_t hash) {
        if (2 * (used + 1) > slots.size()) grow();
        const char* record = shared.shard(hash).find(text, hash);
        if (record == nullptr) {
            if (page_used == kPage) {
                if (pages.size() == pages.capacity()) pages.reserve(2 * pages.size() + 4);
                std::uint32_t first = 0;
                std::tie(first, page_entries) = shared.ids().acquire();
                pages.push_back(first);
                page_used = 0;
            }
            record = arena.store(text, pages.back() + page_used);
            page_entries[page_used++] = record;
            ++own;
        }
        place({hash, record});
        ++used;
        return record;
    }

    void place(const Slot& slot) noexcept {
        const std::size_t mask = slots.size() - 1;
        std::size_t i = slot_of(slot.hash);
        while (slots[i].record != nullptr) i = (i + 1) & mask;
        slots[i] = slot;
    }

    // Room for `more` new texts without growing.
    void reserve(std::size_t more) {
        std::size_t size = slots.size();
        while (size < 2 * (used + more)) size *= 2;
        if (size != slots.size()) resize(size);
    }

    void grow() { resize(slots.size() * 2); }

    void resize(std::size_t size) {
        std::vector<Slot> old(size);
        old.swap(slots);
        for (const Slot& slot : old) {
            if (slot.record != nullptr) place(slot);
        }
    }

    void report() noexcept {
        shared.scoped().fetch_add(own - reported, std::memory_order_relaxed);
        reported = own;
    }
};

SymbolScope::SymbolScope() : state_(std::make_unique<State>()) {}

SymbolScope::~SymbolScope() = default;

std::size_t SymbolScope::size() const noexcept { return state_->own; }

void SymbolScope::freeze() noexcept { std::vector<State::Slot>().swap(state_->slots); }

Symbol SymbolScope::intern(std::string_view text) {
    State& s = *state_;
    if (s.slots.empty()) fail("symbol scope is frozen");
    const std::uint64_t hash = hash_text(text);
    const char* record = s.find(text, hash);
    if (record == nullptr) {
        {
            std::shared_lock lock(s.shared.shard(hash).mutex());
            record = s.add(text, hash);
        }
        s.report();
    }
    return Symbol::from_id(record_id(record));
}

void SymbolScope::intern_all(std::span<const std::string_view> texts, std::span<Symbol> out) {
    if (out.size() != texts.size()) fail("intern_all needs one output per text");
    State& s = *state_;
    if (s.slots.empty()) fail("symbol scope is frozen");
    s.reserve(texts.size());
    std::vector<std::uint64_t> hashes;
    for (std::size_t begin = 0; begin < texts.size(); begin += kBatch) {
        const std::size_t end = std::min(texts.size(), begin + kBatch);
        hashes.clear();
        for (std::size_t i = begin; i < end; ++i) hashes.push_back(hash_text(texts[i]));
        // The permanent table is locked only once a text is new to the scope, and then
        // for the rest of the batch.
        std::array<std::shared_lock<std::shared_mutex>, kShards> locks;
        bool locked = false;
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t j = i - begin;
            if (j + kAhead < hashes.size())
                __builtin_prefetch(s.slots.data() + s.slot_of(hashes[j + kAhead]));
            if (j + kAhead / 2 < hashes.size()) {
                if (const char* r = s.slots[s.slot_of(hashes[j + kAhead / 2])].record)
                    __builtin_prefetch(r);
            }
            if (i > begin && texts[i] == texts[i - 1]) {
                out[i] = out[i - 1];
                continue;
            }
            const char* record = s.find(texts[i], hashes[j]);
            if (record == nullptr) {
                if (!locked) {
                    locks = s.shared.lock_all();
                    locked = true;
                }
                record = s.add(texts[i], hashes[j]);
            }
            out[i] = Symbol::from_id(record_id(record));
        }
    }
    s.report();
}

}  // namespace corvane::eqsat
