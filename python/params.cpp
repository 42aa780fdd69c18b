#include "params.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scalars.hpp"

namespace corvane::py {
namespace {

// Calls `visit(key, value, i)` for the dict's items in order, inside one critical section
// where the borrowed references are valid; `visit` must not raise or throw. False when the
// dict no longer holds `n` items or when `visit` returns false.
template <class Visit>
bool visit_dict_items(PyObject* dict, Py_ssize_t n, Visit&& visit) noexcept {
    bool ok = true;
    Py_BEGIN_CRITICAL_SECTION(dict);
    if (PyDict_GET_SIZE(dict) != n) {
        ok = false;
    } else {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        for (std::size_t i = 0; PyDict_Next(dict, &pos, &key, &value); ++i) {
            if (i == static_cast<std::size_t>(n) || !visit(key, value, i)) {
                ok = false;
                break;
            }
        }
    }
    Py_END_CRITICAL_SECTION();
    return ok;
}

// Strong references to the (key, value) pairs of a dict, taken in one critical section
// so that the pairs form one consistent state even while other threads mutate the dict.
class DictItems {
public:
    DictItems() = default;
    DictItems(const DictItems&) = delete;
    DictItems& operator=(const DictItems&) = delete;
    ~DictItems() { clear(); }

    void load(PyObject* dict) {
        for (;;) {
            const Py_ssize_t n = PyDict_GET_SIZE(dict);
            PyObject** slots = reserve(2 * static_cast<std::size_t>(n));  // may throw
            count_ = 0;
            const bool fits =
                visit_dict_items(dict, n, [&](PyObject* key, PyObject* value, std::size_t i) {
                    slots[2 * i] = Py_NewRef(key);
                    slots[2 * i + 1] = Py_NewRef(value);
                    count_ = i + 1;
                    return true;
                });
            if (fits) return;
            clear();  // the dict changed size between the two reads: take it again
        }
    }

    std::size_t size() const noexcept { return count_; }
    PyObject* key(std::size_t i) const noexcept { return data_[2 * i]; }
    PyObject* value(std::size_t i) const noexcept { return data_[2 * i + 1]; }

private:
    PyObject** reserve(std::size_t slots) {
        if (slots <= inline_.size()) {
            data_ = inline_.data();
        } else {
            heap_.resize(slots);
            data_ = heap_.data();
        }
        return data_;
    }
    void clear() noexcept {
        for (std::size_t i = 0; i < 2 * count_; ++i) Py_DECREF(data_[i]);
        count_ = 0;
    }

