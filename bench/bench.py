"""End-to-end benchmarks of corvane_core from Python.

Every figure is measured against its comparison in the same run, alternating the two,
and reported as the median of several runs with the ratio between them. The garbage
collector is off inside each timed region (as timeit does), for both sides alike.

    PYTHONPATH=build/bench python3 bench/bench.py [--quick] [--runs N] [--markdown]

Run by `make bench` (tools/run-bench), which builds a Release module first.
"""

from __future__ import annotations

import argparse
import functools
import gc
import pickle
import statistics
import sys
import time
from array import array
from dataclasses import dataclass
from typing import Callable

import corvane_core as cc

# ---------------------------------------------------------------------------------------
# Timing


def timed(fn: Callable[[object], object], setup: Callable[[], object] | None = None) -> float:
    arg = setup() if setup is not None else None
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        fn(arg)
        return time.perf_counter() - start
    finally:
        gc.enable()


def paired(runs: int, ours: Callable[[], float], peer: Callable[[], float]) -> tuple[float, float]:
    """Median seconds of `ours` and `peer`, run alternately `runs` times each."""
    a: list[float] = []
    b: list[float] = []
    for _ in range(runs):
        a.append(ours())
        b.append(peer())
    return statistics.median(a), statistics.median(b)


@dataclass
class Row:
    figure: str
    ours: str
    peer: str
    ratio: str
    goal: str
    met: bool | None


ROWS: list[Row] = []


def fmt_s(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.1f} us"


def fmt_ns(seconds: float, n: int) -> str:
    return f"{seconds / n * 1e9:.0f} ns/node"


def row(figure: str, ours: str, peer: str, ratio: str, goal: str, met: bool | None) -> None:
    ROWS.append(Row(figure, ours, peer, ratio, goal, met))
    mark = "-" if met is None else ("yes" if met else "NO")
    print(f"  {figure}: {ours} | {peer} | {ratio} | goal {goal}: {mark}", flush=True)


# ---------------------------------------------------------------------------------------
# The random pipeline graph (the sequence mirrors pipeline_graph in
# tests/cpp/support/random_graph.cpp step for step)

MASK = (1 << 64) - 1


class Rng:
    def __init__(self, seed: int) -> None:
        self.state = seed

    def next(self) -> int:
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)

    def below(self, n: int) -> int:
        return self.next() % n


SOURCE, OP, REDUCTION, JOIN, EXCHANGE = range(5)


@dataclass
class Pipeline:
    calls: list[tuple[int, tuple]]  # (method, args) in recording order, ids as recorded
    nodes: list[tuple[int, str, tuple, dict]]  # distinct nodes by id: (method, name, inputs, params)
    outputs: list[int]  # the sinks of the live half


def methods_of(store: cc.GraphStore) -> list[Callable]:
    return [store.add_source, store.add_op, store.add_reduction, store.add_join, store.add_exchange]


