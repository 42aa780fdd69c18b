#include "token.hpp"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <variant>

#include "fault.hpp"

namespace corvane {
namespace {

constexpr char kHexLower[] = "0123456789abcdef";

bool is_escaped_char(char c) noexcept { return c == '%' || c == ';' || c == '=' || c == '|'; }

// The three-character code for one escaped character.
std::string_view escape_code(char c) noexcept {
    switch (c) {
        case '%': return "%25";
        case ';': return "%3B";
        case '=': return "%3D";
        default: return "%7C";
    }
}

// Tokens are built in one pass into a stack buffer and copied out once, so every token
// costs one allocation (none when it fits the small-string buffer); a token longer than
// the buffer continues in a heap string.
class BufferSink {
public:
    void put(char c) {
        if (!spilled_ && used_ < sizeof buf_) {
            buf_[used_++] = c;
        } else {
            spill().push_back(c);
        }
    }
    void put(std::string_view s) {
        if (!spilled_ && s.size() <= sizeof buf_ - used_) {
            s.copy(buf_ + used_, s.size());
            used_ += s.size();
        } else {
            spill().append(s);
        }
    }
    void put_escaped(std::string_view s) {
        // Whole-string replacement passes in the documented order give the same result
        // as this single scan: no code contains another escaped character.
        std::size_t start = 0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (is_escaped_char(s[i])) {
                put(s.substr(start, i - start));
                put(escape_code(s[i]));
                start = i + 1;
            }
        }
        put(s.substr(start));
    }
    std::string take() && {
        if (spilled_) return std::move(overflow_);
        return std::string(buf_, used_);
    }

private:
    std::string& spill() {
        if (!spilled_) {
            spilled_ = true;
            overflow_.reserve(2 * sizeof buf_);
            overflow_.assign(buf_, used_);
        }
        return overflow_;
    }

    char buf_[256];
    std::size_t used_ = 0;
    bool spilled_ = false;
    std::string overflow_;
};

// Appends to a string the caller owns, so that many tokens can share one buffer.
class AppendSink {
public:
    explicit AppendSink(std::string& out) : out_(out) {}
    void put(char c) { out_.push_back(c); }
    void put(std::string_view s) { out_.append(s); }
    void put_escaped(std::string_view s) {
        std::size_t start = 0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (is_escaped_char(s[i])) {
                out_.append(s.substr(start, i - start));
                out_.append(escape_code(s[i]));
                start = i + 1;
            }
        }
        out_.append(s.substr(start));
    }

private:
    std::string& out_;
};

template <class Emit>
std::string build(Emit&& emit) {
    BufferSink sink;
    emit(sink);
    return std::move(sink).take();
}

template <class Int>
std::string_view format_int(char (&buf)[24], Int value) noexcept {
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void)ec;  // 24 bytes hold every 64-bit integer
    return {buf, static_cast<std::size_t>(end - buf)};
}

template <class Sink>
void emit_value(Sink& sink, const ParamValue& value) {
    switch (value.kind()) {
        case ParamValue::Kind::Int: {
            char buf[24];
            sink.put('i');
            sink.put(format_int(buf, value.as_int()));
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
            sink.put(std::string_view(buf, sizeof buf));
            return;
        }
        case ParamValue::Kind::Bool:
            sink.put(value.as_bool() ? std::string_view("btrue") : std::string_view("bfalse"));
            return;
        case ParamValue::Kind::Str:
            sink.put('s');
            sink.put_escaped(value.as_str());
            return;
    }
}

template <class Sink>
void emit_entry(Sink& sink, const ParamMap::Entry& entry) {
    sink.put_escaped(entry.first);
    sink.put('=');
    emit_value(sink, entry.second);
}

template <class Sink>
void emit_params(Sink& sink, const ParamMap& params) {
    char sep = '|';
    for (const auto& entry : params) {
        sink.put(sep);
        sep = ';';
        emit_entry(sink, entry);
    }
}

template <class Sink>
void emit_stage_symbol(Sink& sink, const node::Stage& stage) {
    char buf[24];
    sink.put("stage|");
    sink.put(format_int(buf, stage.members.size()));
    for (const StageOp& member : stage.members) {
        sink.put('|');
        sink.put_escaped(member.op_token);
        sink.put('=');
        bool first = true;
        for (const StageRef& ref : member.inputs) {
            if (!first) sink.put(';');
            first = false;
            sink.put(ref.kind == StageRef::Kind::Input ? 'i' : 'm');
            sink.put(format_int(buf, ref.index));
        }
    }
}

