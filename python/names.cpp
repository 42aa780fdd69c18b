#include "names.hpp"

namespace corvane::py {
namespace {

constexpr std::array<const char*, static_cast<std::size_t>(Name::count_)> kNameText = {
#define CORVANE_PY_NAME_TEXT(symbol, text) text,
    CORVANE_PY_NAMES(CORVANE_PY_NAME_TEXT)
#undef CORVANE_PY_NAME_TEXT
};

}  // namespace

namespace detail {
std::array<std::atomic<PyObject*>, static_cast<std::size_t>(Name::count_)> g_names{};
}  // namespace detail

bool prepare_names() {
    for (std::size_t i = 0; i < kNameText.size(); ++i) {
        if (detail::g_names[i].load(std::memory_order_acquire) != nullptr) continue;
        // Kept for the life of the process.
        PyObject* text = PyUnicode_InternFromString(kNameText[i]);
        if (text == nullptr) return false;
        detail::g_names[i].store(text, std::memory_order_release);
    }
    return true;
}

}  // namespace corvane::py
