"""Record a small data pipeline, reduce it, and show what corvane_core offers.

Run with `make demo`. The pipeline is the one docs/guide.md walks through. Pictures of the
graph before and after reduction are written as Graphviz DOT (and SVG when Graphviz's
`dot` is installed) under ./out/.

With --figures (`make figures`) it redraws instead the guide's pictures under docs/img:
demo-before.svg and demo-after.svg, and explain.svg, the guide's explained example as
examples/explain_graph.py draws it. Each carries the SHA-256 of the DOT it was drawn from,
so the test suite can tell when the module would draw something else.
"""

from __future__ import annotations

import argparse
import hashlib
import pathlib
import shutil
import subprocess
from collections.abc import Mapping

import corvane_core
import explain_graph
from corvane_core import GraphStore, IncrementalReducer, PayloadDescriptor

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT = ROOT / "out"
FIGURES = ROOT / "docs" / "img"


def record(store: GraphStore, reducer: IncrementalReducer | None = None) -> dict[str, int]:
    """Record a click-stream pipeline; step `reducer` after every node if given."""
    ids: dict[str, int] = {}

    def keep(name: str, node_id: int) -> int:
        ids[name] = node_id
        if reducer is not None:
            reducer.step(store)
        return node_id

    clicks = keep("clicks", store.add_source("clicks", {"path": "s3://logs/clicks", "format": "parquet"}))
    users = keep("users", store.add_source("users", {"path": "s3://dim/users"}))
    # The front end emits a no-op and a commuted duplicate; the reduction removes them.
    scaled = keep("scaled", store.add_op("mul", [clicks], {"scalar": 1.0, "side": "r"}))
    valid = keep("valid", store.add_op("filter", [scaled], {"predicate": "dwell_ms > 0"}))
    weight = keep("weight", store.add_op("mul", [valid, users]))
    weight2 = keep("weight2", store.add_op("mul", [users, valid]))
    score = keep("score", store.add_op("add", [weight, weight2]))
    by_user = keep("by_user", store.add_exchange([score], {"scheme": "hash", "key": "user_id"}))
    joined = keep("joined", store.add_join([by_user, users], {"how": "inner"}))
    model = PayloadDescriptor(kind="onnx", content_hash="sha256:9f2c", framework="onnxruntime",
                              version="1.20", io_schema="f32[n,16]->f32[n]")
    predicted = keep("predicted", store.add_external(model, [joined], {"batch": 512}))
    norm = keep("norm", store.add_op("abs", [predicted]))
    clipped = keep("clipped", store.add_op("minimum", [norm, norm]))
    keep("total", store.add_reduction("sum", [clipped]))
    keep("unused", store.add_op("log", [score]))  # never requested: dead code
    return ids


def print_report(title: str, report: Mapping[str, object]) -> None:
    keys = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
            "boundary_nodes"]
    print(f"  {title}")
    for key in keys:
        print(f"    {key:<16} {report[key]:>4}")


def pictures(store: GraphStore, reduced: GraphStore, outputs: list[int]) -> dict[str, str]:
    """The DOT of the requested cone, unreduced, and of the reduced graph."""
    return {"before": store.cone(outputs=outputs).to_dot(), "after": reduced.to_dot()}


def explained_example() -> GraphStore:
    """The store of the guide's section on why a node disappeared, marked with its output."""
    store = GraphStore()
    x = store.add_source("x")
    y = store.add_source("y")
    a = store.add_op("mul", [x, y])
    b = store.add_op("mul", [y, x])
    neg_a = store.add_op("neg", [a])
    neg_b = store.add_op("neg", [b])
    z = store.add_op("add", [x], {"scalar": 0.0, "side": "r"})
    joined = store.add_join([a, b, neg_a, neg_b, z])
    store.add_op("log", [neg_b])
    return GraphStore.deserialize(store.serialize(outputs=[joined]))


