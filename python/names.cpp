#include "names.hpp"

#include <string_view>

namespace corvane::py {
namespace {

constexpr std::array<const char*, static_cast<std::size_t>(Name::count_)> kNameText = {
#define CORVANE_PY_NAME_TEXT(symbol, text) text,
    CORVANE_PY_NAMES(CORVANE_PY_NAME_TEXT)
#undef CORVANE_PY_NAME_TEXT
};

// Written once by prepare_names, read by any thread afterwards.
std::array<std::atomic<PyObject*>, kKindTraits.size()> g_kind_names{};

// Interns `text` into `slot` once; the reference is kept for the life of the process.
bool intern_once(std::atomic<PyObject*>& slot, std::string_view text) {
    if (slot.load(std::memory_order_acquire) != nullptr) return true;
    PyObject* interned =
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (interned == nullptr) return false;
    PyUnicode_InternInPlace(&interned);
    slot.store(interned, std::memory_order_release);
    return true;
}

}  // namespace

namespace detail {
std::array<std::atomic<PyObject*>, static_cast<std::size_t>(Name::count_)> g_names{};
}  // namespace detail

bool prepare_names() {
    for (std::size_t i = 0; i < kNameText.size(); ++i) {
        if (!intern_once(detail::g_names[i], kNameText[i])) return false;
    }
    for (std::size_t k = 0; k < kKindTraits.size(); ++k) {
        if (!intern_once(g_kind_names[k], kKindTraits[k].word)) return false;
    }
    return true;
}

PyObject* kind_name(NodeKey::Kind kind) noexcept {
    return g_kind_names[static_cast<std::size_t>(kind)].load(std::memory_order_acquire);
}

}  // namespace corvane::py
