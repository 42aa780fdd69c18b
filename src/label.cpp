// Labels and display forms; a Str value's UTF-8 is decoded with the blob reader's routine.
#include "label.hpp"

#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <span>
#include <system_error>
#include <vector>

#include "fault.hpp"
#include "utf8.hpp"

namespace corvane {
namespace {

// Characters shown escaped in the Str display form besides the ASCII controls: the C1
// controls, Unicode noncharacters, line/paragraph separators and the invisible format
// characters (bidi controls, zero-width marks, the byte-order mark, tags, ...).
bool is_printable_non_ascii(char32_t cp) noexcept {
    if (cp <= 0x9F) return false;                    // C1 controls
    if ((cp & 0xFFFE) == 0xFFFE) return false;       // U+xxFFFE, U+xxFFFF
    if (cp >= 0xFDD0 && cp <= 0xFDEF) return false;  // noncharacters
    if (cp == 0xAD || cp == 0x61C || cp == 0x6DD || cp == 0x70F || cp == 0x8E2 || cp == 0x180E ||
        cp == 0xFEFF || cp == 0x110BD || cp == 0x110CD) {
        return false;
    }
    if (cp >= 0x600 && cp <= 0x605) return false;
    if (cp >= 0x200B && cp <= 0x200F) return false;    // zero-width, LRM/RLM
    if (cp >= 0x2028 && cp <= 0x202E) return false;    // separators, bidi embeddings
    if (cp >= 0x2060 && cp <= 0x206F) return false;    // word joiner, invisible ops, bidi
    if (cp >= 0xFFF9 && cp <= 0xFFFB) return false;    // interlinear annotation
    if (cp >= 0x1BCA0 && cp <= 0x1BCA3) return false;  // shorthand format controls
    if (cp >= 0x1D173 && cp <= 0x1D17A) return false;  // musical format controls
    if (cp >= 0xE0000 && cp <= 0xE0FFF) return false;  // tags, variation selectors supplement
    return true;
}

void append_hex_escape(std::string& out, std::uint32_t value, std::string_view open,
                       std::string_view close) {
    char buf[8];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, 16);
    (void)ec;
    out.append(open);
    out.append(buf, static_cast<std::size_t>(end - buf));
    out.append(close);
}

void append_quoted(std::string& out, std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    out.push_back('"');
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        const unsigned char u = bytes[i];
        if (u < 0x80) {
            ++i;
            switch (c) {
            case '\\':
                out.append("\\\\");
                continue;
            case '"':
                out.append("\\\"");
                continue;
            case '\t':
                out.append("\\t");
                continue;
            case '\r':
                out.append("\\r");
                continue;
            case '\n':
                out.append("\\n");
                continue;
            case '\0':
                out.append("\\0");
                continue;
            default:
                break;
            }
            if (u < 0x20 || u == 0x7F) {
                append_hex_escape(out, u, "\\u{", "}");
            } else {
                out.push_back(c);
            }
            continue;
        }
        const std::size_t len = utf8::sequence_length(bytes, text.size(), i);
        if (len == 0) {
            // Not reachable for validated strings; a stray byte is still shown losslessly
            // (two hex digits, as it is at least 0x80) and the result stays valid UTF-8.
            append_hex_escape(out, u, "\\x", "");
            ++i;
            continue;
        }
        const char32_t cp = utf8::code_point(bytes + i, len);
        if (is_printable_non_ascii(cp)) {
            out.append(text.substr(i, len));
        } else {
            append_hex_escape(out, static_cast<std::uint32_t>(cp), "\\u{", "}");
        }
        i += len;
    }
    out.push_back('"');
}

// The display form of a value, borrowed.
void append_display(std::string& out, const ParamEntryView& value) {
    switch (value.kind) {
    case ParamValue::Kind::Int:
        out.append(std::to_string(static_cast<std::int64_t>(value.bits)));
        return;
    case ParamValue::Kind::Float:
        out.append(display(std::bit_cast<double>(value.bits)));
        return;
    case ParamValue::Kind::Bool:
        out.append(value.bits != 0 ? "true" : "false");
        return;
    case ParamValue::Kind::Str:
        append_quoted(out, value.text());
        return;
    }
}

