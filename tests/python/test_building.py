"""Recording nodes: hash-consing, argument binding, conversion order and error messages."""

from __future__ import annotations

import threading
from collections.abc import Sequence

import pytest

import corvane_core as cc
from conftest import numpy_param, snapshot


class Index:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class Seq(Sequence):
    def __init__(self, *items) -> None:
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self) -> int:
        return len(self.items)


DESC = {"kind": "k", "content_hash": "h", "framework": "f", "version": "v", "io_schema": "s"}

# Calls on a store holding one Source (id 0) that must fail and record nothing.
FAILURES = [
    # binding
    ("add_source", (), {}, TypeError, "name"),
    ("add_source", ("x", None, 1), {}, TypeError, "positional"),
    ("add_source", ("x",), {"label": 1}, TypeError, "label"),
    ("add_source", ("x",), {"name": "y"}, TypeError, "multiple values"),
    ("add_op", ("f",), {}, TypeError, "inputs"),
    ("add_join", (), {"params": None}, TypeError, "inputs"),
    # name
    ("add_source", (1,), {}, TypeError, "'name'"),
    ("add_op", (b"f", [0]), {}, TypeError, "'name'"),
    ("add_source", ("\ud800",), {}, UnicodeEncodeError, "surrogates"),
    # inputs
    ("add_op", ("f", "0"), {}, TypeError, "'inputs'"),
    ("add_op", ("f", {0}), {}, TypeError, "'inputs'"),
    ("add_op", ("f", {0: 0}), {}, TypeError, "'inputs'"),
    ("add_op", ("f", iter([0])), {}, TypeError, "'inputs'"),
    ("add_op", ("f", 0), {}, TypeError, "'inputs'"),
    ("add_op", ("f", [0.0]), {}, TypeError, "'inputs'"),
    ("add_op", ("f", [0, "1"]), {}, TypeError, "'inputs'"),
    ("add_op", ("f", [-1]), {}, OverflowError, None),
    ("add_op", ("f", [2**64]), {}, OverflowError, None),
    ("add_op", ("f", (0, Index(-5))), {}, OverflowError, None),
    # ids the store does not hold: the first bad one in list order
    ("add_op", ("f", [0, 1]), {}, ValueError, "^no node with id 1$"),
    ("add_op", ("f", [7, 5]), {}, ValueError, "^no node with id 7$"),
    ("add_reduction", ("sum", [2**64 - 1]), {}, ValueError, "^no node with id 18446744073709551615$"),
    ("add_exchange", ([3],), {}, ValueError, "^no node with id 3$"),
    ("add_join", ([0, 9],), {}, ValueError, "^no node with id 9$"),
    ("add_external", (DESC, [4]), {}, ValueError, "^no node with id 4$"),
    # descriptor
    ("add_external", (1, []), {}, TypeError, "^descriptor must be a PayloadDescriptor or dict$"),
    ("add_external", (None, [0]), {}, TypeError, "^descriptor must be a PayloadDescriptor or dict$"),
    # conversion order: name, inputs, descriptor, params, then the ids
    ("add_op", (1, "0", []), {}, TypeError, "'name'"),
    ("add_op", ("f", "0", []), {}, TypeError, "'inputs'"),
    ("add_external", (1, "0"), {}, TypeError, "'inputs'"),
    ("add_external", (1, [5], []), {}, TypeError, "^descriptor must"),
    ("add_external", ({}, [5], []), {}, ValueError, "missing required field 'kind'"),
    ("add_external", (DESC, [5], []), {}, TypeError, "^params must be a dict or None$"),
    ("add_op", ("f", [5], {"k": None}), {}, TypeError, "^param values must be int, float, bool, or str$"),
    ("add_join", ([5], 1), {}, TypeError, "^params must be a dict or None$"),
]


@pytest.mark.parametrize("method,args,kwargs,error,message", FAILURES,
                         ids=[f"{m}-{i}" for i, (m, *_) in enumerate(FAILURES)])
def test_failed_calls_record_nothing(store, method, args, kwargs, error, message):
    store.add_source("x")
    before = snapshot(store)
    with pytest.raises(error, match=message):
        getattr(store, method)(*args, **kwargs)
    assert snapshot(store) == before


@pytest.mark.thread_unsafe(reason="asserts exact ids and counts of the store fixture, which parallel threads share")
def test_hash_consing(store):
    assert store.node_count() == 0 and store.outputs() == []
    assert store.add_source("a") == 0
    assert store.add_source("a") == 0
    assert store.add_source("a", {"k": 1}) == 1
    assert store.add_source("a", {}) == 0
    assert store.add_op("f", [0]) == 2
    assert store.add_reduction("f", [0]) == 3  # same fields, other kind
    assert store.add_op("f", [0, 0]) == 4      # repetitions are kept
    assert store.add_op("f", [0]) == 2
    assert store.add_exchange([0]) == 5
    assert store.add_join([0]) == 6            # a one-input join is accepted
    assert store.add_exchange([0, 1, 2]) == 7  # so is a three-input exchange
    assert store.add_op("", []) == 8           # empty name, no inputs
    assert store.node_count() == 9
    assert store.outputs() == []               # building never marks
    assert store.nodes()[4]["inputs"] == [0, 0]


@pytest.mark.parametrize("inputs", [
    [0, 1], (0, 1), range(2), Seq(0, 1), [Index(0), 1], numpy_param(lambda np: (np.int64(0), np.uint8(1))),
    [False, True], b"\x00\x01", type("L", (list,), {})([0, 1]),
], ids=repr)
def test_input_sequences_and_index_items(store, inputs):
    store.add_source("a")
    store.add_source("b")
    assert store.add_op("f", inputs) == 2
    assert store.nodes()[2]["inputs"] == [0, 1]


def test_keywords_bind_like_positionals(store):
    x = store.add_source("x")
    y = store.add_op("f", [x], {"k": 1})
    assert store.add_op(name="f", inputs=(x,), params={"k": 1}) == y
    assert store.add_op("f", params={"k": 1}, inputs=[x]) == y
    d = store.add_external(DESC, [x])
    assert store.add_external(inputs=[x], descriptor=dict(DESC)) == d
    assert store.add_join(inputs=[x, y], params=None) == store.add_join([x, y])


def test_index_that_mutates_the_list_does_not_crash(store):
    store.add_source("x")

    class Clearing:
        def __index__(self) -> int:
            items.clear()
            items.extend(range(100))
            return 0

    items: list = [0, Clearing(), 0]
    assert store.add_op("f", items) == 1
    assert store.nodes()[1]["inputs"] == [0, 0, 0]


def test_sequence_errors_propagate(store):
    class Broken(Seq):
        def __getitem__(self, i):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError, match="boom"):
        store.add_op("f", Broken(0))
    assert store.node_count() == 0


def test_threads_recording_equal_nodes_share_ids():
    store = cc.GraphStore()
    base = store.add_source("x")
    n_threads, n_nodes = 8, 200
    barrier = threading.Barrier(n_threads)
    results: list[list[int]] = [[] for _ in range(n_threads)]

    def record(slot: int) -> None:
        barrier.wait()
        for i in range(n_nodes):
            results[slot].append(store.add_op("f", [base], {"i": i}))

    threads = [threading.Thread(target=record, args=(t,)) for t in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == results[0] for r in results)
    assert sorted(results[0]) == list(range(1, n_nodes + 1))
    assert store.node_count() == n_nodes + 1
