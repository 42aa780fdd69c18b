"""A million-node chain and a million-node fan-in through the Python surface: record,
reduce with both fusion rules, step and finalize a reducer, take the cone, serialize and
read back, render DOT and build the per-node view. Everything runs on a thread with a
1 MiB stack, so native recursion proportional to the graph's depth or width overflows
it, and the process's peak resident size may grow only by a per-node budget."""

from __future__ import annotations

import resource
import threading
from collections.abc import Callable

import pytest

import corvane_core as cc

pytestmark = [pytest.mark.slow, pytest.mark.thread_unsafe]

N = 1_000_000
STACK = 1 << 20
BYTES_PER_NODE = 4096  # the views of a million nodes are the largest objects built


def chain(store: cc.GraphStore) -> int:
    """x, then in turn a unary op with a per-node parameter, an identity op and a
    commutative add of the running value with x. Returns the number of identity ops."""
    prev = store.add_source("x")
    identities = 0
    for i in range(1, N):
        if i % 3 == 1:
            prev = store.add_op("scale", [prev], {"k": i})
        elif i % 3 == 2:
            prev = store.add_op("add", [prev], {"scalar": 0.0, "side": "r"})
            identities += 1
        else:
            prev = store.add_op("add", [prev, 0])
    return identities


def fan_in(store: cc.GraphStore) -> int:
    """N - 1 sources all read by one op."""
    store.add_op("concat", [store.add_source(f"s{i}") for i in range(N - 1)])
    return 0


def on_small_stack(fn: Callable[[], None]) -> None:
    errors: list[BaseException] = []

    def body() -> None:
        try:
            fn()
        except BaseException as error:  # noqa: BLE001 - re-raised below
            errors.append(error)

    previous = threading.stack_size(STACK)
    try:
        thread = threading.Thread(target=body)
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    if errors:
        raise errors[0]


def peak_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def check_reduced(reduced: cc.GraphStore, report: dict, identities: int, boundary: int) -> None:
    assert report["input_nodes"] == report["reachable_nodes"] == N
    assert report["canonical_nodes"] == N - identities
    assert report["stages"] == 1 and report["boundary_nodes"] == boundary
    assert reduced.node_count() == report["reduced_nodes"] == 1 + boundary
    node_map = reduced.node_map()
    assert len(node_map) == N and None not in node_map
    view = reduced.nodes()
    (stage,) = [entry for entry in view if entry["kind"] == "stage"]
    assert stage["n_members"] == len(stage["members"]) == N - identities - boundary
    assert reduced.outputs() == [node_map[N - 1][0]]
    blob = reduced.serialize()
    assert cc.GraphStore.deserialize(blob).serialize() == blob
    assert reduced.to_dot().count(" -> ") == sum(len(entry["inputs"]) for entry in view)


@pytest.mark.parametrize("build,boundary", [(chain, 1), (fan_in, N - 1)], ids=["chain", "fan-in"])
def test_million_nodes(build: Callable[[cc.GraphStore], int], boundary: int) -> None:
    start = peak_rss()

    def work() -> None:
        store = cc.GraphStore()
        identities = build(store)
        assert store.node_count() == N
        last = [N - 1]
        for maximal in (False, True):
            reduced, report = store.reduce(outputs=last, maximal_fusion=maximal)
            check_reduced(reduced, report, identities, boundary)
            del reduced

        reducer = cc.IncrementalReducer()
        assert reducer.step(store) == N
        assert reducer.canonical_count() == N - identities
        reduced, report = reducer.finalize(store, outputs=last)
        assert report["stages"] == 1 and len(reduced.node_map()) == N
        del reduced

        assert cc.GraphStore.deserialize(store.cone(outputs=last).serialize()).node_count() == N
        blob = store.serialize(outputs=last)
        assert cc.GraphStore.deserialize(blob).serialize() == blob
        del blob

        view = store.nodes()
        assert len(view) == N and view[-1]["id"] == N - 1
        edges = sum(len(entry["inputs"]) for entry in view)
        del view
        assert store.to_dot().count(" -> ") == edges

    on_small_stack(work)
    assert peak_rss() - start < N * BYTES_PER_NODE
