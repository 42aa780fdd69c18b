"""Many threads recording, reducing, serializing, inspecting and stepping reducers on
shared stores at once. Every result must be one consistent state of the store it came
from, and every thread must get the same id for the same node."""

from __future__ import annotations

import random
import re
import sys
import threading
from collections.abc import Callable

import pytest

import corvane_core as cc
from hostile import DESCRIPTOR

THREADS = 8
OPS_PER_THREAD = 150
KEYS = 160
WRITTEN = 1500  # keys the writers of the reader test record
SOURCES = 8

EDGE = re.compile(r"^  n(\d+) -> n(\d+);$")
VERTEX = re.compile(r"^  n(\d+) \[label=")


def describe(k: int) -> tuple[str, object, list[int], dict]:
    """Key k of the shared key space: (method, name or descriptor, input keys, params).
    Inputs are earlier keys, so recording a key first records its inputs."""
    if k < SOURCES:
        return "add_source", f"s{k}", [], {}
    a, b = k - 1 - k % 3, k // 2
    if k % 11 == 0:
        return "add_op", "add", [a], {"scalar": 0.0, "side": "r"}  # an identity op
    match k % 6:
        case 0:
            return "add_op", "add", [a, b], {}  # commutative
        case 1:
            return "add_op", "scale", [a], {"k": k}
        case 2:
            return "add_reduction", "sum", [a], {"axis": k % 3}
        case 3:
            return "add_external", DESCRIPTOR, [a], {"k": k}
        case 4:
            return "add_join", None, [a, b], {"how": "inner"}
        case _:
            return "add_exchange", None, [b], {"scheme": f"h{k}"}


KIND = {"add_source": "source", "add_op": "op", "add_reduction": "reduction", "add_external": "external",
        "add_join": "join", "add_exchange": "exchange"}


def record(store: cc.GraphStore, ids: dict[int, int], k: int) -> int:
    """Records key k (and, first, any of its inputs this thread has not recorded)."""
    pending = [k]
    while pending:
        top = pending[-1]
        if top in ids:
            pending.pop()
            continue
        method, name, inputs, params = describe(top)
        missing = [i for i in inputs if i not in ids]
        if missing:
            pending.extend(missing)
            continue
        input_ids = [ids[i] for i in inputs]
        if method == "add_source":
            ids[top] = store.add_source(name, params)
        elif method in ("add_op", "add_reduction"):
            ids[top] = getattr(store, method)(name, input_ids, params)
        elif method == "add_external":
            ids[top] = store.add_external(name, input_ids, params)
        else:
            ids[top] = getattr(store, method)(input_ids, params)
        pending.pop()
    return ids[k]


def check_view(view: list[dict], known: dict[int, int] | None = None) -> None:
    """One consistent state: ids are positions, every input names an earlier node of
    the same view, and the nodes this thread recorded are the ones it asked for."""
    for position, entry in enumerate(view):
        assert entry["id"] == position
        assert all(0 <= i < position for i in entry["inputs"]), entry
        if entry["kind"] == "stage":
            assert entry["n_members"] == len(entry["members"])
    for k, node in (known or {}).items():
        assert node < len(view)
        method, name, inputs, params = describe(k)
        entry = view[node]
        assert entry["kind"] == KIND[method]
        assert entry["params"] == params
        assert entry["inputs"] == [known[i] for i in inputs]
        if method == "add_external":
            assert entry["descriptor"] == {**DESCRIPTOR, "preprocessing_ref": None}
        elif name is not None:
            assert entry["name"] == name


def check_dot(text: str) -> None:
    lines = text.splitlines()
    assert lines[0] == "digraph corvane {" and lines[-1] == "}"
    vertices = [int(m.group(1)) for line in lines if (m := VERTEX.match(line))]
    assert vertices == list(range(len(vertices)))
    for line in lines:
        if m := EDGE.match(line):
            assert int(m.group(1)) < int(m.group(2)) < len(vertices)


def check_derived(derived: cc.GraphStore, outputs: list[int], source_count: int,
                  report: dict | None = None, *, incremental: bool = False) -> None:
    """A store derived from a snapshot of a source: consistent in itself, and its node
    map covers the snapshot (which held every requested output and no more than the
    source holds now) and sends each requested output to a marked node. A reducer's
    report counts its canonical form, which is never larger than the snapshot."""
    view = derived.nodes()
    check_view(view)
    marks = derived.outputs()
    assert all(0 <= m < len(view) for m in marks)
    node_map = derived.node_map()
    assert max(outputs, default=-1) < len(node_map) <= source_count
    for landing in node_map:
        if landing is None:
            continue
        node, member = landing
        assert 0 <= node < len(view)
        if member is not None:
            assert view[node]["kind"] == "stage" and 0 <= member < view[node]["n_members"]
    for o in outputs:
        assert node_map[o] is not None and node_map[o][0] in marks
    if report is not None:
        if incremental:
            assert report["input_nodes"] <= len(node_map)
        else:
            assert report["input_nodes"] == len(node_map)
        assert report["reduced_nodes"] == report["stages"] + report["boundary_nodes"] == len(view)
        assert report["reachable_nodes"] <= report["input_nodes"]


