// Conversions between Python objects and IR values. The *_from_py functions return false
// with a Python error set; the *_to_py functions return a new reference or null. None of
// them touches a store, so they run before or after a store operation, never under a
// lock.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pyref.hpp"

#include "node.hpp"
#include "store.hpp"

namespace corvane::py {

// Creates the interned dict keys of the node view once per process.
bool prepare_view_keys();

// A `str` (or subclass) as UTF-8; TypeError naming `argname` otherwise.
bool string_from_py(PyObject* obj, const char* argname, std::string& out);
// A sequence other than `str` of integers in [0, 2**64): TypeError naming `argname`, or
// OverflowError for an item out of range.
bool ids_from_py(PyObject* obj, const char* argname, std::vector<NodeId>& out);
// A list whose entries are None or (int, int or None) tuples, as node_map_to_py makes
// them; TypeError naming `argname` for another shape, OverflowError for an id out of
// range. The entries are not checked against any store.
bool node_map_from_py(PyObject* obj, const char* argname, NodeMap& out);
// A bool, or a NumPy boolean scalar; TypeError naming `argname` otherwise.
bool flag_from_py(PyObject* obj, const char* argname, bool& out);
// `obj` null or None gives the empty map; otherwise a dict of str to int/float/bool/str.
bool params_from_py(PyObject* obj, ParamMap& out);
// A PayloadDescriptor object or a dict with the descriptor's fields.
bool descriptor_from_py(PyObject* obj, PayloadDescriptor& out);

// Storage for a recorded node's borrowed form: a few items inline, more on the heap.
// Items are left uninitialised until written.
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
    T* data() noexcept { return data_; }
    std::span<T> items() noexcept { return {data_, size_}; }
    std::span<const T> items() const noexcept { return {data_, size_}; }

private:
    T inline_[N];
    std::vector<T> heap_;
    T* data_ = inline_;
    std::size_t size_ = 0;
};

using IdBuffer = InlineBuffer<NodeId, 8>;

// The parameters of a node as entry views, in ParamMap order. The views point into the
// buffer itself or into its fallback map, so they live as long as the buffer.
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

// The same conversions as above into borrowed form, with the same errors.
bool ids_from_py(PyObject* obj, const char* argname, IdBuffer& out);
bool params_from_py(PyObject* obj, ParamBuffer& out);
// A `str` (or subclass) as a view of its UTF-8 form, valid while `obj` lives.
bool string_view_from_py(PyObject* obj, const char* argname, std::string_view& out);

PyObject* ids_to_py(std::span<const NodeId> ids);
PyObject* params_to_py(const ParamMap& params);
PyObject* descriptor_to_py(const PayloadDescriptor& descriptor);
PyObject* report_to_py(const ReductionReport& report);
PyObject* node_map_to_py(const NodeMap& map);
// The per-node view of a snapshot: one dict per node in id order.
PyObject* nodes_to_py(const GraphStore::Snapshot& snapshot);

PyObject* string_to_py(const std::string& text);

}  // namespace corvane::py