def figure_dots() -> dict[str, str]:
    """The guide's pictures: file name under docs/img -> the DOT it is drawn from."""
    store = GraphStore()
    outputs = [record(store)["total"]]
    reduced, _ = store.reduce(outputs=outputs)
    figures = {f"demo-{name}.svg": text for name, text in pictures(store, reduced, outputs).items()}
    explained = explained_example()
    figures["explain.svg"] = explain_graph.explain_dot(explained, explained.explain())
    return figures


def figure_stamp(dot_text: str) -> str:
    """The comment a guide picture carries: the SHA-256 of the DOT it was drawn from."""
    return f"<!-- drawn from DOT with SHA-256 {hashlib.sha256(dot_text.encode()).hexdigest()} -->"


def draw_figures() -> None:
    dot = shutil.which("dot")
    if dot is None:
        raise SystemExit("demo: --figures needs Graphviz's 'dot' (package graphviz)")
    FIGURES.mkdir(parents=True, exist_ok=True)
    for name, dot_text in figure_dots().items():
        svg = subprocess.run([dot, "-Tsvg"], input=dot_text, capture_output=True, text=True, check=True).stdout
        head, tag, rest = svg.partition("<svg")
        (FIGURES / name).write_text(f"{head}{figure_stamp(dot_text)}\n{tag}{rest}")
        print(f"wrote {(FIGURES / name).relative_to(ROOT)}")


def render(name: str, dot_text: str) -> pathlib.Path:
    OUT.mkdir(exist_ok=True)
    dot_path = OUT / f"{name}.dot"
    dot_path.write_text(dot_text)
    dot = shutil.which("dot")
    if dot is None:
        return dot_path
    svg_path = OUT / f"{name}.svg"
    subprocess.run([dot, "-Tsvg", str(dot_path), "-o", str(svg_path)], check=True)
    return svg_path


def main() -> None:
    print(f"corvane_core {corvane_core.version()}: {', '.join(corvane_core.__all__)}")

    store = GraphStore()
    reducer = IncrementalReducer()
    ids = record(store, reducer)
    outputs = [ids["total"]]
    print(f"\nRecorded {store.node_count()} nodes; recording the pipeline again adds none: ", end="")
    record(store)
    print(f"{store.node_count()} nodes.")

    reduced, report = store.reduce(outputs=outputs)
    fused, fused_report = store.reduce(outputs=outputs, maximal_fusion=True)
    print("\nReduction reports:")
    print_report("single-use fusion", report)
    print_report("maximal fusion", fused_report)

    print("\nWhere each recorded node landed (single-use fusion):")
    landing = reduced.node_map()
    for name, node_id in ids.items():
        print(f"  {name:<10} -> {landing[node_id]}")

    print("\nThe reduced graph:")
    for node in reduced.nodes():
        members = ""
        if node["kind"] == "stage":
            members = "  members: " + ", ".join(m["name"] for m in node["members"])
        mark = " (output)" if node["output"] else ""
        print(f"  #{node['id']} {node['kind']:<9} {node['name'] or '-':<8} inputs={node['inputs']}{mark}{members}")

    blob = reduced.serialize()
    again = GraphStore.deserialize(blob)
    print(f"\nBlob: {len(blob)} bytes; round trip byte-identical: {again.serialize() == blob}")

    final, final_report = reducer.finalize(store, outputs=outputs)
    print(f"Incremental: total_work {reducer.total_work()} == node_count {store.node_count()}; "
          f"canonical form {reducer.canonical_count()} nodes; "
          f"finalize agrees with reduce: {final.nodes() == reduced.nodes()}")

    drawn = {name: render(name, text) for name, text in pictures(store, reduced, outputs).items()}
    print(f"\nPictures: {drawn['before']} (requested cone, unreduced) and {drawn['after']} (reduced)")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="Record, reduce and draw a small pipeline.")
    parser.add_argument("--figures", action="store_true",
                        help="redraw the guide's pictures under docs/img instead of running the demo")
    if parser.parse_args().figures:
        draw_figures()
    else:
        main()
