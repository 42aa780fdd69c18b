// Tokens and optimizer symbols. Every text is appended to one string: the caller's (the
// reduction's live read appends all its symbols to one buffer) or, for a returned text,
// the per-thread scratch of `build`.
#include "token.hpp"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace corvane {
namespace {

constexpr char kHexLower[] = "0123456789abcdef";

// The four escaped characters, as a table: one load a character in the escaping scan.
constexpr std::array<bool, 256> kEscaped = [] {
    std::array<bool, 256> table{};
    for (char c : {'%', ';', '=', '|'}) table[static_cast<unsigned char>(c)] = true;
    return table;
}();

// The three-character code of an escaped character.
std::string_view escape_code(char c) noexcept {
    switch (c) {
        case '%': return "%25";
        case ';': return "%3B";
        case '=': return "%3D";
        default: return "%7C";
    }
}

// The one escaping routine. The documented whole-string passes give the same result as
// this single scan: no code contains another escaped character.
void append_escaped(std::string& out, std::string_view text) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!kEscaped[static_cast<unsigned char>(text[i])]) continue;
        out.append(text.substr(start, i - start));
        out.append(escape_code(text[i]));
        start = i + 1;
    }
    out.append(text.substr(start));
}

void append_raw(std::string& out, std::string_view text) { out.append(text); }

void append_decimal(std::string& out, std::uint64_t value) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void)ec;  // 24 bytes hold every 64-bit integer
    out.append(buf, end);
}

void append_value(std::string& out, const ParamValue& value) {
    switch (value.kind()) {
        case ParamValue::Kind::Int: {
            char buf[24];
            auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value.as_int());
            (void)ec;
            out.push_back('i');
            out.append(buf, end);
            return;
        }
        case ParamValue::Kind::Float: {
            char buf[17];
            buf[0] = 'f';
            std::uint64_t bits = canonical_float_bits(value.as_float());
            for (int i = 16; i >= 1; --i) {
                buf[i] = kHexLower[bits & 0xF];
                bits >>= 4;
            }
            out.append(buf, sizeof buf);
            return;
        }
        case ParamValue::Kind::Bool:
            out.append(value.as_bool() ? std::string_view("btrue") : std::string_view("bfalse"));
            return;
        case ParamValue::Kind::Str:
            out.push_back('s');
            append_escaped(out, value.as_str());
            return;
    }
}

void append_entry(std::string& out, const ParamMap::Entry& entry) {
    append_escaped(out, entry.first);
    out.push_back('=');
    append_value(out, entry.second);
}

void append_params(std::string& out, const ParamMap& params) {
    char sep = '|';
    for (const auto& entry : params) {
        out.push_back(sep);
        sep = ';';
        append_entry(out, entry);
    }
}

void append_named(std::string& out, std::string_view head, std::string_view name,
                  const ParamMap& params) {
    out.append(head);
    append_escaped(out, name);
    append_params(out, params);
}

// "ext", then the five descriptor fields and the preprocessing reference, each after a
// "|" and written by `field`; an absent reference is "-", a present one follows `present`.
void append_external(std::string& out, const node::External& n,
                     void (*field)(std::string&, std::string_view), std::string_view present) {
    const PayloadDescriptor& d = n.descriptor;
    out.append("ext");
    for (const std::string* f : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
        out.push_back('|');
        field(out, *f);
    }
    out.push_back('|');
    if (d.preprocessing_ref) {
        out.append(present);
        field(out, *d.preprocessing_ref);
    } else {
        out.push_back('-');
    }
    append_params(out, n.params);
}

// The token of each alternative.
void append_token_of(std::string& out, const node::Source& n) { append_named(out, "src|", n.name, n.params); }
void append_token_of(std::string& out, const node::Op& n) { append_named(out, "op|", n.name, n.params); }
void append_token_of(std::string& out, const node::Reduction& n) { append_named(out, "red|", n.name, n.params); }
void append_token_of(std::string& out, const node::External& n) { append_external(out, n, append_raw, ""); }
void append_token_of(std::string& out, const node::Stage& n) {
    out.append("stage|");
    append_decimal(out, n.members.size());
}
void append_token_of(std::string& out, const node::Exchange& n) {
    out.append("exch");
    append_params(out, n.params);
}
void append_token_of(std::string& out, const node::Join& n) {
    out.append("join");
    append_params(out, n.params);
}

