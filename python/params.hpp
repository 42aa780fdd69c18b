// Node parameters between Python and C++. A params argument is absent, None (no
// parameters) or a dict of str keys to values that are bools, ints within 64 bits (or
// objects with __index__), floats (or objects with __float__) or strs, tried in that
// order, so an int beyond 64 bits becomes a float. TypeError for another shape, raised
// at the first bad key or value in the dict's order. The items are read in one
// consistent state even while another thread changes the dict. No conversion touches a
// store.
#pragma once

#include <cstddef>
#include <span>

#include "inline_buffer.hpp"
#include "pyref.hpp"

#include "node.hpp"
#include "node_table.hpp"

namespace corvane::py {

// Strong references to up to N strs, released together when the holder goes.
template <std::size_t N>
class StrRefs {
public:
    StrRefs() noexcept {}
    StrRefs(const StrRefs&) = delete;
    StrRefs& operator=(const StrRefs&) = delete;
    ~StrRefs() { clear(); }

    // The caller keeps count: at most N holds between clears.
    void hold(PyObject* str) noexcept { refs_[count_++] = Py_NewRef(str); }
    void clear() noexcept {
        for (std::size_t i = 0; i < count_; ++i) Py_DECREF(refs_[i]);
        count_ = 0;
    }

private:
    PyObject* refs_[N];
    std::size_t count_ = 0;
};

// The parameters of a node being recorded, as entry views in ParamMap order. The views
// borrow the text of strs the buffer holds references to, or point into its fallback
// map, so they live as long as the buffer.
class ParamBuffer {
public:
    ParamBuffer() noexcept {}
    ParamBuffer(const ParamBuffer&) = delete;
    ParamBuffer& operator=(const ParamBuffer&) = delete;

    std::span<const ParamEntryView> items() const noexcept { return entries_.items(); }

private:
    friend bool params_from_py(PyObject* obj, ParamBuffer& out);
    static constexpr std::size_t kInlineEntries = 8;

    InlineBuffer<ParamEntryView, kInlineEntries> entries_;
    StrRefs<2 * kInlineEntries> strs_;  // a key and a Str value per entry at most
    ParamMap fallback_;
};

// `obj` may be null (an omitted argument). A small dict of exact keys and values fills
// the buffer without allocating; any other goes through a ParamMap, with the same errors.
bool params_from_py(PyObject* obj, ParamBuffer& out);
bool params_from_py(PyObject* obj, ParamMap& out);

// A dict in the map's (or the view's) order, or an empty owner with an error set.
PyRef params_to_py(const ParamMap& params);
PyRef params_to_py(std::span<const ParamEntryView> params);

}  // namespace corvane::py
