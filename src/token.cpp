// Tokens and optimizer symbols. Every text is appended to one string: the caller's (the
// reduction's live read appends all its symbols to one buffer) or, for a returned text,
// the per-thread scratch of `build`.
#include "token.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <span>

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
    case '%':
        return "%25";
    case ';':
        return "%3B";
    case '=':
        return "%3D";
    default:
        return "%7C";
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

// The token of a value, borrowed (a Float by its canonical bit pattern).
void append_value(std::string& out, const ParamEntryView& value) {
    switch (value.kind) {
    case ParamValue::Kind::Int: {
        char buf[24];
        auto [end, ec] =
            std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(value.bits));
        (void)ec;
        out.push_back('i');
        out.append(buf, end);
        return;
    }
    case ParamValue::Kind::Float: {
        char buf[17];
        buf[0] = 'f';
        std::uint64_t bits = canonical_float_bits(std::bit_cast<double>(value.bits));
        for (int i = 16; i >= 1; --i) {
            buf[i] = kHexLower[bits & 0xF];
            bits >>= 4;
        }
        out.append(buf, sizeof buf);
        return;
    }
    case ParamValue::Kind::Bool:
        out.append(value.bits != 0 ? std::string_view("btrue") : std::string_view("bfalse"));
        return;
    case ParamValue::Kind::Str:
        out.push_back('s');
        append_escaped(out, value.text());
        return;
    }
}

void append_entry(std::string& out, const ParamEntryView& entry) {
    append_escaped(out, entry.key());
    out.push_back('=');
    append_value(out, entry);
}

// "|" and the entries joined with ";"; nothing for no parameters.
void append_params(std::string& out, std::span<const ParamEntryView> params) {
    char sep = '|';
    for (const ParamEntryView& entry : params) {
        out.push_back(sep);
        sep = ';';
        append_entry(out, entry);
    }
}

enum class Form : std::uint8_t { Token, Symbol };

// The five descriptor fields and the preprocessing reference, each after a "|"; an
// absent reference is "-". The token writes the fields raw and a present reference as it
// is; the symbol escapes them, and "=" keeps a present "-" apart from the absent marker.
void append_descriptor(std::string& out, const DescriptorView& d, Form form) {
    for (std::string_view f : {d.kind, d.content_hash, d.framework, d.version, d.io_schema}) {
        out.push_back('|');
        form == Form::Symbol ? append_escaped(out, f) : append_raw(out, f);
    }
    out.push_back('|');
    if (d.has_ref) {
        if (form == Form::Symbol) {
            out.push_back('=');
            append_escaped(out, d.preprocessing_ref);
        } else {
            append_raw(out, d.preprocessing_ref);
        }
    } else {
        out.push_back('-');
    }
}

// A Stage's "|" and member count; the symbol adds each member's token and references.
void append_members(std::string& out, std::span<const MemberView> members, Form form) {
    out.push_back('|');
    append_decimal(out, members.size());
    if (form == Form::Token) return;
    for (const MemberView& member : members) {
        out.push_back('|');
        append_escaped(out, member.token);
        out.push_back('=');
        bool first = true;
        for (const StageRef& ref : member.operands) {
            if (!first) out.push_back(';');
            first = false;
            out.push_back(ref.kind == StageRef::Kind::Input ? 'i' : 'm');
            append_decimal(out, ref.index);
        }
    }
}

// The one definition of both formats: the head, then the fields the kind has. The
// symbol equals the token except where the token leaves fields out or joins them
// ambiguously: the External descriptor and the Stage members.
void append_text(std::string& out, const NodeView& n, Form form) {
    const KindTraits& t = traits(n.kind);
    out.append(t.head);
    if (t.name) {
        out.push_back('|');
        append_escaped(out, n.name);
    }
    if (t.descriptor) append_descriptor(out, *n.descriptor, form);
    if (t.members) append_members(out, n.members, form);
    if (t.params) append_params(out, n.params);
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
    return build(
        [&](std::string& out) { append_value(out, ParamEntryView::of({std::string(), value})); });
}

std::string token(const NodeView& node) {
    return build([&](std::string& out) { append_text(out, node, Form::Token); });
}

void append_optimizer_symbol(std::string& out, const NodeView& node) {
    append_text(out, node, Form::Symbol);
}

std::string optimizer_symbol(const NodeView& node) {
    return build([&](std::string& out) { append_text(out, node, Form::Symbol); });
}

}  // namespace corvane
