"""Show why each node of a corvane IR blob went where it did when the blob is reduced.

    python3 examples/explain_graph.py pipeline.cir                   # table and DOT text
    python3 examples/explain_graph.py pipeline.cir --svg why.svg     # needs Graphviz
    python3 examples/explain_graph.py pipeline.cir --maximal-fusion  # explain that reduction

The blob is a store before reduction, written with its outputs
(`store.serialize(outputs=[...])`): the reduction explained is the one `reduce` performs
against those outputs. Every node is drawn coloured by what happened to it (dropped as dead
code, replaced by its input by an identity rule, merged with an earlier equal node, fused
into a stage, or kept as a boundary node) and labelled with the rules that made it equal to
another node. Exit status: 0 on success, 1 when the blob cannot be read or explained or the
SVG cannot be made, 2 for a usage error.
"""

from __future__ import annotations

import pathlib
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING

from inspect_blob import Failure, blob_parser, format_table, load, read_blob, run_tool, show_graph

if TYPE_CHECKING:
    from corvane_core import Explained, GraphStore

PROG = "explain_graph"

# What can happen to a node, in the legend's order: fill colour and legend text.
FATES = {
    "dropped": ("#d9d9d9", "no output depends on it"),
    "identity": ("#fdd0a2", "equal to its input, by an identity rule"),
    "merged": ("#c6dbef", "equal to an earlier node"),
    "fused": ("#c7e9c0", "a member of a stage"),
    "kept": ("#ffffff", "a node of the reduced graph as it is"),
}

# The legend, one Graphviz HTML-like table: a row per fate and how to read the labels.
LEGEND = ('<table border="0" cellborder="1" cellspacing="0" cellpadding="4">'
          + "".join(f'<tr><td bgcolor="{colour}">{name}</td><td align="left">{text}</td></tr>'
                    for name, (colour, text) in FATES.items())
          + '<tr><td colspan="2" align="left">-&gt; where it landed in the reduced graph<br align="left"/>'
          '= n<i>k</i> by ...: the earlier node it equals, and the rules used<br align="left"/></td></tr></table>')


def fate(entry: Explained) -> str:
    if entry["landing"] is None:
        return "dropped"
    if entry["equals"] is not None:
        return "identity" if any(rule.startswith("identity-") for rule in entry["rules"]) else "merged"
    return "kept" if entry["landing"][1] is None else "fused"


def outcome(entry: Explained) -> str:
    """What happened to the node, in a few words: the second line of its label."""
    landing, equals = entry["landing"], entry["equals"]
    if landing is None:
        return "dropped"
    if equals is not None:
        return f"= n{equals} by {', '.join(entry['rules'])}"
    reduced_id, member = landing
    return f"-> node {reduced_id}" if member is None else f"-> stage {reduced_id}, member {member}"


def dot_string_end(text: str, start: int) -> int:
    """The index of the quote closing the DOT string whose contents begin at `start`."""
    i = start
    while text[i] != '"':
        i += 2 if text[i] == "\\" else 1
    return i


def escape(text: str) -> str:
    return text.replace("\\", "\\\\").replace('"', '\\"')


def explain_dot(store: GraphStore, explanation: Sequence[Explained]) -> str:
    """The store's DOT (`to_dot()`) with each vertex's label prefixed by its id and followed
    by what happened to the node, the vertex filled by its fate, a dashed edge from each
    node to the earlier node it equals, and a legend."""
    text = store.to_dot()
    out = [text[: text.index("\n") + 1]]
    at = len(out[0])
    for i, entry in enumerate(explanation):
        head = f'  n{i} [label="'
        if not text.startswith(head, at):
            raise Failure(f"unexpected DOT from the module at vertex n{i}")
        close = dot_string_end(text, at + len(head))
        end = text.index("];\n", close) + 3
        colour = FATES[fate(entry)][0]
        out.append(f'{head}n{i}: {text[at + len(head):close]}\\n{escape(outcome(entry))}"'
                   f'{text[close + 1:end - 3]}, style=filled, fillcolor="{colour}"];\n')
        at = end
    out.append(text[at: text.rindex("}")])
    for i, entry in enumerate(explanation):
        if entry["equals"] is not None:
            out.append(f"  n{i} -> n{entry['equals']} [style=dashed, color=gray40, constraint=false];\n")
    out.append(f"  legend [shape=plaintext, label=<{LEGEND}>];\n}}\n")
    return "".join(out)


def explanation_rows(store: GraphStore, explanation: Sequence[Explained]) -> list[list[str]]:
    rows = []
    for node, entry in zip(store.nodes(), explanation):
        equals = entry["equals"]
        rows.append([str(node["id"]), node["kind"], node["name"] or "-", fate(entry),
                     "-" if entry["landing"] is None else str(entry["landing"]),
                     "-" if equals is None else str(equals), ", ".join(entry["rules"])])
    return rows


def explain(source: str, svg: pathlib.Path | None, show_dot: bool, maximal_fusion: bool) -> int:
    store = load(source, read_blob(source))
    try:
        explanation = store.explain(maximal_fusion=maximal_fusion)
        rows = explanation_rows(store, explanation)
    except ValueError as error:  # a stage member the module cannot read back
        raise Failure(f"cannot explain the reduction: {error}") from None
    name = "<stdin>" if source == "-" else source
    print(f"{name}: {store.node_count()} nodes, outputs {store.outputs()}")
    if rows:
        print()
        print(format_table(["id", "kind", "name", "fate", "landing", "equals", "rules"], rows))
    show_graph(explain_dot(store, explanation), show_dot, svg)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = blob_parser(PROG, "Show why each node of a corvane IR blob went where it did when the blob is "
                         "reduced against its outputs.")
    parser.add_argument("--maximal-fusion", action="store_true", help="explain the reduction with maximal fusion")
    args = parser.parse_args(argv)
    return run_tool(PROG, lambda: explain(args.blob, args.svg, args.show_dot, args.maximal_fusion))


if __name__ == "__main__":
    sys.exit(main())
