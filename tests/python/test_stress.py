"""Many threads recording, reducing, explaining, serializing, inspecting and stepping
reducers on shared stores at once. Every result must be one consistent state of the store
it came from, and every thread must get the same id for the same node."""

from __future__ import annotations

import copy
import pickle
import random
import re
import sys
import threading
import time
from collections.abc import Callable

import pytest

import corvane_core as cc
from hostile import DESCRIPTOR

THREADS = 8
OPS_PER_THREAD = 150
KEYS = 160
WRITTEN = 1500  # keys the writers of the reader test record
SOURCES = 8
DEADLINE = 120  # seconds for one run_threads call; the work takes a few at most

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
    so that the interpreter interleaves them often; re-raises the first failure. Threads
    still running after DEADLINE seconds fail the test at once (a deadlock)."""
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
        threads = [threading.Thread(target=body, args=(i,), daemon=True) for i in range(count)]
        for t in threads:
            t.start()
        deadline = time.monotonic() + DEADLINE
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()))
        stuck = sum(t.is_alive() for t in threads)
        if stuck:
            pytest.fail(f"{stuck} of {count} threads still running after {DEADLINE} s: deadlock")
    finally:
        sys.setswitchinterval(interval)
    if errors:
        raise errors[0]


class Countdown:
    """Set once count_down() has been called `count` times, from any threads."""

    def __init__(self, count: int) -> None:
        self._left, self._lock, self._event = count, threading.Lock(), threading.Event()

    def count_down(self) -> None:
        with self._lock:
            self._left -= 1
            if self._left == 0:
                self._event.set()

    def is_set(self) -> bool:
        return self._event.is_set()


def test_mixed_operations_on_shared_stores_stay_consistent() -> None:
    stores = [cc.GraphStore(), cc.GraphStore()]
    reducers = [cc.IncrementalReducer(), cc.IncrementalReducer()]
    known: list[list[dict[int, int]]] = [[{} for _ in stores] for _ in range(THREADS)]

    def work(t: int) -> None:
        rng = random.Random(t)
        for _ in range(OPS_PER_THREAD):
            which = rng.randrange(len(stores))
            store, reducer, ids = stores[which], reducers[which], known[t][which]
            op = rng.choice(["record", "record", "record", "reduce", "explain", "serialize", "inspect",
                             "dot", "cone", "step", "finalize"])
            if op == "record" or not ids:
                record(store, ids, rng.randrange(KEYS))
                continue
            outputs = rng.sample(sorted(ids.values()), k=min(len(ids), rng.randint(1, 3)))
            if op == "reduce":
                derived, report = store.reduce(outputs=outputs, maximal_fusion=rng.random() < 0.5)
                check_derived(derived, outputs, store.node_count(), report)
            elif op == "explain":
                count = store.node_count()  # others may record meanwhile: a state at least this long
                explained = store.explain(outputs=outputs)
                assert len(explained) >= count
                assert all(e["landing"] is not None for e in (explained[o] for o in outputs))
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
            check_view(pickle.loads(pickle.dumps(store)).nodes())
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
    # steps spread over threads canonicalise exactly as one thread stepping once
    alone = cc.IncrementalReducer()
    alone.step(store)
    assert alone.canonical_count() == reducer.canonical_count()
    assert same_reduction((final, report), alone.finalize(store, outputs=outputs, maximal_fusion=maximal))


def same_reduction(a: tuple[cc.GraphStore, dict], b: tuple[cc.GraphStore, dict]) -> bool:
    return (a[0].serialize(), a[0].node_map(), a[1]) == (b[0].serialize(), b[0].node_map(), b[1])


def replay(view: list[dict]) -> cc.GraphStore:
    """A store recorded on one thread from the entries of a nodes() view (no stages)."""
    store = cc.GraphStore()
    for entry in view:
        kind, inputs, params = entry["kind"], entry["inputs"], entry["params"]
        if kind == "source":
            node = store.add_source(entry["name"], params)
        elif kind in ("op", "reduction"):
            node = getattr(store, f"add_{kind}")(entry["name"], inputs, params)
        elif kind == "external":
            node = store.add_external(entry["descriptor"], inputs, params)
        else:
            node = getattr(store, f"add_{kind}")(inputs, params)
        assert node == entry["id"]
    return store


def test_snapshots_are_prefixes_and_reductions_match_one_thread() -> None:
    """Writers record shared and thread-own keys into one store while readers take every
    kind of snapshot of it. Afterwards each key has one id, every snapshot is a prefix of
    the final store, and every result equals the same call made on one thread on a store
    recorded from that prefix."""
    store = cc.GraphStore()
    writers, readers, samples = 3, 3, 24
    known: list[dict[int, int]] = [{} for _ in range(writers)]
    finished = Countdown(writers)  # the last writer out stops the readers
    taken: list[list[tuple]] = [[] for _ in range(readers)]

    def write(t: int) -> None:
        rng = random.Random(t)
        ids = known[t]
        try:
            own = store.add_source(f"w{t}")
            for j in range(600):
                record(store, ids, rng.randrange(KEYS))
                if j % 4 == 0:  # a key only this writer records
                    own = store.add_op(f"w{t}", [own, rng.choice(list(ids.values()))], {"j": j})
        finally:
            finished.count_down()

    def read(t: int) -> None:
        rng = random.Random(50 + t)
        out = taken[t]
        while not finished.is_set() and len(out) < samples:
            count = store.node_count()
            if count == 0:
                continue
            outputs = sorted({rng.randrange(count) for _ in range(2)})
            match rng.randrange(7):
                case 0:
                    out.append(("nodes", store.nodes()))
                case 1:
                    out.append(("nodes", cc.GraphStore.deserialize(store.serialize()).nodes()))
                case 2:
                    out.append(("nodes", copy.copy(store).nodes()))
                case 3:
                    out.append(("nodes", pickle.loads(pickle.dumps(store)).nodes()))
                case 4:
                    out.append(("dot", store.to_dot()))
                case 5:
                    out.append(("cone", outputs, store.cone(outputs=outputs).serialize()))
                case _:
                    maximal = rng.random() < 0.5
                    out.append(("reduce", outputs, maximal, store.reduce(outputs=outputs, maximal_fusion=maximal)))

    run_threads(lambda t: write(t) if t < writers else read(t - writers), count=writers + readers)

    final = store.nodes()
    agreed: dict[int, int] = {}
    for ids in known:
        for k, node in ids.items():
            assert agreed.setdefault(k, node) == node, f"key {k}: ids {agreed[k]} and {node}"
    check_view(final, agreed)
    prefixes: dict[int, cc.GraphStore] = {}

    def prefix(n: int) -> cc.GraphStore:
        if n not in prefixes:
            prefixes[n] = replay(final[:n])
        return prefixes[n]

    for sample in (s for out in taken for s in out):
        match sample:
            case ("nodes", view):
                assert view == final[: len(view)]
            case ("dot", text):
                assert text == prefix(sum(1 for line in text.splitlines() if VERTEX.match(line))).to_dot()
            case ("cone", outputs, blob):
                assert blob == store.cone(outputs=outputs).serialize()
            case ("reduce", outputs, maximal, result):
                alone = prefix(len(result[0].node_map())).reduce(outputs=outputs, maximal_fusion=maximal)
                assert same_reduction(result, alone)


def test_arguments_mutated_by_other_threads_are_read_in_one_state() -> None:
    """Threads rewrite the very list and dict that other threads pass as inputs and
    params, each rewrite in one call that keeps every entry equal to the others. A node
    recorded with them reflects one state: all its inputs alike, all its params alike."""
    store = cc.GraphStore()
    sources = [store.add_source(f"s{i}") for i in range(8)]
    inputs: list[int] = [sources[0]] * 3
    params: dict[str, object] = dict.fromkeys("abc", 0)
    values = [0, 1, -2, 2**40, 0.5, "v", "long string value " * 4, True]
    recorded: list[list[int]] = [[] for _ in range(4)]
    stop = Countdown(len(recorded))  # the last recorder out stops the writers

    def work(t: int) -> None:
        rng = random.Random(t)
        if t < 2:
            while not stop.is_set():
                inputs[:] = [rng.choice(sources)] * rng.randint(1, 6)
                value = rng.choice(values)
                params.update(dict.fromkeys("abc", f"{value}{rng.random()}" if isinstance(value, str) else value))
            return
        try:
            for _ in range(3000):
                method = rng.choice(["add_op", "add_reduction", "add_join", "add_exchange"])
                if method in ("add_op", "add_reduction"):
                    node = getattr(store, method)("f", inputs, params)
                else:
                    node = getattr(store, method)(inputs, params)
                recorded[t - 2].append(node)
        finally:
            stop.count_down()

    run_threads(work, count=6)
    view = store.nodes()
    check_view(view)
    for node in (n for nodes in recorded for n in nodes):
        entry = view[node]
        assert 1 <= len(entry["inputs"]) <= 6 and len(set(entry["inputs"])) == 1, entry
        assert sorted(entry["params"]) == ["a", "b", "c"], entry
        assert len({repr(v) for v in entry["params"].values()}) == 1, entry


def long_chain(length: int) -> tuple[cc.GraphStore, int]:
    """A store whose reduction takes a while: a chain with a second, earlier input each."""
    store = cc.GraphStore()
    ids = [store.add_source("x")]
    for i in range(length):
        ids.append(store.add_op("f", [ids[-1], ids[i // 2]], {"i": i}))
    return store, ids[-1]


@pytest.mark.thread_unsafe(reason="measures another thread's share of the interpreter")
def test_recording_goes_on_during_a_reduce() -> None:
    """A reduction runs detached from the interpreter, so under the GIL another thread
    keeps recording meanwhile: it records at least a quarter as many nodes as while this
    thread sleeps for as long (without detaching it records only in the moments around
    the call, which a short switch interval keeps short). A busy machine gets a few
    tries."""
    big, last = long_chain(100_000)
    side = cc.GraphStore()
    counting = threading.Event()
    done = threading.Event()
    count = 0

    def record() -> None:
        nonlocal count
        i = 0
        while not done.is_set():
            if counting.wait(0.05):
                side.add_source(f"s{i}")
                i += 1
                count = i

    def recorded_during(busy: Callable[[], object]) -> int:
        before = count
        counting.set()
        busy()
        counting.clear()
        return count - before

    recorder = threading.Thread(target=record, daemon=True)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    recorder.start()
    try:
        shares = []
        for _ in range(5):
            start = time.perf_counter()
            during = recorded_during(lambda: big.reduce(outputs=[last]))
            alone = recorded_during(lambda: time.sleep(time.perf_counter() - start))
            shares.append(during / max(alone, 1))
            if shares[-1] >= 0.25:
                break
    finally:
        done.set()
        recorder.join()
        sys.setswitchinterval(interval)
    assert max(shares) >= 0.25, shares


def test_long_calls_beside_recording_stepping_and_counters() -> None:
    """Every call that runs detached, on threads that also record, step and finalize one
    reducer and read its counters: nothing deadlocks (run_threads fails fast) and no node
    is lost or consumed twice."""
    big, last = long_chain(20_000)
    reducer = cc.IncrementalReducer()
    done = threading.Event()
    calls = [lambda: big.reduce(outputs=[last]), big.serialize, lambda: pickle.loads(pickle.dumps(big)),
             lambda: big.cone(outputs=[last]), big.to_dot, lambda: reducer.finalize(big)]

    def work(t: int) -> None:
        if t == 0:
            try:
                for call in calls:
                    call()
            finally:
                done.set()
        elif t == 1:
            i = 0
            while not done.is_set():
                big.add_op("g", [i % 100], {"i": i})
                i += 1
        else:
            while not done.is_set():
                reducer.step(big)
                if t == 2:
                    reducer.finalize(big, outputs=[0])
                assert reducer.watermark() <= big.node_count()

    run_threads(work, count=4)
    reducer.step(big)
    assert reducer.watermark() == reducer.total_work() == big.node_count()