def run_threads(work: Callable[[int], None], count: int = THREADS) -> None:
    """Runs work(i) on `count` threads started together, with a short switch interval
    so that the interpreter interleaves them often; re-raises the first failure."""
    errors: list[BaseException] = []
    barrier = threading.Barrier(count)

    def body(i: int) -> None:
        try:
            barrier.wait()
            work(i)
        except BaseException as error:  # noqa: BLE001 - reported on the main thread
            errors.append(error)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    if errors:
        raise errors[0]


def test_mixed_operations_on_shared_stores_stay_consistent() -> None:
    stores = [cc.GraphStore(), cc.GraphStore()]
    reducers = [cc.IncrementalReducer(), cc.IncrementalReducer()]
    known: list[list[dict[int, int]]] = [[{} for _ in stores] for _ in range(THREADS)]

    def work(t: int) -> None:
        rng = random.Random(t)
        for _ in range(OPS_PER_THREAD):
            which = rng.randrange(len(stores))
            store, reducer, ids = stores[which], reducers[which], known[t][which]
            op = rng.choice(["record", "record", "record", "reduce", "serialize", "inspect", "dot",
                             "cone", "step", "finalize"])
            if op == "record" or not ids:
                record(store, ids, rng.randrange(KEYS))
                continue
            outputs = rng.sample(sorted(ids.values()), k=min(len(ids), rng.randint(1, 3)))
            if op == "reduce":
                derived, report = store.reduce(outputs=outputs, maximal_fusion=rng.random() < 0.5)
                check_derived(derived, outputs, store.node_count(), report)
            elif op == "serialize":
                blob = store.serialize(outputs=outputs)
                copy = cc.GraphStore.deserialize(blob)
                assert copy.serialize() == blob
                assert copy.node_count() <= store.node_count()
                assert copy.outputs() == list(dict.fromkeys(outputs))
                check_view(copy.nodes(), ids)
            elif op == "inspect":
                check_view(store.nodes(), ids)
            elif op == "dot":
                check_dot(store.to_dot())
            elif op == "cone":
                check_derived(store.cone(outputs=outputs), outputs, store.node_count())
            elif op == "step":
                assert reducer.step(store) >= 0
            else:
                derived, report = reducer.finalize(store, outputs=outputs)
                check_derived(derived, outputs, store.node_count(), report, incremental=True)

    run_threads(work)

    for which, store in enumerate(stores):
        agreed: dict[int, int] = {}
        for t in range(THREADS):
            for k, node in known[t][which].items():
                assert agreed.setdefault(k, node) == node, f"key {k}: ids {agreed[k]} and {node}"
        check_view(store.nodes(), agreed)
        assert len(set(agreed.values())) == len(agreed) == store.node_count()
        reducers[which].step(store)
        assert reducers[which].total_work() == reducers[which].watermark() == store.node_count()


def test_readers_see_whole_states_while_writers_record() -> None:
    """Readers running beside writers always get a view, blob, DOT text or reduction of
    one point in time: never a node whose inputs are missing from the same result."""
    store = cc.GraphStore()
    done = threading.Event()

    def work(t: int) -> None:
        if t < 2:
            ids: dict[int, int] = {}
            for k in random.Random(t).sample(range(WRITTEN), WRITTEN):
                record(store, ids, k)
            done.set()
            return
        while not done.is_set():
            count = store.node_count()
            view = store.nodes()
            assert len(view) >= count
            check_view(view)
            check_dot(store.to_dot())
            copy = cc.GraphStore.deserialize(store.serialize())
            check_view(copy.nodes())
            if count:
                derived, report = store.reduce(outputs=[count - 1])
                check_derived(derived, [count - 1], store.node_count(), report)

    run_threads(work, count=6)
    assert store.node_count() == WRITTEN


@pytest.mark.parametrize("maximal", [False, True])
def test_reducer_shared_by_threads_consumes_each_node_once(maximal: bool) -> None:
    store = cc.GraphStore()
    reducer = cc.IncrementalReducer()
    consumed = [0] * THREADS

    def work(t: int) -> None:
        ids: dict[int, int] = {}
        rng = random.Random(100 + t)
        for _ in range(40):
            record(store, ids, rng.randrange(KEYS))
            consumed[t] += reducer.step(store)
            if rng.random() < 0.1:
                outputs = [max(ids.values())]
                derived, report = reducer.finalize(store, outputs=outputs, maximal_fusion=maximal)
                check_derived(derived, outputs, store.node_count(), report, incremental=True)

    run_threads(work)
    consumed.append(reducer.step(store))
    assert reducer.total_work() == reducer.watermark() == store.node_count()
    # finalize also consumes the delta it finds, so steps account for at most every node
    assert sum(consumed) <= store.node_count()
    outputs = [store.node_count() - 1]
    final, report = reducer.finalize(store, outputs=outputs, maximal_fusion=maximal)
    check_derived(final, outputs, store.node_count(), report, incremental=True)
    assert len(final.node_map()) == store.node_count()