// "{k=v, ...}".
void append_display(std::string& out, std::span<const ParamEntryView> params) {
    out.push_back('{');
    bool first = true;
    for (const ParamEntryView& e : params) {
        if (!first) out.append(", ");
        first = false;
        out.append(e.key());
        out.push_back('=');
        append_display(out, e);
    }
    out.push_back('}');
}

}  // namespace

std::string display(double value) {
    if (value != value) return "NaN";
    if (value == std::numeric_limits<double>::infinity()) return "inf";
    if (value == -std::numeric_limits<double>::infinity()) return "-inf";

    // Shortest round-trip digits in scientific form ("-d.ddde+XX"), rewritten below
    // into plain positional notation.
    char buf[40];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    fault_unless(ec == std::errc(), "float display buffer too small");
    std::string_view sci(buf, static_cast<std::size_t>(end - buf));

    std::string out;
    if (!sci.empty() && sci.front() == '-') {
        out.push_back('-');
        sci.remove_prefix(1);
    }
    std::size_t e_pos = sci.find('e');
    fault_unless(e_pos != std::string_view::npos, "float display without exponent");
    std::string_view mantissa = sci.substr(0, e_pos);
    int exponent = 0;
    std::string_view exp_text = sci.substr(e_pos + 1);
    if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
    auto [exp_end, exp_ec] =
        std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
    fault_unless(exp_ec == std::errc() && exp_end == exp_text.data() + exp_text.size(),
                 "float display with a malformed exponent");

    char digits[24];
    std::size_t n = 0;
    for (char c : mantissa) {
        if (c != '.' && n < sizeof digits) digits[n++] = c;
    }
    std::string_view ds(digits, n);

    // The value is d1.d2...dn * 10^exponent: the decimal point goes after
    // exponent + 1 digits.
    const long point = static_cast<long>(exponent) + 1;
    const auto count = static_cast<long>(n);
    if (point >= count) {
        out.reserve(out.size() + static_cast<std::size_t>(point));
        out.append(ds);
        out.append(static_cast<std::size_t>(point - count), '0');
    } else if (point <= 0) {
        out.reserve(out.size() + 2 + static_cast<std::size_t>(-point) + n);
        out.append("0.");
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(ds);
    } else {
        const auto split = static_cast<std::size_t>(point);
        out.append(ds.substr(0, split));
        out.push_back('.');
        out.append(ds.substr(split));
    }
    return out;
}

std::string display(const ParamValue& value) {
    std::string out;
    append_display(out, ParamEntryView::of({std::string(), value}));
    return out;
}

std::string display(const ParamMap& params) {
    std::vector<ParamEntryView> entries;
    entries.reserve(params.size());
    for (const auto& entry : params) entries.push_back(ParamEntryView::of(entry));
    std::string out;
    append_display(out, entries);
    return out;
}

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_quoted(out, text);
    return out;
}

// The caption word, then the name, the descriptor's kind, hash, framework and version,
// or the member count, as the kind has them; then a space and the parameters' display
// form when there are any.
void append_label(std::string& out, const NodeView& node) {
    const KindTraits& t = traits(node.kind);
    out.append(t.caption);
    if (t.name) out.append(" ").append(node.name);
    if (t.descriptor) {
        fault_unless(node.descriptor != nullptr, "External node without a descriptor");
        const DescriptorView& d = *node.descriptor;
        out.append(" ").append(d.kind).append(":").append(d.content_hash);
        out.append(" [").append(d.framework).append(" ").append(d.version).append("]");
    }
    if (t.members) out.append("[").append(std::to_string(node.members.size())).append(" members]");
    if (node.params.empty()) return;
    out.push_back(' ');
    append_display(out, node.params);
}

std::string label(const NodeView& node) {
    std::string out;
    append_label(out, node);
    return out;
}

}  // namespace corvane
