#include "op_token.hpp"

#include <bit>
#include <cstdint>
#include <exception>
#include <utility>
#include <vector>

#include "token.hpp"

namespace corvane {
namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// An optional "+", then one or more hex digits of either case; must fit in 64 bits.
std::optional<std::uint64_t> parse_hex64(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        int d = hex_digit(c);
        if (d < 0 || (value >> 60) != 0) return std::nullopt;
        value = (value << 4) | static_cast<std::uint64_t>(d);
    }
    return value;
}

// An optional "+" or "-", then one or more decimal digits; within the int64 range.
std::optional<std::int64_t> parse_int64(std::string_view text) noexcept {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // Accumulate the magnitude; its limit is 2^63 for negatives, 2^63 - 1 otherwise.
    const std::uint64_t limit = negative ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 63) - 1;
    std::uint64_t magnitude = 0;
    for (char c : text) {
        if (!is_digit(c)) return std::nullopt;
        auto d = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (limit - d) / 10) return std::nullopt;
        magnitude = magnitude * 10 + d;
    }
    if (negative) return static_cast<std::int64_t>(std::uint64_t{0} - magnitude);
    return static_cast<std::int64_t>(magnitude);
}

std::optional<ParamValue> parse_value(std::string_view text) {
    if (text.empty()) return std::nullopt;
    const char prefix = text.front();
    const std::string_view rest = text.substr(1);
    switch (prefix) {
    case 'b':
        if (rest == "true") return ParamValue::of_bool(true);
        if (rest == "false") return ParamValue::of_bool(false);
        return std::nullopt;
    case 'f':
        if (auto bits = parse_hex64(rest))
            return ParamValue::of_float(std::bit_cast<double>(*bits));
        return std::nullopt;
    case 'i':
        if (auto v = parse_int64(rest)) return ParamValue::of_int(*v);
        return std::nullopt;
    case 's':
        return ParamValue::of_str(unescape_token(rest));
    default:
        return std::nullopt;
    }
}

std::optional<ParsedOpToken> parse(std::string_view text) {
    const std::size_t bar1 = text.find('|');
    if (bar1 == std::string_view::npos) return std::nullopt;
    const std::string_view head = text.substr(0, bar1);
    if (head != "op" && head != "red") return std::nullopt;

    std::string_view name_piece = text.substr(bar1 + 1);
    std::string_view rest;
    if (const std::size_t bar2 = name_piece.find('|'); bar2 != std::string_view::npos) {
        rest = name_piece.substr(bar2 + 1);
        name_piece = name_piece.substr(0, bar2);
    }

    std::vector<ParamMap::Entry> entries;
    if (!rest.empty()) {
        // Every ";"-separated piece, empty ones included, must be "key=value".
        std::size_t start = 0;
        while (true) {
            const std::size_t semi = rest.find(';', start);
            const std::string_view piece = rest.substr(
                start, semi == std::string_view::npos ? std::string_view::npos : semi - start);
            const std::size_t eq = piece.find('=');
            if (eq == std::string_view::npos) return std::nullopt;
            std::optional<ParamValue> value = parse_value(piece.substr(eq + 1));
            if (!value) return std::nullopt;
            entries.emplace_back(unescape_token(piece.substr(0, eq)), std::move(*value));
            if (semi == std::string_view::npos) break;
            start = semi + 1;
        }
    }
    return ParsedOpToken{std::string(head), unescape_token(name_piece),
                         ParamMap(std::move(entries))};
}

}  // namespace

std::optional<ParsedOpToken> parse_op_token(std::string_view text) noexcept {
    try {
        return parse(text);
    } catch (const std::exception&) {
        // Only allocation can fail here; the caller sees an unparseable token.
        return std::nullopt;
    }
}

}  // namespace corvane
