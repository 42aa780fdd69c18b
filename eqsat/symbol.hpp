// Interned operator symbols. One process-wide table serves every e-graph and thread: it
// only grows, interning is safe under concurrent use, a Symbol is a 32-bit id compared in
// constant time, and str() renders back the exact interned text.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

namespace corvane::eqsat {

class Symbol {
public:
    // The empty string, which the table holds from the start.
    constexpr Symbol() noexcept = default;
    // Interns `text`: equal texts give equal symbols, in every thread.
    explicit Symbol(std::string_view text) : id_(intern_id(text)) {}

    static Symbol intern(std::string_view text) { return Symbol(text); }
    // The symbol with this id; only for ids taken from id() in this process.
    static constexpr Symbol from_id(std::uint32_t id) noexcept {
        Symbol s;
        s.id_ = id;
        return s;
    }

    // Interns every text of `texts` into `out` (same length): the same symbols as one at a
    // time, but lookups of many known texts overlap their memory accesses.
    static void intern_all(std::span<const std::string_view> texts, std::span<Symbol> out);

    std::uint32_t id() const noexcept { return id_; }
    // The interned text; the view stays valid for the life of the process.
    std::string_view str() const noexcept;
    std::string to_string() const { return std::string(str()); }

    friend constexpr bool operator==(Symbol, Symbol) noexcept = default;
    // Orders by interning id: a total order consistent with equality, not by text.
    friend constexpr std::strong_ordering operator<=>(Symbol, Symbol) noexcept = default;

private:
    static std::uint32_t intern_id(std::string_view text);

    std::uint32_t id_ = 0;
};

std::ostream& operator<<(std::ostream& out, Symbol symbol);

// Number of distinct symbols interned so far in this process (the empty one included).
std::size_t interned_symbol_count() noexcept;

}  // namespace corvane::eqsat

template <>
struct std::hash<corvane::eqsat::Symbol> {
    std::size_t operator()(corvane::eqsat::Symbol s) const noexcept { return s.id(); }
};
