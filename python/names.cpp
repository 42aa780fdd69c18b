#include "names.hpp"

namespace corvane::py {
namespace {

constexpr std::array<const char*, static_cast<std::size_t>(Name::count_)> kNameText = {
    "id", "output", "inputs", "kind", "name", "params", "descriptor", "n_members", "members",
    "content_hash", "framework", "version", "io_schema", "preprocessing_ref",
    "source", "op", "reduction", "external", "stage", "exchange", "join", "input", "member", "",
    "input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
    "boundary_nodes",
};
static_assert(kNameText.back() != nullptr, "a text for every Name");

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