// Emits the token of `key`; with `symbol` set, Stage and External get the extended
// forms that encode every field (see optimizer_symbol).
template <class Sink>
void emit_key(Sink& sink, const NodeKey& key, bool symbol) {
    std::visit(
        [&](const auto& n) {
            using T = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<T, node::Source>) {
                sink.put("src|");
                sink.put_escaped(n.name);
                emit_params(sink, n.params);
            } else if constexpr (std::is_same_v<T, node::Op>) {
                sink.put("op|");
                sink.put_escaped(n.name);
                emit_params(sink, n.params);
            } else if constexpr (std::is_same_v<T, node::Reduction>) {
                sink.put("red|");
                sink.put_escaped(n.name);
                emit_params(sink, n.params);
            } else if constexpr (std::is_same_v<T, node::External>) {
                const PayloadDescriptor& d = n.descriptor;
                sink.put("ext");
                for (const std::string* field :
                     {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
                    sink.put('|');
                    if (symbol) {
                        sink.put_escaped(*field);
                    } else {
                        sink.put(*field);
                    }
                }
                sink.put('|');
                if (!d.preprocessing_ref) {
                    sink.put('-');
                } else if (symbol) {
                    // "=" keeps a present "-" apart from the absent marker.
                    sink.put('=');
                    sink.put_escaped(*d.preprocessing_ref);
                } else {
                    sink.put(*d.preprocessing_ref);
                }
                emit_params(sink, n.params);
            } else if constexpr (std::is_same_v<T, node::Stage>) {
                if (symbol) {
                    emit_stage_symbol(sink, n);
                } else {
                    char buf[24];
                    sink.put("stage|");
                    sink.put(format_int(buf, n.members.size()));
                }
            } else if constexpr (std::is_same_v<T, node::Exchange>) {
                sink.put("exch");
                emit_params(sink, n.params);
            } else {
                static_assert(std::is_same_v<T, node::Join>);
                sink.put("join");
                emit_params(sink, n.params);
            }
        },
        key.variant());
}

// Decodes one UTF-8 sequence starting at text[i]; returns its length, or 0 when the
// bytes there are not a well-formed sequence.
std::size_t decode_utf8(std::string_view text, std::size_t i, char32_t& cp) noexcept {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b0 = byte(i);
    std::size_t len;
    char32_t min;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2;
        min = 0x80;
        cp = b0 & 0x1Fu;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3;
        min = 0x800;
        cp = b0 & 0x0Fu;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4;
        min = 0x10000;
        cp = b0 & 0x07u;
    } else {
        return 0;
    }
    if (text.size() - i < len) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

// Characters shown escaped in the Str display form besides the ASCII controls: the C1
// controls, Unicode noncharacters, line/paragraph separators and the invisible format
// characters (bidi controls, zero-width marks, the byte-order mark, tags, ...).
bool is_printable_non_ascii(char32_t cp) noexcept {
    if (cp <= 0x9F) return false;                     // C1 controls
    if ((cp & 0xFFFE) == 0xFFFE) return false;        // U+xxFFFE, U+xxFFFF
    if (cp >= 0xFDD0 && cp <= 0xFDEF) return false;   // noncharacters
    if (cp == 0xAD || cp == 0x61C || cp == 0x6DD || cp == 0x70F || cp == 0x8E2 ||
        cp == 0x180E || cp == 0xFEFF || cp == 0x110BD || cp == 0x110CD) {
        return false;
    }
    if (cp >= 0x600 && cp <= 0x605) return false;
    if (cp >= 0x200B && cp <= 0x200F) return false;   // zero-width, LRM/RLM
    if (cp >= 0x2028 && cp <= 0x202E) return false;   // separators, bidi embeddings
    if (cp >= 0x2060 && cp <= 0x206F) return false;   // word joiner, invisible ops, bidi
    if (cp >= 0xFFF9 && cp <= 0xFFFB) return false;   // interlinear annotation
    if (cp >= 0x1BCA0 && cp <= 0x1BCA3) return false; // shorthand format controls
    if (cp >= 0x1D173 && cp <= 0x1D17A) return false; // musical format controls
    if (cp >= 0xE0000 && cp <= 0xE0FFF) return false; // tags, variation selectors supplement
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
    out.push_back('"');
    std::size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        auto u = static_cast<unsigned char>(c);
        if (u < 0x80) {
            ++i;
            switch (c) {
                case '\\': out.append("\\\\"); continue;
                case '"': out.append("\\\""); continue;
                case '\t': out.append("\\t"); continue;
                case '\r': out.append("\\r"); continue;
                case '\n': out.append("\\n"); continue;
                case '\0': out.append("\\0"); continue;
                default: break;
            }
            if (u < 0x20 || u == 0x7F) {
                append_hex_escape(out, u, "\\u{", "}");
            } else {
                out.push_back(c);
            }
            continue;
        }
        char32_t cp = 0;
        std::size_t len = decode_utf8(text, i, cp);
        if (len == 0) {
            // Not reachable for validated strings; a stray byte is still shown losslessly
            // and the result stays valid UTF-8.
            char buf[4] = {'\\', 'x', kHexLower[u >> 4], kHexLower[u & 0xF]};
            out.append(buf, sizeof buf);
            ++i;
        } else if (is_printable_non_ascii(cp)) {
            out.append(text.substr(i, len));
            i += len;
        } else {
            append_hex_escape(out, static_cast<std::uint32_t>(cp), "\\u{", "}");
            i += len;
        }
    }
    out.push_back('"');
}