// The optimizer symbol of each alternative: the token, except where the token leaves
// fields out or joins them ambiguously.
template <class Node>
void append_symbol_of(std::string& out, const Node& n) {
    append_token_of(out, n);
}
// Escaped fields; "=" keeps a present "-" apart from the absent marker.
void append_symbol_of(std::string& out, const node::External& n) { append_external(out, n, append_escaped, "="); }
// The member count, then each member's token and its references.
void append_symbol_of(std::string& out, const node::Stage& stage) {
    out.append("stage|");
    append_decimal(out, stage.members.size());
    for (const StageOp& member : stage.members) {
        out.push_back('|');
        append_escaped(out, member.op_token);
        out.push_back('=');
        bool first = true;
        for (const StageRef& ref : member.inputs) {
            if (!first) out.push_back(';');
            first = false;
            out.push_back(ref.kind == StageRef::Kind::Input ? 'i' : 'm');
            append_decimal(out, ref.index);
        }
    }
}

void append_token(std::string& out, const NodeKey& key) {
    std::visit([&](const auto& n) { append_token_of(out, n); }, key.variant());
}

// Builds a text in one reused per-thread buffer and copies it out, so the result is
// allocated once at its final size (not at all when it fits the small-string buffer).
// A buffer grown large by a rare long text is released rather than kept.
template <class Emit>
std::string build(Emit&& emit) {
    constexpr std::size_t kKeptCapacity = 4096;
    thread_local std::string scratch;
    scratch.clear();
    emit(scratch);
    std::string text(scratch);
    if (scratch.capacity() > kKeptCapacity) std::string().swap(scratch);
    return text;
}

}  // namespace

std::string escape_token(std::string_view text) {
    return build([&](std::string& out) { append_escaped(out, text); });
}

std::string unescape_token(std::string_view text) {
    // One left-to-right scan is equivalent to the four reverse passes: the codes cannot
    // overlap (none contains "%" after its first byte) and a decoded character is never
    // part of a code, so no pass can create or hide a match for another.
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    std::size_t i = text.find('%');
    while (i != std::string_view::npos && i + 2 < text.size()) {
        char decoded = 0;
        char a = text[i + 1];
        char b = text[i + 2];
        if (a == '2' && b == '5') {
            decoded = '%';
        } else if (a == '3' && b == 'B') {
            decoded = ';';
        } else if (a == '3' && b == 'D') {
            decoded = '=';
        } else if (a == '7' && b == 'C') {
            decoded = '|';
        }
        if (decoded != 0) {
            out.append(text.substr(start, i - start));
            out.push_back(decoded);
            start = i + 3;
            i = text.find('%', start);
        } else {
            i = text.find('%', i + 1);
        }
    }
    out.append(text.substr(start));
    return out;
}

std::string token(const ParamValue& value) {
    return build([&](std::string& out) { append_value(out, value); });
}

std::vector<std::string> token_entries(const ParamMap& params) {
    std::vector<std::string> entries;
    entries.reserve(params.size());
    for (const auto& entry : params) {
        entries.push_back(build([&](std::string& out) { append_entry(out, entry); }));
    }
    return entries;
}

std::string with_params(std::string_view head, const ParamMap& params) {
    return build([&](std::string& out) {
        out.append(head);
        append_params(out, params);
    });
}

std::string token(const NodeKey& key) {
    return build([&](std::string& out) { append_token(out, key); });
}

void append_optimizer_symbol(std::string& out, const NodeKey& key) {
    std::visit([&](const auto& n) { append_symbol_of(out, n); }, key.variant());
}

std::string optimizer_symbol(const NodeKey& key) {
    return build([&](std::string& out) { append_optimizer_symbol(out, key); });
}

}  // namespace corvane
