// A vector of trivially copyable values that keeps up to N of them inline, so that the
// e-graph's per-class member and parent lists and the substitutions of a search need no
// heap block in the common case. It may also start on storage lent by its owner (the
// e-graph lends one shared block to the user lists it builds in bulk), which it never
// frees and leaves for a block of its own once it outgrows it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <type_traits>

#include "eqsat/error.hpp"

namespace corvane::eqsat {

template <class T, std::uint32_t N>
class SmallVec {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    static_assert(N >= 1);

public:
    SmallVec() noexcept : heap_(nullptr) {}
    explicit SmallVec(std::span<const T> values) : heap_(nullptr) { append(values); }
    SmallVec(const SmallVec& other) : heap_(nullptr) { append(other.span()); }
    SmallVec(SmallVec&& other) noexcept : heap_(nullptr) { take(other); }
    SmallVec& operator=(const SmallVec& other) {
        if (this != &other) {
            // A copy never writes into lent room: its owner may be assigned over too.
            if ((cap_ & kBorrowed) != 0) release();
            size_ = 0;
            append(other.span());
        }
        return *this;
    }
    SmallVec& operator=(SmallVec&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~SmallVec() { release(); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return on_heap() ? heap_ : inline_; }
    const T* data() const noexcept { return on_heap() ? heap_ : inline_; }
    T* begin() noexcept { return data(); }
    T* end() noexcept { return data() + size_; }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size_; }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }
    std::span<T> span() noexcept { return {data(), size_}; }
    std::span<const T> span() const noexcept { return {data(), size_}; }

    void push_back(const T& value) {
        if (size_ < capacity()) {
            data()[size_++] = value;
        } else {
            append(std::span<const T>(&value, 1));
        }
    }

    // `values` may point into this vector.
    void append(std::span<const T> values) {
        if (values.empty()) return;
        const std::size_t need = std::size_t{size_} + values.size();
        if (need <= capacity()) {
            std::memmove(data() + size_, values.data(), values.size() * sizeof(T));
        } else {
            if (need > kMaxCap) fail("small vector capacity exceeded");
            const std::size_t cap = std::min(kMaxCap, std::max(need, capacity() * 2));
            T* block = std::allocator<T>().allocate(cap);
            std::memcpy(block, data(), std::size_t{size_} * sizeof(T));
            std::memcpy(block + size_, values.data(), values.size() * sizeof(T));
            release_block();
            heap_ = block;
            cap_ = static_cast<std::uint32_t>(cap);
        }
        size_ = static_cast<std::uint32_t>(need);
    }

    // Moves the values of an empty vector onto `capacity` (> N) lent slots at `block`,
    // which must outlive every use of the vector and of what it is moved to.
    void borrow(T* block, std::size_t capacity) {
        if (size_ != 0 || capacity <= N || capacity > kMaxCap)
            fail("small vector cannot borrow this block");
        release_block();
        heap_ = block;
        cap_ = static_cast<std::uint32_t>(capacity) | kBorrowed;
    }

    // Keeps the first `n` values (n <= size()).
    void truncate(std::size_t n) noexcept {
        size_ = static_cast<std::uint32_t>(std::min<std::size_t>(n, size_));
    }
    void clear() noexcept { size_ = 0; }
    // Empties the vector and gives back any heap block of its own.
    void release() noexcept {
        release_block();
        size_ = 0;
        cap_ = N;
    }

private:
    // The top bit of cap_ marks lent storage.
    static constexpr std::uint32_t kBorrowed = std::uint32_t{1} << 31;
    static constexpr std::size_t kMaxCap = kBorrowed - 1;

    std::size_t capacity() const noexcept { return cap_ & ~kBorrowed; }
    bool on_heap() const noexcept { return capacity() > N; }
    void release_block() noexcept {
        if (on_heap() && (cap_ & kBorrowed) == 0) std::allocator<T>().deallocate(heap_, cap_);
    }

    void take(SmallVec& other) noexcept {
        size_ = other.size_;
        cap_ = other.cap_;
        if (other.on_heap()) {
            heap_ = other.heap_;
        } else {
            std::memcpy(inline_, other.inline_, std::size_t{size_} * sizeof(T));
        }
        other.size_ = 0;
        other.cap_ = N;
    }

    std::uint32_t size_ = 0;
    std::uint32_t cap_ = N;
    union {
        T inline_[N];
        T* heap_;
    };
};

}  // namespace corvane::eqsat
