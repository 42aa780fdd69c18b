// Graphviz DOT rendering of a store: one vertex per node in id order, then one edge per
// input reference; outputs drawn as double circles.
#include <charconv>
#include <string>
#include <string_view>
#include <vector>

#include "store.hpp"
#include "store_inner.hpp"
#include "label.hpp"
#include "table_view.hpp"

namespace corvane {
namespace {

void append_id(std::string& out, std::uint64_t id) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, id);
    (void)ec;
    out.append(buf, end);
}

void append_escaped(std::string& out, std::string_view label) {
    for (char c : label) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else
            out += c;
    }
}

}  // namespace

std::string GraphStore::to_dot() const {
    return inner_->with_lock([](const Inner& in) {
        std::string out = "digraph corvane {\n";
        std::vector<bool> is_output(in.table.nodes().size(), false);
        for (NodeId id : in.outputs) {
            if (id < is_output.size()) is_output[static_cast<std::size_t>(id)] = true;
        }
        std::string caption;
        ViewScratch scratch;
        for (std::size_t i = 0; i < in.table.nodes().size(); ++i) {
            out += "  n";
            append_id(out, i);
            out += " [label=\"";
            caption.clear();
            append_label(caption, table_view(in.table.nodes(), i, scratch));
            append_escaped(out, caption);
            out += '"';
            if (is_output[i]) out += ", shape=doublecircle";
            out += "];\n";
        }
        for (std::size_t i = 0; i < in.table.nodes().size(); ++i) {
            for (NodeId input : in.table.nodes().inputs(i)) {
                out += "  n";
                append_id(out, input);
                out += " -> n";
                append_id(out, i);
                out += ";\n";
            }
        }
        out += "}\n";
        return out;
    });
}

}  // namespace corvane