void append_display(std::string& out, const ParamValue& value) {
    switch (value.kind()) {
        case ParamValue::Kind::Int: {
            char buf[24];
            out.append(format_int(buf, value.as_int()));
            return;
        }
        case ParamValue::Kind::Float: out.append(display(value.as_float())); return;
        case ParamValue::Kind::Bool: out.append(value.as_bool() ? "true" : "false"); return;
        case ParamValue::Kind::Str: append_quoted(out, value.as_str()); return;
    }
}

void append_display(std::string& out, const ParamMap& params) {
    out.push_back('{');
    bool first = true;
    for (const auto& [k, v] : params) {
        if (!first) out.append(", ");
        first = false;
        out.append(k);
        out.push_back('=');
        append_display(out, v);
    }
    out.push_back('}');
}

void append_label_params(std::string& out, const ParamMap& params) {
    if (params.empty()) return;
    out.push_back(' ');
    append_display(out, params);
}

}  // namespace

std::string escape_token(std::string_view text) {
    return build([&](auto& sink) { sink.put_escaped(text); });
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
    return build([&](auto& sink) { emit_value(sink, value); });
}

std::vector<std::string> token_entries(const ParamMap& params) {
    std::vector<std::string> entries;
    entries.reserve(params.size());
    for (const auto& entry : params) {
        entries.push_back(build([&](auto& sink) { emit_entry(sink, entry); }));
    }
    return entries;
}

std::string with_params(std::string_view head, const ParamMap& params) {
    return build([&](auto& sink) {
        sink.put(head);
        emit_params(sink, params);
    });
}

std::string token(const NodeKey& key) {
    return build([&](auto& sink) { emit_key(sink, key, false); });
}

void append_optimizer_symbol(std::string& out, const NodeKey& key) {
    AppendSink sink(out);
    emit_key(sink, key, true);
}

std::string optimizer_symbol(const NodeKey& key) {
    return build([&](auto& sink) { emit_key(sink, key, true); });
}

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
    append_display(out, value);
    return out;
}

std::string display(const ParamMap& params) {
    std::string out;
    append_display(out, params);
    return out;
}

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_quoted(out, text);
    return out;
}

std::string label(const NodeKey& key) {
    std::string out;
    std::visit(
        [&](const auto& n) {
            using T = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<T, node::Source>) {
                out.append("Source ");
                out.append(n.name);
                append_label_params(out, n.params);
            } else if constexpr (std::is_same_v<T, node::Op>) {
                out.append("Op ");
                out.append(n.name);
                append_label_params(out, n.params);
            } else if constexpr (std::is_same_v<T, node::Reduction>) {
                out.append("Reduction ");
                out.append(n.name);
                append_label_params(out, n.params);
            } else if constexpr (std::is_same_v<T, node::External>) {
                const PayloadDescriptor& d = n.descriptor;
                out.append("External ");
                out.append(d.kind);
                out.push_back(':');
                out.append(d.content_hash);
                out.append(" [");
                out.append(d.framework);
                out.push_back(' ');
                out.append(d.version);
                out.push_back(']');
                append_label_params(out, n.params);
            } else if constexpr (std::is_same_v<T, node::Stage>) {
                char buf[24];
                out.append("Stage[");
                out.append(format_int(buf, n.members.size()));
                out.append(" members]");
            } else if constexpr (std::is_same_v<T, node::Exchange>) {
                out.append("Exchange");
                append_label_params(out, n.params);
            } else {
                static_assert(std::is_same_v<T, node::Join>);
                out.append("Join");
                append_label_params(out, n.params);
            }
        },
        key.variant());
    return out;
}

}  // namespace corvane