def record_pipeline(store: cc.GraphStore, n: int, seed: int = 42,
                    keep: Callable[[int, tuple, bool], None] | None = None) -> list[int]:
    """Records a random pipeline graph of `n` distinct nodes into `store` and returns its
    outputs (the sinks of the live half). keep(method, args, new) sees every call. The
    generator's own state is a few bytes per node, so a 10^7-node graph fits."""
    meths = methods_of(store)
    rng = Rng(seed)
    window = 64
    pool = [array("q"), array("q")]
    binaries = [(bytearray(), array("q"), array("q")) for _ in range(2)]  # (mul?, a, b)
    world_of = bytearray()
    used = bytearray()

    def add(method: int, args: tuple, w: int) -> int:
        node_id = meths[method](*args)
        new = node_id == len(world_of)
        if keep is not None:
            keep(method, args, new)
        if new:
            world_of.append(w)
            used.append(0)
            pool[w].append(node_id)
            for x in () if method == SOURCE else args[1] if method in (OP, REDUCTION) else args[0]:
                used[x] = 1
        return node_id

    def recent(w: int) -> int:
        p = pool[w]
        return p[len(p) - 1 - rng.below(min(len(p), window))]

    for i in range(max(4, n // 1000)):
        add(SOURCE, (f"s{i}", {"path": f"p{i}"}), i % 2)
    while len(world_of) < n:
        w = rng.below(2)
        last = pool[w][-1]
        r = rng.below(100)
        if r < 45:
            add(OP, ("map", [last], {"f": rng.below(1 << 20)}), w)
        elif r < 60:
            p = rng.below(1 << 20)
            add(OP, ("filter", [recent(w)], {"p": p}), w)
        elif r < 73:
            a = recent(w)
            b = recent(w)
            mul = rng.below(2) != 0
            for column, value in zip(binaries[w], (mul, a, b)):
                column.append(value)
            add(OP, ("mul" if mul else "add", [a, b], None), w)
        elif r < 78:
            done = binaries[w]
            if not done[0]:
                continue
            k = len(done[0]) - 1 - rng.below(min(len(done[0]), window))
            add(OP, ("mul" if done[0][k] else "add", [done[2][k], done[1][k]], None), w)
        elif r < 86:
            if rng.below(2) == 0:
                add(OP, ("add", [last], {"scalar": 0.0, "side": "r"}), w)
            else:
                add(OP, ("mul", [last], {"scalar": 1.0, "side": "l"}), w)
        elif r < 92:
            add(JOIN, ([last, recent(w)], {"how": "inner"}), w)
        elif r < 96:
            add(REDUCTION, ("sum", [last], {"axis": rng.below(2)}), w)
        else:
            add(EXCHANGE, ([last], {"scheme": "hash"}), w)
    return [i for i in range(len(world_of)) if world_of[i] == 0 and not used[i]]


@functools.lru_cache(maxsize=2)
def pipeline_graph(n: int, seed: int = 42) -> Pipeline:
    """The recording calls of a random pipeline graph of `n` distinct nodes (cached:
    generating one in Python costs more than most figures measured on it)."""
    calls: list[tuple[int, tuple]] = []
    nodes: list[tuple[int, str, tuple, dict]] = []

    def keep(method: int, args: tuple, new: bool) -> None:
        calls.append((method, args))
        if not new:
            return
        if method == SOURCE:
            nodes.append((method, args[0], (), args[1]))
        elif method in (OP, REDUCTION):
            nodes.append((method, args[0], tuple(args[1]), args[2]))
        else:
            nodes.append((method, "", tuple(args[0]), args[1]))

    outputs = record_pipeline(cc.GraphStore(), n, seed, keep)
    return Pipeline(calls, nodes, outputs)


def replay(calls: list[tuple[int, tuple]], store: cc.GraphStore) -> None:
    meths = methods_of(store)
    for method, args in calls:
        meths[method](*args)


def built(p: Pipeline) -> cc.GraphStore:
    store = cc.GraphStore()
    replay(p.calls, store)
    return store


# ---------------------------------------------------------------------------------------
# 1. Recording


def bench_recording(n: int, runs: int) -> None:
    print(f"recording: add_op with two inputs and a two-entry params dict, {n:,} new then {n:,} repeats")

    def corvane_run() -> tuple[float, float]:
        store = cc.GraphStore()
        x = store.add_source("x")
        y = store.add_source("y")
        add = store.add_op

        def loop(_: object) -> None:
            for i in range(n):
                add("map", [x, y], {"k": i, "side": "r"})

        return timed(loop), timed(loop)

    def python_run() -> tuple[float, float]:
        ids: dict = {}

        def add(name: str, inputs: list, params: dict) -> int:
            key = (name, tuple(inputs), tuple(sorted(params.items())))
            return ids.setdefault(key, len(ids))

        x = add("x", [], {})
        y = add("y", [], {})

        def loop(_: object) -> None:
            for i in range(n):
                add("map", [x, y], {"k": i, "side": "r"})

        return timed(loop), timed(loop)

    def floor_run() -> tuple[float, float]:
        x, y = 0, 1

        def loop(_: object) -> None:
            for i in range(n):
                slice("map", [x, y], {"k": i, "side": "r"})

        return timed(loop), timed(loop)

    results: dict[str, list[tuple[float, float]]] = {"corvane": [], "python": [], "floor": []}
    for _ in range(runs):
        results["corvane"].append(corvane_run())
        results["python"].append(python_run())
        results["floor"].append(floor_run())

    def med(name: str, part: int | None) -> float:
        return statistics.median(r[0] + r[1] if part is None else r[part] for r in results[name])

    for label, part in (("new", 0), ("repeat", 1), ("new+repeat", None)):
        count = 2 * n if part is None else n
        ours, py, fl = med("corvane", part), med("python", part), med("floor", part)
        row(f"record {label} vs pure-Python hash-consing", fmt_ns(ours, count), fmt_ns(py, count),
            f"{py / ours:.2f}x faster", ">= 3x", py / ours >= 3)
        row(f"record {label} vs call floor (slice)", fmt_ns(ours, count), fmt_ns(fl, count),
            f"{ours / fl:.2f}x the floor", "<= 2.5x", ours / fl <= 2.5)
    # The cost above the bare call (the loop, the argument list and dict, the call): what
    # the module itself adds per node, against what hash-consing in Python adds.
    for label, part in (("new", 0), ("repeat", 1)):
        ours, py, fl = med("corvane", part), med("python", part), med("floor", part)
        ours_over, py_over = max(ours - fl, 1e-12), py - fl
        row(f"record {label}: cost above the floor vs pure-Python's", fmt_ns(ours_over, n),
            fmt_ns(py_over, n), f"{py_over / ours_over:.2f}x smaller", ">= 5.5x",
            py_over / ours_over >= 5.5)

    ours_b, blob_b = map(float, in_fresh_interpreter(RECORDING_MEMORY_SCRIPT, "store", n))
    py_b = float(in_fresh_interpreter(RECORDING_MEMORY_SCRIPT, "python", n)[0])
    row(f"memory per recorded node ({n:,} distinct)", f"{ours_b:.0f} B/node",
        f"{py_b:.0f} B/node (dict of key tuples); blob {blob_b:.0f} B/node", f"{py_b / ours_b:.2f}x smaller",
        "<= 100 B", ours_b <= 100)


# The resident size that recording the loop's distinct nodes adds, per node, in a store
# ("store", then also the canonical blob's bytes per node) or in the pure-Python dict of
# key tuples ("python"). Measured in a fresh interpreter so that the figure is that
# structure's alone.
RECORDING_MEMORY_SCRIPT = """
import os, sys
import corvane_core as cc
side, n = sys.argv[1], int(sys.argv[2])
page = os.sysconf("SC_PAGE_SIZE")
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page
base = rss()
if side == "store":
    store = cc.GraphStore()
    add = store.add_op
    x, y = store.add_source("x"), store.add_source("y")
else:
    ids = {}
    def add(name, inputs, params):
        key = (name, tuple(inputs), tuple(sorted(params.items())))
        return ids.setdefault(key, len(ids))
    x, y = add("x", [], {}), add("y", [], {})
for i in range(n):
    add("map", [x, y], {"k": i, "side": "r"})
print((rss() - base) / n, *([len(store.serialize()) / n] if side == "store" else []))
"""


# ---------------------------------------------------------------------------------------
# 2. Reduction, with Dask's cull + fuse on the same graph


def _task(*args: object) -> object:
    return args


def dask_graph(p: Pipeline) -> dict:
    dsk: dict = {}
    for i, (method, name, inputs, params) in enumerate(p.nodes):
        token = f"{method}:{name}:{sorted(params.items()) if params else ''}"
        dsk[f"n{i}"] = (_task, *(f"n{j}" for j in inputs), token)
    return dsk


def bench_reduction(sizes: list[int], runs: int, dask_runs: int) -> dict[int, float]:
    from dask.optimization import cull, fuse

    times: dict[int, float] = {}
    for n in sizes:
        p = pipeline_graph(n)
        store = built(p)
        outputs = p.outputs
        _, report = store.reduce(outputs=outputs)
        print(f"reduction of a random pipeline graph: {store.node_count():,} nodes, {len(outputs):,} outputs; "
              f"report {report}")
        dsk = dask_graph(p)
        keys = [f"n{i}" for i in outputs]

        def ours() -> float:
            return timed(lambda _: store.reduce(outputs=outputs))

        def peer() -> float:
            def run(_: object) -> None:
                culled, deps = cull(dsk, keys)
                fuse(culled, keys, deps)

            return timed(run)

        ours_runs = [ours() for _ in range(max(0, runs - dask_runs))]
        both = paired(dask_runs, ours, peer)
        ours_s = statistics.median(ours_runs + [both[0]] * dask_runs) if ours_runs else both[0]
        peer_s = both[1]
        times[n] = ours_s
        limit = 0.15 if n <= 100_000 else 0.30
        row(f"reduce {n:,} nodes", fmt_s(ours_s), "-", "-", f"<= {limit} s", ours_s <= limit)
        faster = 10 if n <= 100_000 else 20
        row(f"reduce {n:,} nodes vs Dask cull+fuse", fmt_s(ours_s), fmt_s(peer_s),
            f"{peer_s / ours_s:.1f}x faster", f">= {faster}x", peer_s / ours_s >= faster)
        del dsk, store
    if len(sizes) == 2:
        small, big = sizes
        per_node = (times[big] / big) / (times[small] / small)
        row(f"reduce per node {big:,} vs {small:,}", fmt_ns(times[big], big),
            fmt_ns(times[small], small), f"{per_node:.2f}x", "<= 1.1x", per_node <= 1.1)
    return times


# ---------------------------------------------------------------------------------------
# 2b. Reduction at 10^7 nodes: time, per-node cost against 10^6, and peak memory


# Records the random pipeline graph of argv[2] nodes (bench.py's generator, loaded from
# argv[1]) and reduces it; prints the reduction's seconds, the node count and the peak
# resident size of the whole process (recording plus reducing) in bytes.
LARGE_REDUCTION_SCRIPT = """
import resource, sys, time
sys.path.insert(0, sys.argv[1])
import corvane_core as cc
import bench
n = int(sys.argv[2])
store = cc.GraphStore()
outputs = bench.record_pipeline(store, n)
start = time.perf_counter()
store.reduce(outputs=outputs)
seconds = time.perf_counter() - start
print(seconds, store.node_count(), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
"""


def bench_large_reduction(small: int, big: int) -> None:
    import os

    here = os.path.dirname(os.path.abspath(__file__))
    print(f"reduction at {big:,} nodes: recorded and reduced in a fresh interpreter, against {small:,}")
    results = {}
    for n in (small, big):
        out = in_fresh_interpreter(LARGE_REDUCTION_SCRIPT, here, n)
        results[n] = (float(out[0]), int(out[1]), int(out[2]))
    (small_s, small_n, _), (big_s, big_n, big_peak) = results[small], results[big]
    per_node = (big_s / big_n) / (small_s / small_n)
    row(f"reduce {big_n:,} nodes", fmt_s(big_s), "-", "-", "-", None)
    row(f"reduce per node {big_n:,} vs {small_n:,}", fmt_ns(big_s, big_n), fmt_ns(small_s, small_n),
        f"{per_node:.2f}x", "<= 1.1x", per_node <= 1.1)
    row(f"peak RSS recording + reducing {big_n:,} nodes", f"{big_peak / 2**30:.2f} GiB",
        f"{big_peak / big_n:.0f} B/node", "-", "<= 1.5 GiB", big_peak <= 1.5 * 2**30)


# ---------------------------------------------------------------------------------------
# 2c. Explaining a reduction, against the reduction itself on the same graph


def bench_explain(sizes: list[int], runs: int) -> None:
    print("explain vs reduce on the random pipeline graph, same arguments")
    for n in sizes:
        p = pipeline_graph(n)
        store = built(p)
        outputs = p.outputs
        ours, peer = paired(runs, lambda: timed(lambda _: store.explain(outputs=outputs)),
                            lambda: timed(lambda _: store.reduce(outputs=outputs)))
        row(f"explain {n:,} nodes vs reduce", fmt_s(ours), fmt_s(peer), f"{ours / peer:.2f}x reduce", "<= 3x",
            ours / peer <= 3)
        del store


# ---------------------------------------------------------------------------------------
# 3. Hash-consing pays: c = (c + c) / 2, d times


def bench_hash_consing(runs: int) -> None:
    print("hash-consing: c = (c + c) / 2 repeated d times, recorded and reduced")

    def record_and_reduce(depth: int) -> tuple[int, int]:
        store = cc.GraphStore()
        c = store.add_source("c")
        for _ in range(depth):
            doubled = store.add_op("add", [c, c])
            c = store.add_op("div", [doubled], {"scalar": 2.0, "side": "r"})
        _, report = store.reduce(outputs=[c])
        return store.node_count(), report["reduced_nodes"]

    reps = 200
    results = {}
    for depth in (10, 20, 30):
        samples = []
        for _ in range(runs):
            samples.append(timed(lambda _: [record_and_reduce(depth) for _ in range(reps)]) / reps)
        nodes, reduced = record_and_reduce(depth)
        tree = 3 * 2**depth - 2  # the expression as a tree: T(0) = 1, T(d) = 2 T(d-1) + 2
        results[depth] = (statistics.median(samples), nodes, tree)
        row(f"(c + c) / 2 x{depth}: recorded and reduced", f"{fmt_s(results[depth][0])}, {nodes} nodes",
            f"tree of {tree:,} nodes", f"{tree / nodes:,.0f}x fewer nodes",
            "nodes = 2d + 1", nodes == 2 * depth + 1 and reduced >= 1)
    t10, n10, _ = results[10]
    t30, n30, _ = results[30]
    row("(c + c) / 2: time x30 / time x10", f"{t30 / t10:.2f}x", f"nodes {n30 / n10:.2f}x",
        "linear", "time grows <= nodes", t30 / t10 <= n30 / n10)


# ---------------------------------------------------------------------------------------
# 4. Blob round trip vs pickle


def bench_blob(n: int, runs: int) -> None:
    p = pipeline_graph(n)
    store = built(p)
    as_tuples = [(method, name, inputs, tuple(sorted(params.items())) if params else ())
                 for method, name, inputs, params in p.nodes]
    size = len(store.serialize(outputs=p.outputs))
    pickled = len(pickle.dumps(as_tuples, protocol=pickle.HIGHEST_PROTOCOL))
    print(f"blob: {store.node_count():,} nodes, blob {size / 1e6:.1f} MB, pickle {pickled / 1e6:.1f} MB")

    def ours() -> float:
        return timed(lambda _: cc.GraphStore.deserialize(store.serialize(outputs=p.outputs)))

    def peer() -> float:
        return timed(lambda _: pickle.loads(pickle.dumps(as_tuples, protocol=pickle.HIGHEST_PROTOCOL)))

    ours_s, peer_s = paired(runs, ours, peer)
    row(f"serialize+deserialize {n:,} nodes vs pickle", fmt_s(ours_s), fmt_s(peer_s),
        f"{peer_s / ours_s:.2f}x faster", ">= 1x", ours_s <= peer_s)


# A blob whose header announces the most records and whose first record is bad: reading
# it must cost a small constant, not what the announced count or the byte length could
# hold. Measured in a fresh interpreter so the peak resident size is this read's alone.
REJECTED_BLOB_SCRIPT = """
import resource, sys, time
import corvane_core as cc
blob = b"CIR1" + (0xFFFFFFFF).to_bytes(4, "little") + bytes([7]) + bytes(int(sys.argv[1]))
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
try:
    cc.GraphStore.deserialize(blob)
except ValueError:
    pass
elapsed = time.perf_counter() - start
print(elapsed, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base)
"""


def in_fresh_interpreter(script: str, *args: object) -> list[str]:
    """Runs `script` in a new interpreter and returns the words it printed."""
    import subprocess

    return subprocess.run([sys.executable, "-c", script, *map(str, args)], check=True,
                          capture_output=True, text=True).stdout.split()


def bench_rejected_blob(size: int, runs: int) -> None:
    print(f"rejected blob: {size / 2**20:.0f} MiB whose first record has a bad tag")
    results = []
    for _ in range(runs):
        out = in_fresh_interpreter(REJECTED_BLOB_SCRIPT, size)
        results.append((float(out[0]), int(out[1]) / 1024))
    seconds = statistics.median(r[0] for r in results)
    extra_mib = max(r[1] for r in results)
    row(f"rejected {size / 2**20:.0f} MiB blob: extra peak memory", f"{extra_mib:.1f} MiB",
        f"{size / 2**20:.0f} MiB (the blob)", "-", "<= 64 MiB", extra_mib <= 64)
    row(f"rejected {size / 2**20:.0f} MiB blob: time to the error", fmt_s(seconds), "-", "-", "< 0.25 s",
        seconds < 0.25)


# ---------------------------------------------------------------------------------------
# 5. Incremental reduction


def bench_incremental(n: int, runs: int) -> None:
    p = pipeline_graph(n)
    print(f"incremental: {len(p.calls):,} recorded calls, step after each")

    def record_only() -> float:
        def run(store: cc.GraphStore) -> None:
            meths = methods_of(store)
            for method, args in p.calls:
                meths[method](*args)

        return timed(run, cc.GraphStore)

    def record_and_step() -> float:
        def run(pair: tuple[cc.GraphStore, cc.IncrementalReducer]) -> None:
            store, reducer = pair
            meths = methods_of(store)
            step = reducer.step
            for method, args in p.calls:
                meths[method](*args)
                step(store)

        return timed(run, lambda: (cc.GraphStore(), cc.IncrementalReducer()))

    rec, both = paired(runs, record_only, record_and_step)
    row(f"record+step {len(p.calls):,} calls vs record alone", fmt_s(both), fmt_s(rec),
        f"{both / rec:.2f}x recording", "<= 1.6x", both / rec <= 1.6)

    store = built(p)
    reducer = cc.IncrementalReducer()
    reducer.step(store)
    outputs = p.outputs

    def final() -> float:
        return timed(lambda _: reducer.finalize(store, outputs=outputs))

    def full() -> float:
        return timed(lambda _: store.reduce(outputs=outputs))

    fin, red = paired(runs, final, full)
    row(f"finalize on canonical form ({reducer.canonical_count():,} of {store.node_count():,}) vs reduce",
        fmt_s(fin), fmt_s(red), f"{red / fin:.2f}x faster", ">= 1x", fin <= red)


# ---------------------------------------------------------------------------------------


# ---------------------------------------------------------------------------------------
# 7. Recording on another thread while a reduction runs


def bench_recording_during_reduce(n: int, runs: int) -> None:
    """Another thread's recording rate while this one reduces an n-node store, as a share
    of its rate while this thread sleeps for as long (sleep lets other threads run)."""
    import threading

    p = pipeline_graph(n)
    store = built(p)
    outputs = p.outputs
    print(f"recording on another thread during a reduce of {store.node_count():,} nodes")

    def recorder_rate(busy: Callable[[], None]) -> float:
        side = cc.GraphStore()
        x = side.add_source("x")
        add = side.add_op
        stop = threading.Event()
        started = threading.Event()
        count = 0

        def record() -> None:
            nonlocal count
            started.set()
            while not stop.is_set():
                for i in range(count, count + 100):
                    add("map", [x], {"k": i})
                count += 100

        thread = threading.Thread(target=record)
        thread.start()
        started.wait()
        time.sleep(0.02)
        before, start = count, time.perf_counter()
        busy()
        after, end = count, time.perf_counter()
        stop.set()
        thread.join()
        return (after - before) / (end - start)

    def reduce() -> None:
        store.reduce(outputs=outputs)

    span = [timed(lambda _: reduce()) for _ in range(2)][-1]
    shares = []
    for _ in range(runs):
        alone = recorder_rate(lambda: time.sleep(span))
        during = recorder_rate(reduce)
        shares.append(during / alone)
    share = statistics.median(shares)
    row(f"another thread's recording rate during a {n:,}-node reduce", f"{share:.1%}", "100% (alone)",
        f"{share:.3f}", ">= 30%", share >= 0.3)


# ---------------------------------------------------------------------------------------
# 8. Memory over many reductions of distinct graphs


# Reduces `count` distinct 500-node graphs, each with parameter strings of its own (as a
# front end produces), and prints the resident size after the 400th and the last.
# Measured in a fresh interpreter so that the figure is these reductions' alone.
MEMORY_GROWTH_SCRIPT = """
import os, sys
import corvane_core as cc
count = int(sys.argv[1])
page = os.sysconf("SC_PAGE_SIZE")
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page
marks = []
for k in range(1, count + 1):
    s = cc.GraphStore()
    x = s.add_source(f"src-{k}", {"path": f"p-{k}"})
    last = x
    for i in range(499):
        last = s.add_op("add", [last, x]) if i % 5 == 4 else s.add_op("map", [last], {"f": f"fn-{k}-{i}"})
    s.reduce(outputs=[last])
    if k in (400, count):
        marks.append(rss())
print(marks[0], marks[1])
"""


def bench_memory_growth(count: int) -> None:
    print(f"memory: resident size over {count:,} reductions of distinct 500-node graphs")
    out = in_fresh_interpreter(MEMORY_GROWTH_SCRIPT, count)
    at_400, at_end = int(out[0]) / 2**20, int(out[1]) / 2**20
    growth = at_end - at_400
    row(f"RSS growth, reduction 400 to {count:,} of distinct graphs", f"{growth:.1f} MiB",
        f"{at_400:.1f} MiB at the 400th", "-", "<= 8 MiB", growth <= 8)


# ---------------------------------------------------------------------------------------
# 9. Reduction of graph shapes that stress congruence repair, per node against the random
# pipeline graph of the same size


def _distinct_pairs(rng: Rng, count: int, limit: int) -> list[tuple[int, int]]:
    """`count` distinct unordered pairs of distinct numbers below `limit`, in drawn order."""
    seen: set[tuple[int, int]] = set()
    out = []
    while len(out) < count:
        a, b = rng.below(limit), rng.below(limit)
        key = (a, b) if a < b else (b, a)
        if a != b and key not in seen:
            seen.add(key)
            out.append(key)
    return out


def _sources_for(pairs: int) -> int:
    """The fewest sources with twice `pairs` unordered pairs among them."""
    s = 2
    while s * (s - 1) // 2 < 2 * pairs:
        s += 1
    return s


def mul_pairs_graph(n: int) -> tuple[cc.GraphStore, list[int]]:
    """n/4 commuted mul(a, b) / mul(b, a) pairs over n/2 sources under one Join."""
    store = cc.GraphStore()
    src = [store.add_source(f"s{i}") for i in range(n // 2)]
    ops = []
    for i in range(0, len(src) - 1, 2):
        a, b = src[i], src[i + 1]
        ops += (store.add_op("mul", [a, b]), store.add_op("mul", [b, a]))
    return store, [store.add_join(ops)]


def add_pairs_graph(n: int) -> tuple[cc.GraphStore, list[int]]:
    """n/2 commuted add pairs over a few hundred (10^5) or thousand (10^6) shared sources
    under one Join."""
    store = cc.GraphStore()
    pairs = n // 2
    src = [store.add_source(f"s{i}") for i in range(_sources_for(pairs))]
    ops = []
    for a, b in _distinct_pairs(Rng(7), pairs, len(src)):
        ops += (store.add_op("add", [src[a], src[b]]), store.add_op("add", [src[b], src[a]]))
    return store, [store.add_join(ops)]


def wide_joins_graph(n: int) -> tuple[cc.GraphStore, list[int]]:
    """n/12 commuted add pairs over shared sources and 5n/12 commuted mul pairs over those
    adds, each kind under one Join (at 360,000 nodes: 30,000 add and 150,000 mul pairs)."""
    store = cc.GraphStore()
    rng = Rng(11)
    unit = n // 12
    src = [store.add_source(f"s{i}") for i in range(_sources_for(unit))]
    fwd, back = [], []
    for a, b in _distinct_pairs(rng, unit, len(src)):
        fwd.append(store.add_op("add", [src[a], src[b]]))
        back.append(store.add_op("add", [src[b], src[a]]))
    muls = []
    for x, y in _distinct_pairs(rng, 5 * unit, unit):
        muls += (store.add_op("mul", [fwd[x], fwd[y]]), store.add_op("mul", [back[y], back[x]]))
    return store, [store.add_join([store.add_join(fwd + back), store.add_join(muls)])]


def identity_chains_graph(n: int) -> tuple[cc.GraphStore, list[int]]:
    """n/1000 sources, each under a chain of 999 identity ops; every chain op under one Join."""
    store = cc.GraphStore()
    identities = [("add", {"scalar": 0.0, "side": "r"}), ("mul", {"scalar": 1.0, "side": "l"}),
                  ("add", {"scalar": 0.0, "side": "l"}), ("mul", {"scalar": 1.0, "side": "r"})]
    nodes = []
    for c in range(max(1, n // 1000)):
        last = store.add_source(f"s{c}")
        for k in range(999):
            name, params = identities[k % 4]
            last = store.add_op(name, [last], params)
            nodes.append(last)
    return store, [store.add_join(nodes)]


def bench_shapes(sizes: list[int], runs: int) -> None:
    print("reduction of congruence-heavy shapes vs the random pipeline graph, per node")
    shapes = [("commuted mul pairs under one Join", mul_pairs_graph),
              ("commuted add pairs under one Join", add_pairs_graph),
              ("commuted add + mul pairs under wide Joins", wide_joins_graph),
              ("identity chains under one Join", identity_chains_graph)]
    for n in sizes:
        p = pipeline_graph(n)
        peer_store = built(p)
        per_run = runs if n <= 100_000 else max(1, runs // 2)
        for label, make in shapes:
            store, outputs = make(n)
            store.reduce(outputs=outputs)  # warm-up
            ours, peer = paired(per_run, lambda: timed(lambda _: store.reduce(outputs=outputs)),
                                lambda: timed(lambda _: peer_store.reduce(outputs=p.outputs)))
            ratio = (ours / store.node_count()) / (peer / peer_store.node_count())
            row(f"reduce {label}, {store.node_count():,} nodes, per node vs random graph",
                fmt_ns(ours, store.node_count()), fmt_ns(peer, peer_store.node_count()), f"{ratio:.2f}x", "<= 3x",
                ratio <= 3)
            del store
        del peer_store
    store, outputs = wide_joins_graph(360_000)
    seconds = statistics.median(timed(lambda _: store.reduce(outputs=outputs)) for _ in range(runs))
    row(f"reduce {store.node_count():,}-node wide Joins shape", fmt_s(seconds), "-", "-", "< 1 s", seconds < 1)


# ---------------------------------------------------------------------------------------
# 6. The equality-saturation search, from the C++ micro-benchmark run just before


def engine_rows(path: str) -> None:
    """The engine over a 10^6-node graph with 1% commutative ops against the same-sized
    graph with none, read from Google Benchmark's JSON output."""
    import json

    with open(path, encoding="utf-8") as f:
        runs = json.load(f)["benchmarks"]
    found = {}
    for b in runs:
        name = b.get("run_name", b["name"])
        if name.startswith("BM_EngineCommutative/") and b.get("run_type", "iteration") == "iteration":
            found[int(name.split("/")[1])] = b
    if 0 not in found or 1 not in found:
        print("engine: no BM_EngineCommutative results in", path)
        return
    none, some = found[0], found[1]
    print(f"equality saturation over {int(some['nodes']):,} nodes, 1% vs 0% commutative ops")
    ratio = some["cpu_time"] / none["cpu_time"]
    row("engine whole run, 1% vs 0% commutative ops", f"{some['cpu_time']:.0f} {some['time_unit']}",
        f"{none['cpu_time']:.0f} {none['time_unit']}", f"{ratio:.2f}x", "<= 3x", ratio <= 3)
    row("engine iterations alone (search+apply+rebuild), 1% vs 0%",
        f"{some['iterations_ms']:.1f} ms", f"{none['iterations_ms']:.3f} ms", "-", "-", None)


def print_table(markdown: bool) -> None:
    header = ("Figure", "corvane_core", "comparison", "ratio", "goal", "met")
    lines = [(r.figure, r.ours, r.peer, r.ratio, r.goal, "-" if r.met is None else ("yes" if r.met else "NO"))
             for r in ROWS]
    if markdown:
        print("| " + " | ".join(header) + " |")
        print("|" + "|".join(["---"] * len(header)) + "|")
        for line in lines:
            print("| " + " | ".join(line) + " |")
        return
    widths = [max(len(h), *(len(line[i]) for line in lines)) for i, h in enumerate(header)]
    print("  ".join(h.ljust(w) for h, w in zip(header, widths)))
    print("  ".join("-" * w for w in widths))
    for line in lines:
        print("  ".join(c.ljust(w) for c, w in zip(line, widths)))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller graphs and fewer runs")
    parser.add_argument("--runs", type=int, default=None, help="runs per figure (median)")
    parser.add_argument("--markdown", action="store_true", help="print the final table as Markdown")
    parser.add_argument("--strict", action="store_true", help="exit 1 when a goal is not met")
    parser.add_argument("--cxx-json", default=None,
                        help="Google Benchmark JSON output to take the engine figures from")
    parser.add_argument("--only", default="", help="comma-separated subset: record,reduce,explain,large,shapes,hashcons,blob,incremental,threads,memory,engine")
    args = parser.parse_args()

    quick = args.quick
    runs = args.runs or (3 if quick else 5)
    big = 100_000 if quick else 1_000_000
    sizes = [10_000, 100_000] if quick else [100_000, 1_000_000]  # the figures taken at two sizes
    only = set(filter(None, args.only.split(",")))

    def wanted(name: str) -> bool:
        return not only or name in only

    print(f"corvane_core {cc.version()}, Python {sys.version.split()[0]}, {'quick' if quick else 'full'} run, "
          f"median of {runs}")
    start = time.perf_counter()
    if wanted("record"):
        bench_recording(big, runs)
    if wanted("reduce"):
        bench_reduction(sizes, runs, 1 if quick else 3)
    if wanted("explain"):
        bench_explain(sizes, runs)
    if wanted("large") and not quick:
        bench_large_reduction(1_000_000, 10_000_000)
    if wanted("shapes"):
        bench_shapes(sizes, 3)
    if wanted("hashcons"):
        bench_hash_consing(runs)
    if wanted("blob"):
        bench_blob(big, runs)
        bench_rejected_blob(200 * 2**20, 3)
    if wanted("incremental"):
        bench_incremental(10_000 if quick else 100_000, runs)
    if wanted("threads"):
        bench_recording_during_reduce(big, runs)
    if wanted("memory"):
        bench_memory_growth(2_000)
    if wanted("engine") and args.cxx_json:
        engine_rows(args.cxx_json)
    print(f"\n({time.perf_counter() - start:.0f} s)\n")
    print_table(args.markdown)
    unmet = [r.figure for r in ROWS if r.met is False]
    if unmet:
        print(f"\ngoals not met: {len(unmet)} of {sum(r.met is not None for r in ROWS)}")
    return 1 if args.strict and unmet else 0


if __name__ == "__main__":
    sys.exit(main())
