// A flat, open-addressing hash set of ids whose keys live elsewhere (in an arena or a
// node list): each slot holds an id with the hash of its key, so a probe looks at a key
// only when the hashes agree, and growing never rehashes a key. Linear probing over a
// power-of-two slot array kept at most half full; ids are erased only as a tail (the ids
// from some id on), to take back what a failed operation added.
// IdTable keeps full 64-bit hashes and ids; CompactIdTable keeps the low 32 bits of the
// hash and 32-bit ids, half the memory, for tables of fewer than 2^32 - 1 ids (its
// slot positions never need more hash bits than it keeps).
// A utility below both the store (its index) and the optimizer (CSE, the symbol keys of
// a reduction's input, the incremental reducer's memo); it includes nothing of the project.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace corvane {

// The largest value a 32-bit field holds: the bound of the dense tables' offsets and
// string ids, and of every count in the blob.
inline constexpr std::uint64_t kMaxU32 = 0xFFFF'FFFFULL;

template <class Word>
class BasicIdTable {
public:
    // Ids must stay below this bound; insert throws bad_alloc beyond it, as when memory
    // runs out. For the compact table: kMaxU32 - 1, as 0 marks an empty slot.
    static constexpr std::uint64_t kMaxIds = std::uint64_t{static_cast<Word>(-1)} - 1;

    BasicIdTable() = default;
    BasicIdTable(const BasicIdTable&) = default;
    BasicIdTable& operator=(const BasicIdTable&) = default;
    // A moved-from table is empty and usable.
    BasicIdTable(BasicIdTable&& other) noexcept
        : slots_(std::exchange(other.slots_, {})),
          mask_(std::exchange(other.mask_, 0)),
          size_(std::exchange(other.size_, 0)) {}
    BasicIdTable& operator=(BasicIdTable&& other) noexcept {
        slots_ = std::exchange(other.slots_, {});
        mask_ = std::exchange(other.mask_, 0);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    // How many more ids fit before the table must grow.
    std::size_t room() const noexcept { return slots_.size() / 2 - size_; }

    // The id whose hash is `hash` and for which `same(id)` holds, if any.
    template <class Same>
    std::optional<std::uint64_t> find(std::uint64_t hash, Same&& same) const {
        if (slots_.empty()) return std::nullopt;
        for (std::size_t i = static_cast<std::size_t>(static_cast<Word>(hash)) & mask_;;
             i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.id_plus_one == 0) return std::nullopt;
            if (slot.hash == static_cast<Word>(hash) && same(std::uint64_t{slot.id_plus_one} - 1)) {
                return std::uint64_t{slot.id_plus_one} - 1;
            }
        }
    }

    // Makes room for `count` ids in total, so that as many inserts cannot throw.
    void reserve(std::size_t count) {
        if constexpr (sizeof(Word) < sizeof(std::uint64_t)) {
            if (count > kMaxIds) throw std::bad_alloc();
        }
        if (2 * count > slots_.size()) rehash(std::bit_ceil(std::max<std::size_t>(16, 2 * count)));
    }

    // Adds an id that is not in the table yet; may throw (then the table is unchanged).
    void insert(std::uint64_t hash, std::uint64_t id) {
        if constexpr (sizeof(Word) < sizeof(std::uint64_t)) {
            if (id >= kMaxIds) throw std::bad_alloc();
        }
        reserve(size_ + 1);
        place(hash, id);
        ++size_;
    }

    // Removes every id from `first` on. Allocates nothing; the ids left are re-seated
    // so that no probe sequence is broken. Linear in the slot count.
    void erase_from(std::uint64_t first) noexcept {
        std::size_t removed = 0;
        for (Slot& slot : slots_) {
            if (slot.id_plus_one != 0 && std::uint64_t{slot.id_plus_one} - 1 >= first) {
                slot = Slot{};
                ++removed;
            }
        }
        if (removed == 0) return;
        size_ -= removed;
        // Starting after an empty slot (one exists: the table is at most half full), each
        // id is taken out and placed again, which puts it where a probe will meet it.
        std::size_t start = 0;
        while (slots_[start].id_plus_one != 0) ++start;
        for (std::size_t k = 1; k <= mask_; ++k) {
            Slot& slot = slots_[(start + k) & mask_];
            if (slot.id_plus_one == 0) continue;
            const Slot moved = std::exchange(slot, Slot{});
            place(moved.hash, std::uint64_t{moved.id_plus_one} - 1);
        }
    }

private:
    struct Slot {
        Word hash = 0;
        Word id_plus_one = 0;  // 0 marks an empty slot
    };

    void place(std::uint64_t hash, std::uint64_t id) noexcept {
        std::size_t i = static_cast<std::size_t>(static_cast<Word>(hash)) & mask_;
        while (slots_[i].id_plus_one != 0) i = (i + 1) & mask_;
        slots_[i] = Slot{static_cast<Word>(hash), static_cast<Word>(id + 1)};
    }

    void rehash(std::size_t count) {
        std::vector<Slot> old(count);
        old.swap(slots_);
        mask_ = count - 1;
        for (const Slot& slot : old) {
            if (slot.id_plus_one != 0) place(slot.hash, slot.id_plus_one - 1);
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

using IdTable = BasicIdTable<std::uint64_t>;
using CompactIdTable = BasicIdTable<std::uint32_t>;

}  // namespace corvane
