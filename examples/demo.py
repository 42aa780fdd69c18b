"""Record a small data pipeline, reduce it, and show what corvane_core offers.

Run with `make demo`. Pictures of the graph before and after reduction are written as
Graphviz DOT (and SVG when Graphviz's `dot` is installed) under ./out/.
"""

from __future__ import annotations

import pathlib
import shutil
import subprocess

import corvane_core
from corvane_core import GraphStore, IncrementalReducer, PayloadDescriptor

OUT = pathlib.Path(__file__).resolve().parent.parent / "out"


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
    # The front end emits a few no-ops and a commuted duplicate; the reduction removes them.
    scaled = keep("scaled", store.add_op("mul", [clicks], {"scalar": 1.0, "side": "r"}))
    shifted = keep("shifted", store.add_op("add", [scaled], {"scalar": 0.0, "side": "l"}))
    valid = keep("valid", store.add_op("filter", [shifted], {"predicate": "dwell_ms > 0"}))
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


def print_report(title: str, report: dict[str, int]) -> None:
    keys = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
            "boundary_nodes"]
    print(f"  {title}")
    for key in keys:
        print(f"    {key:<16} {report[key]:>4}")


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

    before = render("before", store.cone(outputs=outputs).to_dot())
    after = render("after", reduced.to_dot())
    print(f"\nPictures: {before} (requested cone, unreduced) and {after} (reduced)")


if __name__ == "__main__":
    main()
