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
#include <type_traits>
#include <variant>

#include "table_view.hpp"

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

// The token of a value, borrowed (a Float by its canonical bit pattern).
void append_value(std::string& out, const ParamEntryView& value) {
    switch (value.kind) {
        case ParamValue::Kind::Int: {
            char buf[24];
            auto [end, ec] = std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(value.bits));
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

// "|" and the entries joined with ";", each item of `params` read through `entry` as a
// borrowed entry; nothing for no parameters.
template <class Range, class Entry>
void append_params(std::string& out, const Range& params, Entry entry) {
    char sep = '|';
    for (const auto& item : params) {
        out.push_back(sep);
        sep = ';';
        append_entry(out, entry(item));
    }
}

// A node's fields as both formats read them, borrowed: the parameters and the Stage
// members are ranges read through `entry` and `member` (as ParamEntryView and
// MemberView), so a key, a view and a table node are written by the same code.
template <class Params, class Entry, class Members, class Member>
struct Fields {
    NodeKey::Kind kind;
    std::string_view name;
    DescriptorView descriptor;  // External only
    const Params& params;
    Entry entry;
    const Members& members;     // Stage only
    Member member;
};

enum class Form : std::uint8_t { Token, Symbol };

// "ext", then the five descriptor fields and the preprocessing reference, each after a
// "|"; an absent reference is "-". The token writes the fields raw and a present
// reference as it is; the symbol escapes them, and "=" keeps a present "-" apart from
// the absent marker.
template <class F>
void append_external(std::string& out, const F& n, Form form) {
    const DescriptorView& d = n.descriptor;
    out.append("ext");
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
    append_params(out, n.params, n.entry);
}

// The one definition of both formats. The symbol equals the token except where the
// token leaves fields out or joins them ambiguously: External (see append_external) and
// Stage, whose symbol adds each member's token and its references after the count.
template <class F>
void append_text(std::string& out, const F& n, Form form) {
    switch (n.kind) {
        case NodeKey::Kind::Source: out.append("src|"); break;
        case NodeKey::Kind::Op: out.append("op|"); break;
        case NodeKey::Kind::Reduction: out.append("red|"); break;
        case NodeKey::Kind::External: append_external(out, n, form); return;
        case NodeKey::Kind::Stage: {
            out.append("stage|");
            append_decimal(out, std::size(n.members));
            if (form == Form::Token) return;
            for (const auto& item : n.members) {
                const MemberView member = n.member(item);
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
            return;
        }
        case NodeKey::Kind::Exchange: out.append("exch"); append_params(out, n.params, n.entry); return;
        case NodeKey::Kind::Join: out.append("join"); append_params(out, n.params, n.entry); return;
    }
    append_escaped(out, n.name);
    append_params(out, n.params, n.entry);
}

DescriptorView descriptor_view(const PayloadDescriptor& d) noexcept {
    return DescriptorView{d.kind, d.content_hash, d.framework, d.version, d.io_schema,
                          d.preprocessing_ref ? std::string_view(*d.preprocessing_ref) : std::string_view(),
                          d.preprocessing_ref.has_value()};
}

const auto kSameMember = [](const MemberView& m) { return m; };
const auto kSameEntry = [](const ParamEntryView& e) { return e; };
const std::vector<StageOp> kNoMembers;

// Writes a key's text: its fields are borrowed in place, nothing is built.
void append_key_text(std::string& out, const NodeKey& key, Form form) {
    std::string_view name;
    DescriptorView descriptor;
    const std::vector<StageOp>* members = &kNoMembers;
    std::visit(
        [&](const auto& n) {
            using T = std::decay_t<decltype(n)>;
            if constexpr (requires { n.name; }) name = n.name;
            if constexpr (std::is_same_v<T, node::External>) descriptor = descriptor_view(n.descriptor);
            if constexpr (std::is_same_v<T, node::Stage>) members = &n.members;
        },
        key.variant());
    const auto member = [](const StageOp& m) { return MemberView{m.op_token, m.inputs}; };
    append_text(out, Fields{key.kind(), name, descriptor, key.params(), ParamEntryView::of, *members, member}, form);
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
    return build([&](std::string& out) { append_value(out, ParamEntryView::of({std::string(), value})); });
}

std::vector<std::string> token_entries(const ParamMap& params) {
    std::vector<std::string> entries;
    entries.reserve(params.size());
    for (const auto& entry : params) {
        entries.push_back(build([&](std::string& out) { append_entry(out, ParamEntryView::of(entry)); }));
    }
    return entries;
}

std::string with_params(std::string_view head, const ParamMap& params) {
    return build([&](std::string& out) {
        out.append(head);
        append_params(out, params, ParamEntryView::of);
    });
}

std::string token(const NodeKey& key) {
    return build([&](std::string& out) { append_key_text(out, key, Form::Token); });
}

void append_optimizer_symbol(std::string& out, const NodeKey& key) { append_key_text(out, key, Form::Symbol); }

void append_optimizer_symbol(std::string& out, const NodeView& view) {
    const DescriptorView descriptor = view.descriptor != nullptr ? *view.descriptor : DescriptorView{};
    append_text(out, Fields{view.kind, view.name, descriptor, view.params, kSameEntry, view.members, kSameMember},
                Form::Symbol);
}

void append_optimizer_symbol(std::string& out, const NodeTable& table, std::size_t i) {
    const NodeKey::Kind kind = table.kind(i);
    const DescriptorView descriptor = kind == NodeKey::Kind::External ? table_descriptor(table, i) : DescriptorView{};
    const std::span<const MemberSlot> members = table.members(i);
    const auto member = [&](const MemberSlot& m) {
        return MemberView{table.text(m.token), table.operands(members, static_cast<std::size_t>(&m - members.data()))};
    };
    const auto entry = [&](const ParamSlot& slot) { return table.entry(slot); };
    append_text(out, Fields{kind, table.name(i), descriptor, table.params(i), entry, members, member}, Form::Symbol);
}

std::string optimizer_symbol(const NodeKey& key) {
    return build([&](std::string& out) { append_optimizer_symbol(out, key); });
}

}  // namespace corvane
