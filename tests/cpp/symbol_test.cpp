// Symbol scopes: a scope's symbols agree with the permanent ones and with each other, and
// ending a scope gives its symbols back, so that a process reducing ever new graphs
// keeps a bounded table; scopes on many threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "eqsat/error.hpp"
#include "eqsat/symbol.hpp"

namespace corvane::eqsat {
namespace {

std::vector<std::string> numbered(const std::string& prefix, std::size_t n) {
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < n; ++i) texts.push_back(prefix + std::to_string(i));
    return texts;
}

// Interns `texts` in `scope` in one batch; checks every symbol renders its text.
std::vector<Symbol> intern_checked(SymbolScope& scope, const std::vector<std::string>& texts) {
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    std::vector<Symbol> out(views.size());
    scope.intern_all(views, out);
    for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(out[i].str(), texts[i]) << i;
    return out;
}

TEST(SymbolScope, AgreesWithPermanentSymbolsAndWithItself) {
    const Symbol permanent("scope-shared-text");
    SymbolScope scope;
    EXPECT_EQ(scope.intern("scope-shared-text"), permanent);
    EXPECT_EQ(scope.intern(""), Symbol());

    // A batch with repeats, adjacent and not, and a permanent text: the same symbols as
    // one at a time, equal exactly when the texts are.
    std::vector<std::string> texts = numbered("scope-own-", 3000);
    for (std::size_t i = 0; i < 3000; i += 7) texts.push_back(texts[i]);
    texts.push_back(texts.back());
    texts.push_back("scope-shared-text");
    const std::vector<Symbol> batch = intern_checked(scope, texts);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        ASSERT_EQ(batch[i], scope.intern(texts[i])) << i;
        ASSERT_EQ(batch[i] == batch[i % 3000], texts[i] == texts[i % 3000]) << i;
    }
    EXPECT_EQ(scope.size(), 3000u);

    // Once met, a text keeps the scope's symbol even after it becomes permanent.
    const Symbol own = scope.intern("scope-own-5");
    EXPECT_NE(Symbol("scope-own-5"), own);
    EXPECT_EQ(scope.intern("scope-own-5"), own);

    std::vector<Symbol> short_out(1);
    const std::vector<std::string_view> two = {"a", "b"};
    EXPECT_THROW(scope.intern_all(two, short_out), Error);
}

TEST(SymbolScope, EndingAScopeReturnsItsSymbols) {
    const std::size_t baseline = interned_symbol_count();
    std::uint32_t first_top = 0;
    for (int round = 0; round < 40; ++round) {
        SymbolScope scope;
        const std::vector<Symbol> symbols =
            intern_checked(scope, numbered("round-" + std::to_string(round) + "-", 5000));
        EXPECT_EQ(interned_symbol_count(), baseline + 5000);
        const std::uint32_t top = std::ranges::max(symbols, {}, &Symbol::id).id();
        if (round == 0) first_top = top;
        // The ids of ended scopes are reused: 40 rounds of 5000 would otherwise reach 200,000.
        EXPECT_LE(top, first_top + 5 * 1024) << "round " << round;
    }
    EXPECT_EQ(interned_symbol_count(), baseline);
}

// Scopes begin and end on several threads while others intern permanently: every
// symbol renders its own text, a scope's symbols for the permanent texts are the
// permanent ones, and the count returns to the permanent symbols alone.
TEST(SymbolScopeConcurrency, ScopesOnManyThreadsAgreeAndEndClean) {
    const std::vector<std::string> shared = numbered("concurrent-shared-", 200);
    std::vector<Symbol> permanent;
    for (const std::string& text : shared) permanent.emplace_back(text);
    const std::size_t baseline = interned_symbol_count();

    constexpr unsigned kThreads = 6;
    constexpr std::size_t kLate = 300;
    std::vector<std::vector<std::string>> failures(kThreads);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t round = 0; round < 20; ++round) {
                if (t == 0) {
                    // Permanent texts arriving while the other threads' scopes look up.
                    for (std::size_t k = 0; k < kLate / 20; ++k) {
                        Symbol("concurrent-late-" + std::to_string(round * (kLate / 20) + k));
                    }
                    continue;
                }
                SymbolScope scope;
                std::vector<std::string> texts =
                    numbered("concurrent-" + std::to_string(t) + "-", 1500);
                texts.insert(texts.end(), shared.begin(), shared.end());
                const std::vector<std::string_view> views(texts.begin(), texts.end());
                std::vector<Symbol> out(views.size());
                scope.intern_all(views, out);
                for (std::size_t i = 0; i < texts.size(); ++i) {
                    if (out[i].str() != texts[i]) failures[t].push_back(texts[i]);
                }
                for (std::size_t i = 0; i < shared.size(); ++i) {
                    if (out[1500 + i] != permanent[i])
                        failures[t].push_back("not permanent: " + shared[i]);
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (unsigned t = 0; t < kThreads; ++t)
        EXPECT_TRUE(failures[t].empty()) << "thread " << t << ": " << failures[t][0];
    EXPECT_EQ(interned_symbol_count(), baseline + kLate);
}

}  // namespace
}  // namespace corvane::eqsat