    std::array<PyObject*, 16> inline_{};
    std::vector<PyObject*> heap_;
    PyObject** data_ = inline_.data();
    std::size_t count_ = 0;
};

// The value conversions, tried in order; the errors of failed attempts are discarded.
std::optional<ParamValue> param_value_from_py(PyObject* value) {
    if (PyBool_Check(value)) return ParamValue::of_bool(value == Py_True);

    // Each attempt is skipped when the type cannot support it: the call would only raise
    // a TypeError, and building that exception costs more than the whole conversion.
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    const bool has_index = number != nullptr && number->nb_index != nullptr;
    if (PyLong_Check(value) || has_index) {
        const long long as_int = PyLong_AsLongLong(value);
        if (!(as_int == -1 && PyErr_Occurred())) return ParamValue::of_int(as_int);
        PyErr_Clear();
    }

    if (PyFloat_CheckExact(value)) return ParamValue::of_float(PyFloat_AS_DOUBLE(value));
    if (PyFloat_Check(value) || has_index || (number != nullptr && number->nb_float != nullptr)) {
        const double as_float = PyFloat_AsDouble(value);
        if (!(as_float == -1.0 && PyErr_Occurred())) return ParamValue::of_float(as_float);
        PyErr_Clear();
    }

    if (PyUnicode_Check(value)) {
        std::string_view text;
        if (utf8_of(value, text)) return ParamValue::of_str(std::string(text));
        PyErr_Clear();
    }
    return std::nullopt;
}

PyRef param_value_to_py(const ParamEntryView& value) {
    switch (value.kind) {
    case ParamValue::Kind::Int:
        return PyRef::steal(PyLong_FromLongLong(static_cast<std::int64_t>(value.bits)));
    case ParamValue::Kind::Float:
        return PyRef::steal(PyFloat_FromDouble(std::bit_cast<double>(value.bits)));
    case ParamValue::Kind::Bool:
        return PyRef::borrow(value.bits != 0 ? Py_True : Py_False);
    case ParamValue::Kind::Str:
        return string_to_py(value.text());
    }
    return PyRef::borrow(Py_None);
}

// A dict of a parameter range, each item read through `entry` as a borrowed entry.
template <class Range, class Entry>
PyRef params_to_dict(const Range& params, Entry entry) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    for (const auto& item : params) {
        const ParamEntryView e = entry(item);
        PyRef py_key = string_to_py(e.key());
        if (!py_key) return {};
        PyRef py_value = param_value_to_py(e);
        if (!py_value || PyDict_SetItem(dict.get(), py_key.get(), py_value.get()) < 0) return {};
    }
    return dict;
}

// The UTF-8 text of an exact str, borrowed from it. False, with no error set, when it
// cannot be had without raising.
bool exact_str_text(PyObject* str, const char*& data_out, std::size_t& size_out) noexcept {
    if (!PyUnicode_CheckExact(str)) return false;
    std::string_view utf8;
    if (!utf8_of(str, utf8)) {
        PyErr_Clear();  // the general path raises it again, in its own order
        return false;
    }
    data_out = utf8.data();
    size_out = utf8.size();
    return true;
}

// A small dict of exact str keys to bool, exact int (within 64 bits), exact float or
// exact str values, converted in one critical section: none of these conversions runs
// Python code, and the buffer takes a reference to every str whose text a view borrows,
// so that nothing borrowed from the dict depends on it after the section. False (no error
// set) leaves it to the general path, which gives the same result or the usual error.
template <std::size_t N>
bool params_fast(PyObject* dict, InlineBuffer<ParamEntryView, N>& entries, StrRefs<2 * N>& strs) {
    const Py_ssize_t n = PyDict_GET_SIZE(dict);
    if (static_cast<std::size_t>(n) > N) return false;
    ParamEntryView* views = entries.prepare(static_cast<std::size_t>(n));  // inline: cannot throw
    std::size_t count = 0;
    const bool ok = visit_dict_items(dict, n, [&](PyObject* key, PyObject* value, std::size_t i) {
        ParamEntryView& e = views[i];
        e.text_data = nullptr;
        e.text_size = 0;
        if (!exact_str_text(key, e.key_data, e.key_size)) return false;
        if (value == Py_True || value == Py_False) {
            e.kind = ParamValue::Kind::Bool;
            e.bits = value == Py_True ? 1 : 0;
        } else if (PyLong_CheckExact(value)) {
            auto* number = reinterpret_cast<PyLongObject*>(value);
            if (PyUnstable_Long_IsCompact(number)) {
                e.bits = static_cast<std::uint64_t>(
                    static_cast<std::int64_t>(PyUnstable_Long_CompactValue(number)));
            } else {
                int overflow = 0;
                const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
                if (overflow != 0) return false;  // out of range: the general path makes it a Float
                e.bits = static_cast<std::uint64_t>(v);
            }
            e.kind = ParamValue::Kind::Int;
        } else if (PyFloat_CheckExact(value)) {
            e.kind = ParamValue::Kind::Float;
            e.bits = std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(value));
        } else if (exact_str_text(value, e.text_data, e.text_size)) {
            e.kind = ParamValue::Kind::Str;
            strs.hold(value);
        } else {
            return false;
        }
        strs.hold(key);
        count = i + 1;
        return true;
    });
    if (!ok) {
        strs.clear();
        return false;
    }
    entries.set_size(count);
    sort_param_views(entries.items());
    return true;
}

}  // namespace

bool params_from_py(PyObject* obj, ParamMap& out) {
    if (obj == nullptr || obj == Py_None) {
        out = ParamMap();
        return true;
    }
    if (!PyDict_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "params must be a dict or None");
        return false;
    }
    DictItems items;
    items.load(obj);
    std::vector<ParamMap::Entry> entries;
    entries.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* key = items.key(i);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "param keys must be str, not %T", key);
            return false;
        }
        std::string_view key_text;
        if (!utf8_of(key, key_text)) return false;
        std::optional<ParamValue> value = param_value_from_py(items.value(i));
        if (!value) {
            PyErr_SetString(PyExc_TypeError, "param values must be int, float, bool, or str");
            return false;
        }
        entries.emplace_back(std::string(key_text), std::move(*value));
    }
    out = ParamMap(std::move(entries));
    return true;
}

bool params_from_py(PyObject* obj, ParamBuffer& out) {
    if (obj == nullptr || obj == Py_None) {
        out.entries_.prepare(0);
        return true;
    }
    if (PyDict_Check(obj) && params_fast(obj, out.entries_, out.strs_)) {
        return true;
    }
    if (!params_from_py(obj, out.fallback_)) return false;
    const std::vector<ParamMap::Entry>& entries = out.fallback_.entries();
    ParamEntryView* views = out.entries_.prepare(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) views[i] = ParamEntryView::of(entries[i]);
    out.entries_.set_size(entries.size());
    return true;
}

PyRef params_to_py(const ParamMap& params) { return params_to_dict(params, ParamEntryView::of); }

PyRef params_to_py(std::span<const ParamEntryView> params) {
    return params_to_dict(params, [](const ParamEntryView& e) { return e; });
}

}  // namespace corvane::py
