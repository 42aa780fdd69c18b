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

// The parameters of a node being recorded, as entry views in ParamMap order. The views
// point into the buffer itself or into its fallback map, so they live as long as the
// buffer.
class ParamBuffer {
public:
    ParamBuffer() noexcept {}
    ParamBuffer(const ParamBuffer&) = delete;
    ParamBuffer& operator=(const ParamBuffer&) = delete;

    std::span<const ParamEntryView> items() const noexcept { return entries_.items(); }

private:
    friend bool params_from_py(PyObject* obj, ParamBuffer& out);
    static constexpr std::size_t kInlineEntries = 8;
    static constexpr std::size_t kTextBytes = 256;

    InlineBuffer<ParamEntryView, kInlineEntries> entries_;
    char text_[kTextBytes];
    ParamMap fallback_;
};

// `obj` may be null (an omitted argument). A small dict of exact keys and values fills
// the buffer without allocating; any other goes through a ParamMap, with the same errors.
bool params_from_py(PyObject* obj, ParamBuffer& out);
bool params_from_py(PyObject* obj, ParamMap& out);

// A dict in the map's (or the table's) order, or an empty owner with an error set.
PyRef params_to_py(const ParamMap& params);
PyRef params_to_py(const NodeTable& table, std::span<const ParamSlot> params);

}  // namespace corvane::py
