// The allocation-failure hook: replaces the global operator new and delete, counting
// allocations and making the one after `t_fail_in` more allocations throw bad_alloc.
// A replacement must be defined once per program, so exactly one source file of a test
// program includes this header.
#pragma once

#include <cstdlib>
#include <new>

inline thread_local long t_allocations = 0;
inline thread_local long t_fail_in = -1;  // allocations allowed before one fails; -1: none fails

// The replacements pair malloc with free; GCC cannot see that they are one pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t n) {
    ++t_allocations;
    if (t_fail_in >= 0 && t_fail_in-- == 0) throw std::bad_alloc();
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept {
    return ::operator new(n, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
