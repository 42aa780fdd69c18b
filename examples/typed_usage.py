"""A small front end written against corvane_core's typing stub.

`mypy --strict examples/typed_usage.py` accepts this file: every call is checked against
the stub's signatures, and the dicts the module returns are typed. Running it prints a
summary of a reduced pipeline.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from corvane_core import GraphStore, IncrementalReducer, PayloadDescriptor

if TYPE_CHECKING:
    # These exist only for the type checker.
    from corvane_core import DescriptorDict, ReductionReport, StageMember, StageNode

Params = dict[str, int | float | bool | str]


def record(store: GraphStore, reducer: IncrementalReducer) -> int:
    """Records a small pipeline, stepping `reducer` after each batch; returns the output."""
    source_params: Params = {"path": "s3://logs/clicks", "format": "parquet"}
    clicks = store.add_source("clicks", source_params)
    users = store.add_source("users", {"path": "s3://dim/users"})
    reducer.step(store)

    valid = store.add_op("filter", [clicks], {"predicate": "dwell_ms > 0"})
    weight = store.add_op("mul", (valid, users))
    same = store.add_op("mul", [users, valid])  # commuted: the reduction merges it
    score = store.add_op("add", [weight, same])
    reducer.step(store)

    model = PayloadDescriptor(kind="onnx", content_hash="sha256:9f2c", framework="onnxruntime",
                              version="1.20", io_schema="f32[n,16]->f32[n]")
    predicted = store.add_external(model, [score], {"batch": 512})
    total = store.add_reduction("sum", [predicted])
    reducer.step(store)
    return total


def describe_member(member: StageMember) -> str:
    operands = ", ".join(f"{where}[{index}]" for where, index in member["inputs"])
    return f"{member['kind']} {member['name']}({operands})"


def describe(store: GraphStore) -> list[str]:
    lines: list[str] = []
    for node in store.nodes():
        head = f"#{node['id']} {node['kind']}"
        if node["kind"] == "stage":
            stage: StageNode = node
            members = "; ".join(describe_member(m) for m in stage["members"])
            lines.append(f"{head} [{stage['n_members']}] {members}")
        elif node["kind"] == "external":
            descriptor: DescriptorDict = node["descriptor"]
            lines.append(f"{head} {descriptor['kind']}:{descriptor['content_hash']} <- {node['inputs']}")
        else:
            lines.append(f"{head} {node['name']} {node['params']} <- {node['inputs']}")
    return lines


def shrinkage(report: ReductionReport) -> float:
    return report["reduced_nodes"] / report["input_nodes"] if report["input_nodes"] else 1.0


def main() -> None:
    store = GraphStore()
    reducer = IncrementalReducer()
    total = record(store, reducer)

    reduced, report = store.reduce(outputs=[total], maximal_fusion=True)
    final, final_report = reducer.finalize(store, outputs=[total], maximal_fusion=True)
    assert final.nodes() == reduced.nodes()
    assert final_report["input_nodes"] == reducer.canonical_count()

    print("\n".join(describe(reduced)))
    print(f"{report['input_nodes']} nodes reduced to {report['reduced_nodes']} ({shrinkage(report):.0%})")

    for original, landing in enumerate(reduced.node_map()):
        if landing is None:
            print(f"node {original}: dropped")
            continue
        reduced_id, member = landing
        where = f"member {member} of #{reduced_id}" if member is not None else f"#{reduced_id}"
        print(f"node {original}: {where}")

    blob: bytes = reduced.serialize()
    assert GraphStore.deserialize(blob).serialize() == blob


if __name__ == "__main__":
    main()
