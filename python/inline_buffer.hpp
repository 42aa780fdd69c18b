// Storage for the borrowed form of a recorded node's lists: up to N items inline, more on
// the heap. Items are left uninitialised until written, so preparing room costs nothing
// for trivially constructible items.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace corvane::py {

template <class T, std::size_t N>
class InlineBuffer {
public:
    InlineBuffer() noexcept {}
    InlineBuffer(const InlineBuffer&) = delete;
    InlineBuffer& operator=(const InlineBuffer&) = delete;

    // Room for `n` items, discarding the current ones; may throw (call outside any
    // critical section).
    T* prepare(std::size_t n) {
        size_ = 0;
        if (n <= N) return data_ = inline_;
        heap_.resize(n);
        return data_ = heap_.data();
    }
    void set_size(std::size_t n) noexcept { size_ = n; }
    std::span<T> items() noexcept { return {data_, size_}; }
    std::span<const T> items() const noexcept { return {data_, size_}; }

private:
    T inline_[N];
    std::vector<T> heap_;
    T* data_ = inline_;
    std::size_t size_ = 0;
};

}  // namespace corvane::py
