"""Show what a corvane IR blob holds: a table of its nodes and its Graphviz DOT text.

    python3 examples/inspect_blob.py pipeline.cir
    python3 examples/inspect_blob.py pipeline.cir --svg pipeline.svg   # needs Graphviz
    some-tool | python3 examples/inspect_blob.py -                     # blob on stdin

A blob is what `GraphStore.serialize()` writes. Exit status: 0 on success, 1 when the
blob cannot be read or shown or the SVG cannot be made, 2 for a usage error.
"""

from __future__ import annotations

import argparse
import pathlib
import shutil
import subprocess
import sys
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING

try:
    from corvane_core import GraphStore
except ImportError as error:  # pragma: no cover - depends on the installation
    sys.exit(f"inspect_blob: cannot import corvane_core ({error}); build the module and "
             "put it on PYTHONPATH, or install it")

if TYPE_CHECKING:
    from corvane_core import StageMember

PROG = "inspect_blob"


class Failure(Exception):
    """A problem to report to the user in one line, without a traceback."""


def read_blob(source: str) -> bytes:
    if source == "-":
        return sys.stdin.buffer.read()
    try:
        return pathlib.Path(source).read_bytes()
    except OSError as error:
        raise Failure(f"cannot read {source!r}: {error.strerror or error}") from None


def load(source: str, data: bytes) -> GraphStore:
    try:
        return GraphStore.deserialize(data)
    except ValueError as error:
        raise Failure(f"invalid blob {source!r}: {error}") from None


def show_params(params: Mapping[str, object]) -> str:
    return ", ".join(f"{key}={value!r}" for key, value in params.items())


def show_member(index: int, member: StageMember) -> str:
    operands = ", ".join(f"{'in' if where == 'input' else 'm'}{k}" for where, k in member["inputs"])
    text = f"m{index}: {member['kind']} {member['name']}({operands})"
    params = show_params(member["params"])
    return f"{text} {params}" if params else text


def node_rows(store: GraphStore) -> list[list[str]]:
    """One row per node, plus one row per stage member, as table cells."""
    rows: list[list[str]] = []
    for node in store.nodes():
        inputs = ", ".join(str(i) for i in node["inputs"]) or "-"
        details = show_params(node["params"])
        if node["kind"] == "external":
            d = node["descriptor"]
            ref = f", preprocessing {d['preprocessing_ref']!r}" if d["preprocessing_ref"] is not None else ""
            descriptor = f"{d['kind']}:{d['content_hash']} [{d['framework']} {d['version']}] {d['io_schema']}{ref}"
            details = f"{descriptor}; {details}" if details else descriptor
        elif node["kind"] == "stage":
            count = node["n_members"]
            details = f"{count} member" if count == 1 else f"{count} members"
        rows.append([str(node["id"]), "*" if node["output"] else "", node["kind"], node["name"] or "-",
                     inputs, details])
        if node["kind"] == "stage":
            rows.extend(["", "", "", "", "", "  " + show_member(i, m)] for i, m in enumerate(node["members"]))
    return rows


def format_table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    widths = [max(len(row[c]) for row in [header, *rows]) for c in range(len(header) - 1)]
    lines = []
    for row in [header, *rows]:
        cells = [cell.rjust(widths[0]) if c == 0 else cell.ljust(widths[c]) for c, cell in enumerate(row[:-1])]
        lines.append("  ".join([*cells, row[-1]]).rstrip())
    return "\n".join(lines)


def render_svg(dot_text: str, path: pathlib.Path) -> None:
    dot = shutil.which("dot")
    if dot is None:
        raise Failure(f"Graphviz 'dot' is not installed, so {str(path)!r} was not written "
                      "(install the graphviz package, or render the DOT text above yourself)")
    result = subprocess.run([dot, "-Tsvg", "-o", str(path)], input=dot_text, capture_output=True, text=True)
    if result.returncode != 0:
        raise Failure(f"dot could not render {str(path)!r}: {result.stderr.strip() or result.returncode}")


def inspect(source: str, svg: pathlib.Path | None, show_dot: bool) -> int:
    data = read_blob(source)
    store = load(source, data)
    name = "<stdin>" if source == "-" else source
    print(f"{name}: {len(data)} bytes, {store.node_count()} nodes, outputs {store.outputs()}")
    status = 0
    try:
        rows = node_rows(store)
    except ValueError as error:  # a stage member the module cannot read back
        print(f"{PROG}: cannot list the nodes: {error}", file=sys.stderr)
        status = 1
    else:
        if rows:
            print()
            print(format_table(["id", "out", "kind", "name", "inputs", "details"], rows))
    show_graph(store.to_dot(), show_dot, svg)
    return status


def show_graph(dot_text: str, show_dot: bool, svg: pathlib.Path | None) -> None:
    """Prints the DOT text unless told not to, and renders it to `svg` when one is given."""
    if show_dot:
        print()
        print(dot_text, end="")
    if svg is not None:
        render_svg(dot_text, svg)
        print(f"\nwrote {svg}")


def blob_parser(prog: str, description: str) -> argparse.ArgumentParser:
    """A parser for what every blob tool takes: the blob, --svg and --no-dot."""
    parser = argparse.ArgumentParser(prog=prog, description=description)
    parser.add_argument("blob", help="the blob file, or - to read it from standard input")
    parser.add_argument("--svg", metavar="PATH", type=pathlib.Path, help="also render the graph to PATH with Graphviz")
    parser.add_argument("--no-dot", dest="show_dot", action="store_false", help="do not print the DOT text")
    return parser


def run_tool(prog: str, work: Callable[[], int]) -> int:
    """Runs a tool's work; a Failure is reported in one line on standard error, status 1."""
    try:
        return work()
    except Failure as failure:
        sys.stdout.flush()
        print(f"{prog}: {failure}", file=sys.stderr)
        return 1


def main(argv: Sequence[str] | None = None) -> int:
    args = blob_parser(PROG, "Show the nodes and the DOT text of a corvane IR blob.").parse_args(argv)
    return run_tool(PROG, lambda: inspect(args.blob, args.svg, args.show_dot))


if __name__ == "__main__":
    sys.exit(main())
