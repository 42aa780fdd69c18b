// Interned operator symbols. A Symbol is a 32-bit id compared in constant time: equal
// texts give equal symbols, and str() renders back the exact text. Symbols come from one
// of two places, both safe under concurrent use:
// - the permanent table (Symbol(text), Symbol::intern_all): texts every job shares, such
//   as the rules' operators. Its symbols stay valid for the life of the process, so it
//   is for fixed vocabularies, never for texts taken from user data.
// - a SymbolScope: the symbols of one job (a reduction), valid while the scope lives.
//   A text the permanent table holds when the scope first meets it keeps its permanent
//   symbol, so a job's symbols match the rules'; every other text gets an id of the
//   scope's own, and the scope's end returns those ids and texts for reuse. A process
//   thus holds the permanent texts plus those of the jobs still running, however long
//   it lives.
// Ids are identities only: they depend on what else the process has interned, so no
// result may be ordered by them, and symbols of two scopes must not be compared.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace corvane::eqsat {

class Symbol {
public:
    // The empty string, which the permanent table holds from the start.
    constexpr Symbol() noexcept = default;
    // Interns `text` permanently: equal texts give equal symbols, in every thread.
    explicit Symbol(std::string_view text) : id_(intern_id(text)) {}

    static Symbol intern(std::string_view text) { return Symbol(text); }
    // The symbol with this id; only for ids taken from id() of a symbol still valid.
    static constexpr Symbol from_id(std::uint32_t id) noexcept {
        Symbol s;
        s.id_ = id;
        return s;
    }

    // Interns every text of `texts` permanently into `out` (same length): the same
    // symbols as one at a time, but lookups of many known texts overlap their memory
    // accesses.
    static void intern_all(std::span<const std::string_view> texts, std::span<Symbol> out);

    std::uint32_t id() const noexcept { return id_; }
    // The interned text; the view stays valid as long as the symbol is (see above).
    std::string_view str() const noexcept;
    std::string to_string() const { return std::string(str()); }

    friend constexpr bool operator==(Symbol, Symbol) noexcept = default;
    // Orders by id: a total order consistent with equality, not by text.
    friend constexpr std::strong_ordering operator<=>(Symbol, Symbol) noexcept = default;

private:
    static std::uint32_t intern_id(std::string_view text);

    std::uint32_t id_ = 0;
};

std::ostream& operator<<(std::ostream& out, Symbol symbol);

// The symbols of one job. Within a scope, equal texts always give the same symbol. A
// scope is used by one thread at a time; its symbols may be read (str()) from any thread
// while it lives. Destroying it invalidates every symbol it handed out that is not
// permanent.
class SymbolScope {
public:
    SymbolScope();
    ~SymbolScope();
    SymbolScope(const SymbolScope&) = delete;
    SymbolScope& operator=(const SymbolScope&) = delete;

    Symbol intern(std::string_view text);
    // Interns every text of `texts` into `out` (same length), as intern() one at a time.
    void intern_all(std::span<const std::string_view> texts, std::span<Symbol> out);

    // Number of texts the scope holds itself (those that got no permanent symbol).
    std::size_t size() const noexcept;

    // Ends interning: frees the index that finds a text's symbol, which is most of the
    // scope's memory. The symbols stay valid; interning afterwards is a fault.
    void freeze() noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Number of symbols the process holds now: the permanent ones (the empty one included)
// plus those of every live scope.
std::size_t interned_symbol_count() noexcept;

}  // namespace corvane::eqsat

template <>
struct std::hash<corvane::eqsat::Symbol> {
    std::size_t operator()(corvane::eqsat::Symbol s) const noexcept { return s.id(); }
};
