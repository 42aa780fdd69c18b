"""Reference and memory leaks: every public callable, on success and on each error path,
runs many times, and the interpreter's total reference count, its allocated blocks, the
number of GC-tracked objects and the C heap must settle after a short warm-up.

Needs a debug interpreter (sys.gettotalrefcount); skipped on a release build.
"""

from __future__ import annotations

import array
import copy
import ctypes
import ctypes.util
import gc
import pickle
import sys
import sysconfig
from collections.abc import Callable

import pytest

import corvane_core as cc
from hostile import (DESCRIPTOR, SOURCE_X, ClearingIndex, CollidingKey, EqBoom, FloatOnly, HostileStr,
                     Index, IndexBoom, ItemBoom, IterBoom, LyingSeq, OddDict, OddList,
                     RaisingFloat, RaisingIndex, RaisingIndexAndFloat, RaisingItemSeq,
                     RaisingLenSeq, Swallowed, WrongIndex, blob, clearing_list, sample_store,
                     stage_with_token, text, u32, u64)

pytestmark = [
    pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter"),
    pytest.mark.thread_unsafe,  # the counters are process-wide
]

LOOPS, WARMUP, ROUNDS = 10, 3, 4


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]


def _heap_reader() -> Callable[[], int]:
    """Bytes in use in the C heap (glibc mallinfo2), where the module's own C++
    allocations live; a constant 0 where it is unavailable."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError, TypeError):
        return lambda: 0
    mallinfo2.restype = _MallInfo2
    return lambda: mallinfo2().uordblks + mallinfo2().hblkhd


heap_in_use = _heap_reader()


def leak_deltas(call: Callable[[], object], expected: type[BaseException] | None) -> dict[str, list[int]]:
    """Per-round growth of each counter over the measured rounds."""

    def run() -> None:
        for _ in range(LOOPS):
            if expected is None:
                call()
                continue
            try:
                call()
            except expected:
                pass
            else:
                raise AssertionError(f"expected {expected.__name__}")

    names = ("refs", "blocks", "objects", "heap")
    # Readings go into a preallocated C array, so keeping them creates no objects.
    readings = array.array("q", bytes(8 * len(names) * (WARMUP + ROUNDS + 1)))
    for i in range(WARMUP + ROUNDS + 1):
        if i:
            run()
        gc.collect()
        if hasattr(sys, "_clear_internal_caches"):
            sys._clear_internal_caches()
        base = i * len(names)
        readings[base] = sys.gettotalrefcount()
        readings[base + 1] = sys.getallocatedblocks()
        readings[base + 2] = len(gc.get_objects())
        readings[base + 3] = heap_in_use()
    deltas: dict[str, list[int]] = {name: [] for name in names}
    for i in range(WARMUP + 1, WARMUP + ROUNDS + 1):
        for k, name in enumerate(names):
            deltas[name].append(readings[i * len(names) + k] - readings[(i - 1) * len(names) + k])
    return deltas


def leaks(deltas: dict[str, list[int]]) -> list[str]:
    """A counter leaks when it grows in every measured round; the C heap, whose free
    lists and arenas move in larger steps, when it also grows by more than a few bytes
    per call on average."""
    found = [name for name in ("refs", "blocks", "objects") if all(d > 0 for d in deltas[name])]
    heap = deltas["heap"]
    if all(d > 0 for d in heap) and sum(heap) > 16 * LOOPS * ROUNDS:
        found.append("heap")
    return found


# ---- the calls

STORE = sample_store()
REDUCER = cc.IncrementalReducer()
REDUCER.step(STORE)
OUT = STORE.outputs()
REDUCED = STORE.reduce()[0]
VALID_BLOB = STORE.serialize()
BAD_MEMBER = stage_with_token(b"junk")
PD = cc.PayloadDescriptor(**DESCRIPTOR)


def fresh() -> cc.GraphStore:
    s = cc.GraphStore()
    s.add_source("x")
    s.add_source("y")
    return s


def without(field: str) -> dict:
    d = dict(DESCRIPTOR)
    del d[field]
    return d


def with_value(field: str, value: object) -> dict:
    return {**DESCRIPTOR, field: value}


def colliding() -> dict:
    d = without("version")
    d[CollidingKey("version")] = 0
    return d


def set_kind() -> None:
    PD.kind = "other"  # type: ignore[misc]


def _numpy_with_this_abi():
    """NumPy, if its extension was built for this interpreter: a release build loaded
    into the debug interpreter keeps no reference totals and would skew the counts."""
    try:
        import numpy as np
        from numpy._core import _multiarray_umath
    except ImportError:
        return None
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ""
    return np if _multiarray_umath.__file__.endswith(suffix) else None


np = _numpy_with_this_abi()

CALLS: list[tuple[str, Callable[[], object], type[BaseException] | None]] = [
    # construction and the module function
    ("GraphStore()", lambda: cc.GraphStore(), None),
    ("GraphStore(arg)", lambda: cc.GraphStore(1), TypeError),
    ("GraphStore(kw)", lambda: cc.GraphStore(x=1), TypeError),
    ("IncrementalReducer()", lambda: cc.IncrementalReducer(), None),
    ("IncrementalReducer(arg)", lambda: cc.IncrementalReducer(1), TypeError),
    ("version()", lambda: cc.version(), None),
    ("version(arg)", lambda: cc.version(1), TypeError),
    # add_source and params
    ("add_source new", lambda: fresh().add_source("z", {"i": 1, "f": 0.5, "b": True, "s": "t"}), None),
    ("add_source existing", lambda: STORE.add_source("x", {"rows": 3}), None),
    ("add_source str subclass", lambda: STORE.add_source(HostileStr("x"), {"rows": 3}), None),
    ("add_source keywords", lambda: STORE.add_source(name="x", params={"rows": 3}), None),
    ("add_source odd params", lambda: fresh().add_source("z", OddDict({"k": Index(3), "g": FloatOnly(1.5)})), None),
    ("add_source big int param", lambda: fresh().add_source("z", {"k": 2**63}), None),
    ("add_source name type", lambda: STORE.add_source(1), TypeError),
    ("add_source name surrogate", lambda: STORE.add_source("\ud800"), UnicodeEncodeError),
    ("add_source params type", lambda: STORE.add_source("x", [("k", 1)]), TypeError),
    ("add_source param key type", lambda: STORE.add_source("x", {1: 1}), TypeError),
    ("add_source param key surrogate", lambda: STORE.add_source("x", {"\udc00": 1}), UnicodeEncodeError),
    ("add_source param value", lambda: STORE.add_source("x", {"k": None}), TypeError),
    ("add_source param value surrogate", lambda: STORE.add_source("x", {"k": "\ud800"}), TypeError),
    ("add_source param value huge", lambda: STORE.add_source("x", {"k": 2**1024}), TypeError),
    ("add_source param __index__ raises", lambda: STORE.add_source("x", {"k": RaisingIndex(Swallowed)}), TypeError),
    ("add_source param __float__ raises", lambda: STORE.add_source("x", {"k": RaisingFloat(Swallowed)}), TypeError),
    ("add_source param both raise", lambda: STORE.add_source("x", {"k": RaisingIndexAndFloat(Swallowed)}), TypeError),
    ("add_source missing", lambda: STORE.add_source(), TypeError),
    ("add_source unexpected keyword", lambda: STORE.add_source("x", bogus=1), TypeError),
    # add_op and node-id sequences
    ("add_op new", lambda: fresh().add_op("f", [0, 1], {"k": 1}), None),
    ("add_op existing", lambda: STORE.add_op("neg", [0]), None),
    ("add_op tuple", lambda: fresh().add_op("f", (1, 0)), None),
    ("add_op range", lambda: fresh().add_op("f", range(2)), None),
    ("add_op index items", lambda: fresh().add_op("f", [Index(0), True]), None),
    ("add_op lying length", lambda: fresh().add_op("f", LyingSeq([0, 1], 10**6)), None),
    ("add_op clearing items", lambda: fresh().add_op("f", clearing_list([0, 1])), None),
    ("add_op clearing item in tuple", lambda: fresh().add_op("f", (ClearingIndex([], 1),)), None),
    ("add_op inputs str", lambda: STORE.add_op("f", "0"), TypeError),
    ("add_op inputs not a sequence", lambda: STORE.add_op("f", {0}), TypeError),
    ("add_op item type", lambda: STORE.add_op("f", [0, "a"]), TypeError),
    ("add_op item wrong __index__", lambda: STORE.add_op("f", [WrongIndex()]), TypeError),
    ("add_op negative", lambda: STORE.add_op("f", [-1]), OverflowError),
    ("add_op too large", lambda: STORE.add_op("f", [2**64]), OverflowError),
    ("add_op too large in tuple", lambda: STORE.add_op("f", (0, 2**64)), OverflowError),
    ("add_op unknown id", lambda: STORE.add_op("f", [0, 10**6]), ValueError),
    ("add_op __index__ raises", lambda: STORE.add_op("f", [RaisingIndex()]), IndexBoom),
    ("add_op __len__ raises", lambda: fresh().add_op("f", RaisingLenSeq([0], 0)), None),  # only a hint
    ("add_op item raises", lambda: STORE.add_op("f", RaisingItemSeq([0, 0], 1)), ItemBoom),
    ("add_op list subclass iteration raises", lambda: STORE.add_op("f", OddList([0])), IterBoom),
    ("add_op bad params after inputs", lambda: STORE.add_op("f", [0], {"k": []}), TypeError),
    ("add_reduction", lambda: fresh().add_reduction("sum", [1], {"axis": -1}), None),
    ("add_reduction unknown id", lambda: STORE.add_reduction("sum", [10**6]), ValueError),
    ("add_exchange", lambda: fresh().add_exchange([0], {"scheme": "hash"}), None),
    ("add_exchange negative", lambda: STORE.add_exchange([-5]), OverflowError),
    ("add_join", lambda: fresh().add_join([0, 1]), None),
    ("add_join unknown id", lambda: STORE.add_join([0, 10**6]), ValueError),
    # add_external and descriptors
    ("add_external object", lambda: fresh().add_external(PD, [0]), None),
    ("add_external dict", lambda: fresh().add_external(DESCRIPTOR, [0], {"k": 1}), None),
    ("add_external odd dict", lambda: fresh().add_external(OddDict(DESCRIPTOR), []), None),
    ("add_external with ref", lambda: fresh().add_external(with_value("preprocessing_ref", "r"), []), None),
    ("add_external ref None", lambda: fresh().add_external(with_value("preprocessing_ref", None), []), None),
    ("add_external missing field", lambda: STORE.add_external(without("io_schema"), []), ValueError),
    ("add_external field type", lambda: STORE.add_external(with_value("kind", 1), []), TypeError),
    ("add_external field surrogate", lambda: STORE.add_external(with_value("kind", "\ud800"), []), UnicodeEncodeError),
    ("add_external ref type", lambda: STORE.add_external(with_value("preprocessing_ref", 1), []), TypeError),
    ("add_external descriptor type", lambda: STORE.add_external(1, []), TypeError),
    ("add_external lookup raises", lambda: STORE.add_external(colliding(), []), EqBoom),
    ("add_external unknown id", lambda: STORE.add_external(PD, [10**6]), ValueError),
    # PayloadDescriptor
    ("PayloadDescriptor", lambda: cc.PayloadDescriptor(**DESCRIPTOR), None),
    ("PayloadDescriptor with ref", lambda: cc.PayloadDescriptor(**DESCRIPTOR, preprocessing_ref="r"), None),
    ("PayloadDescriptor properties",
     lambda: (PD.kind, PD.content_hash, PD.framework, PD.version, PD.io_schema, PD.preprocessing_ref), None),
    ("PayloadDescriptor positional", lambda: cc.PayloadDescriptor("k"), TypeError),
    ("PayloadDescriptor missing", lambda: cc.PayloadDescriptor(kind="k"), TypeError),
    ("PayloadDescriptor type", lambda: cc.PayloadDescriptor(**with_value("version", 2)), TypeError),
    ("PayloadDescriptor surrogate", lambda: cc.PayloadDescriptor(**with_value("version", "\ud800")), UnicodeEncodeError),
    ("PayloadDescriptor unexpected keyword", lambda: cc.PayloadDescriptor(**DESCRIPTOR, extra=1), TypeError),
    ("PayloadDescriptor setattr", set_kind, AttributeError),
    # readers and inspection
    ("node_count", lambda: STORE.node_count(), None),
    ("node_count arg", lambda: STORE.node_count(1), TypeError),
    ("outputs", lambda: STORE.outputs(), None),
    ("node_map", lambda: STORE.node_map(), None),
    ("nodes", lambda: STORE.nodes(), None),
    ("nodes unparseable member", lambda: cc.GraphStore.deserialize(BAD_MEMBER).nodes(), ValueError),
    ("to_dot", lambda: STORE.to_dot(), None),
    ("cone", lambda: STORE.cone(outputs=OUT), None),
    ("cone unknown id", lambda: STORE.cone(outputs=[10**6]), ValueError),
    ("cone positional", lambda: STORE.cone(OUT), TypeError),
    ("cone missing", lambda: STORE.cone(), TypeError),
    ("cone negative", lambda: STORE.cone(outputs=[-1]), OverflowError),
    # serialization
    ("serialize", lambda: STORE.serialize(), None),
    ("serialize outputs", lambda: STORE.serialize(outputs=[0, 0]), None),
    ("serialize unknown id", lambda: STORE.serialize([10**6]), ValueError),
    ("serialize str", lambda: STORE.serialize("0"), TypeError),
    ("serialize negative", lambda: STORE.serialize([-1]), OverflowError),
    ("deserialize", lambda: cc.GraphStore.deserialize(VALID_BLOB), None),
    ("deserialize through an instance", lambda: STORE.deserialize(data=VALID_BLOB), None),
    ("deserialize bad magic", lambda: cc.GraphStore.deserialize(b"NOPE" + VALID_BLOB[4:]), ValueError),
    ("deserialize truncated", lambda: cc.GraphStore.deserialize(VALID_BLOB[:-3]), ValueError),
    ("deserialize bad tag", lambda: cc.GraphStore.deserialize(blob(b"\x09")), ValueError),
    ("deserialize bad utf-8", lambda: cc.GraphStore.deserialize(blob(b"\x00" + text(b"\xff") + u32(0))), ValueError),
    ("deserialize reference out of range",
     lambda: cc.GraphStore.deserialize(blob(SOURCE_X, b"\x01" + text(b"f") + u32(0) + u32(1) + u64(5))), ValueError),
    ("deserialize type", lambda: cc.GraphStore.deserialize(bytearray(VALID_BLOB)), TypeError),
    ("deserialize missing", lambda: cc.GraphStore.deserialize(), TypeError),
    # reductions
    ("reduce", lambda: STORE.reduce(), None),
    ("reduce maximal", lambda: STORE.reduce(maximal_fusion=True, outputs=OUT), None),
    ("reduce unknown id", lambda: STORE.reduce(outputs=[10**6]), ValueError),
    ("reduce flag type", lambda: STORE.reduce(maximal_fusion=1), TypeError),
    ("reduce positional", lambda: STORE.reduce(True), TypeError),
    ("reduce outputs str", lambda: STORE.reduce(outputs="0"), TypeError),
    ("reduce outputs __index__ raises", lambda: STORE.reduce(outputs=[RaisingIndex()]), IndexBoom),
    ("reduce_incremental", lambda: STORE.reduce_incremental(outputs=OUT), None),
    ("reduce_incremental unknown id", lambda: STORE.reduce_incremental(outputs=[10**6]), ValueError),
    ("explain", lambda: STORE.explain(maximal_fusion=True, outputs=OUT), None),
    ("explain outputs __index__ raises", lambda: STORE.explain(outputs=[RaisingIndex()]), IndexBoom),
    ("reduction_report", lambda: STORE.reduction_report(), None),
    ("reduction_report negative", lambda: STORE.reduction_report(outputs=[-1]), OverflowError),
    # the incremental reducer
    ("step fresh reducer", lambda: cc.IncrementalReducer().step(STORE), None),
    ("step nothing new", lambda: REDUCER.step(store=STORE), None),
    ("step type", lambda: REDUCER.step(1), TypeError),
    ("step missing", lambda: REDUCER.step(), TypeError),
    ("finalize fresh reducer", lambda: cc.IncrementalReducer().finalize(STORE), None),
    ("finalize", lambda: REDUCER.finalize(STORE, maximal_fusion=True, outputs=OUT), None),
    ("finalize unknown id", lambda: REDUCER.finalize(STORE, outputs=[10**6]), ValueError),
    ("finalize flag type", lambda: REDUCER.finalize(STORE, maximal_fusion=None), TypeError),
    ("finalize store type", lambda: REDUCER.finalize(PD), TypeError),
    ("finalize outputs str", lambda: REDUCER.finalize(STORE, outputs="1"), TypeError),
    ("watermark", lambda: REDUCER.watermark(), None),
    ("total_work", lambda: REDUCER.total_work(), None),
    ("canonical_count", lambda: REDUCER.canonical_count(), None),
    ("canonical_count arg", lambda: REDUCER.canonical_count(1), TypeError),
    ("step another store", lambda: REDUCER.step(fresh()), ValueError),
    ("finalize another store", lambda: REDUCER.finalize(fresh(), outputs=[0]), ValueError),
    # pickling and copying
    ("pickle store", lambda: pickle.loads(pickle.dumps(REDUCED)), None),
    ("pickle store protocol 0", lambda: pickle.loads(pickle.dumps(STORE, 0)), None),
    ("copy store", lambda: copy.copy(REDUCED), None),
    ("deepcopy store", lambda: copy.deepcopy(STORE), None),
    ("deepcopy store memo missing", lambda: STORE.__deepcopy__(), TypeError),
    ("restore bad blob", lambda: cc.GraphStore._restore(VALID_BLOB[:-1], []), ValueError),
    ("restore bad map", lambda: cc.GraphStore._restore(VALID_BLOB, [(0, None), (10**6, 0)]), ValueError),
    ("restore map shape", lambda: cc.GraphStore._restore(VALID_BLOB, [(0, None), (0,)]), TypeError),
    ("restore map negative", lambda: cc.GraphStore._restore(VALID_BLOB, [(0, -1)]), ValueError),
    ("pickle descriptor", lambda: pickle.loads(pickle.dumps(PD)), None),
    ("deepcopy descriptor", lambda: copy.deepcopy(PD), None),
    ("pickle reducer", lambda: pickle.dumps(REDUCER), TypeError),
]
if np is not None:
    CALLS += [
        ("reduce numpy flag", lambda: STORE.reduce(maximal_fusion=np.bool_(True)), None),
        ("add_op numpy ids", lambda: fresh().add_op("f", np.array([0, 1])), None),
        ("add_source numpy params", lambda: fresh().add_source("z", {"i": np.int64(2), "f": np.float32(0.5)}), None),
    ]


@pytest.mark.parametrize("call,expected", [(c, e) for _, c, e in CALLS], ids=[name for name, _, _ in CALLS])
def test_no_leak(call: Callable[[], object], expected: type[BaseException] | None) -> None:
    deltas = leak_deltas(call, expected)
    assert not leaks(deltas), deltas


def test_the_check_catches_a_leak() -> None:
    """Keeping every new store is reported on each counter it moves: references and
    blocks, and the C heap holding the stores' contents."""
    kept: list[object] = []
    found = set(leaks(leak_deltas(lambda: kept.append(cc.GraphStore()), None)))
    assert {"refs", "blocks"} <= found
    if heap_in_use() != 0:
        assert "heap" in found
