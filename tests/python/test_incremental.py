"""The IncrementalReducer class: stepping, finalizing, counters, argument rules."""

from __future__ import annotations

import copy
import threading

import pytest
from hypothesis import given, settings

import corvane_core as cc
from conftest import NUMPY, build_random, chain, fusable, identity_example, needs_numpy, random_plans, snapshot

ZEROS = {"input_nodes": 0, "reachable_nodes": 0, "canonical_nodes": 0, "stages": 0,
         "reduced_nodes": 0, "boundary_nodes": 0}


def counters(reducer: cc.IncrementalReducer) -> tuple[int, int, int]:
    return reducer.watermark(), reducer.total_work(), reducer.canonical_count()


def test_fresh_reducer(store):
    reducer = cc.IncrementalReducer()
    assert counters(reducer) == (0, 0, 0)
    reduced, report = reducer.finalize(store)
    assert snapshot(reduced) == ([], [], [], 0)
    assert report == ZEROS


@pytest.mark.thread_unsafe(reason="asserts exact ids and counts of the store fixture, which parallel threads share")
def test_steps_consume_each_node_once(store):
    reducer = cc.IncrementalReducer()
    chain(store, 2)
    assert reducer.step(store) == 3
    assert reducer.step(store=store) == 0
    store.add_source("y")
    store.add_source("y")
    assert reducer.step(store) == 1
    assert reducer.watermark() == reducer.total_work() == store.node_count() == 4
    before = snapshot(store)
    reducer.finalize(store)
    assert snapshot(store) == before


def test_typical_request_through_the_reducer(store):
    reducer = cc.IncrementalReducer()
    x, y = identity_example(store)
    reducer.step(store)
    reduced, report = reducer.finalize(store, outputs=[y])
    assert reduced.nodes()[0]["kind"] == "source" and reduced.node_count() == 1
    assert reduced.outputs() == [0]
    assert reduced.node_map() == [(0, None), (0, None)]
    assert report["input_nodes"] == reducer.canonical_count()


@pytest.mark.thread_unsafe(reason="asserts exact ids and counts of the store fixture, which parallel threads share")
def test_finalize_consumes_the_rest_and_stays_usable(store):
    reducer = cc.IncrementalReducer()
    x, a, b = fusable(store)
    reducer.step(store)
    extra = store.add_op("exp", [b])
    reduced, report = reducer.finalize(store, outputs=[extra])
    assert reducer.watermark() == store.node_count() == 4
    assert len(reduced.node_map()) == 4
    assert report["input_nodes"] == reducer.canonical_count()
    assert report["reduced_nodes"] == report["stages"] + report["boundary_nodes"]
    store.add_op("log", [extra])
    again, _ = reducer.finalize(store, maximal_fusion=True, outputs=[4])
    assert reducer.total_work() == 5 and len(again.node_map()) == 5


def test_finalize_uses_the_stores_marks(store):
    x, a, b = fusable(store)
    marked = store.cone(outputs=[b])
    by_marks, _ = cc.IncrementalReducer().finalize(marked)
    explicit, _ = cc.IncrementalReducer().finalize(marked, outputs=[b])
    assert snapshot(by_marks) == snapshot(explicit)
    assert by_marks.outputs() == [1]
    ignored, _ = cc.IncrementalReducer().finalize(marked, outputs=[])
    assert ignored.node_count() == 0


@pytest.mark.thread_unsafe(reason="asserts exact ids and counts of the store fixture, which parallel threads share")
def test_bad_output_changes_nothing(store):
    reducer = cc.IncrementalReducer()
    chain(store, 1)
    reducer.step(store)
    store.add_source("late")
    with pytest.raises(ValueError, match="^no node with id 3$"):
        reducer.finalize(store, outputs=[0, 3])
    assert counters(reducer) == (2, 2, 2)


@pytest.mark.parametrize("call,error,message", [
    (lambda r, s: r.step(42), TypeError, "store"),
    (lambda r, s: r.step(), TypeError, "store"),
    (lambda r, s: r.step(s, s), TypeError, "positional"),
    (lambda r, s: r.step(store=s, other=1), TypeError, "other"),
    (lambda r, s: r.finalize(None), TypeError, "store"),
    (lambda r, s: r.finalize(s, True), TypeError, "positional"),
    (lambda r, s: r.finalize(s, maximal_fusion=1), TypeError, "maximal_fusion"),
    (lambda r, s: r.finalize(s, maximal_fusion=None), TypeError, "maximal_fusion"),
    (lambda r, s: r.finalize(42, maximal_fusion=1, outputs="x"), TypeError, "store"),
    (lambda r, s: r.finalize(s, maximal_fusion=1, outputs="x"), TypeError, "maximal_fusion"),
    (lambda r, s: r.finalize(s, outputs="0"), TypeError, "outputs"),
    (lambda r, s: r.finalize(s, outputs=[-1]), OverflowError, None),
    (lambda r, s: r.finalize(s, outputs=[1]), ValueError, "^no node with id 1$"),
    (lambda r, s: r.watermark(1), TypeError, None),
])
def test_argument_errors(store, call, error, message):
    reducer = cc.IncrementalReducer()
    store.add_source("x")
    with pytest.raises(error, match=message):
        call(reducer, store)
    assert counters(reducer) == (0, 0, 0)


OTHER_STORE = "^this reducer was fed another store; a reducer reads one store only$"


@pytest.mark.parametrize("call", [
    lambda r, s: r.step(s),
    lambda r, s: r.finalize(s),
    lambda r, s: r.finalize(s, maximal_fusion=True, outputs=[99]),  # refused before the ids are checked
])
@pytest.mark.parametrize("first", [lambda r, s: r.step(s), lambda r, s: r.finalize(s, outputs=[0])],
                         ids=["stepped", "finalized"])
def test_refuses_every_store_but_the_first_it_read(first, call):
    fed = cc.GraphStore()
    ids = chain(fed, 3)
    reducer = cc.IncrementalReducer()
    first(reducer, fed)
    before = counters(reducer)
    twin = copy.copy(fed)  # equal content, another store
    twin.add_source("more")
    with pytest.raises(ValueError, match=OTHER_STORE):
        call(reducer, twin)
    assert counters(reducer) == before
    final, _ = reducer.finalize(fed, outputs=[ids[-1]])
    assert final.nodes() == fed.reduce(outputs=[ids[-1]])[0].nodes()


def test_identity_of_a_freed_store_is_not_reused():
    reducer = cc.IncrementalReducer()
    fed = cc.GraphStore()
    fed.add_source("x")
    reducer.step(fed)
    address = id(fed)
    del fed
    # New stores often take the freed memory; none of them is the store the reducer read.
    for _ in range(20):
        newcomer = cc.GraphStore()
        newcomer.add_source("x")
        with pytest.raises(ValueError, match=OTHER_STORE):
            reducer.step(newcomer)
        if id(newcomer) == address:
            break


def test_a_failed_first_call_binds_nothing(store):
    reducer = cc.IncrementalReducer()
    with pytest.raises(ValueError, match="no node with id"):
        reducer.finalize(cc.GraphStore(), outputs=[0])
    store.add_source("x")
    assert reducer.step(store) == 1


@needs_numpy
def test_numpy_bool_flag(store):
    _, _, b = fusable(store)
    reduced, _ = cc.IncrementalReducer().finalize(store, maximal_fusion=NUMPY.True_, outputs=[b])
    assert reduced.node_count() >= 1


@settings(max_examples=40, deadline=None)
@given(random_plans(), random_plans())
def test_total_work_is_the_node_count(plan, cuts):
    store = cc.GraphStore()
    reducer = cc.IncrementalReducer()
    stops = {c[1] for c in cuts}
    ids: list[int] = []
    stepped = 0
    for i, step in enumerate(plan):
        build_random(store, [step], ids)
        if i in stops:
            stepped += reducer.step(store)
            assert reducer.total_work() == reducer.watermark() == store.node_count()
    stepped += reducer.step(store)
    assert stepped == reducer.total_work() == reducer.watermark() == store.node_count()
    reduced, report = reducer.finalize(store, outputs=[ids[-1]])
    assert report["input_nodes"] == reducer.canonical_count()
    assert len(reduced.node_map()) == store.node_count()


def test_threads_step_one_reducer_while_nodes_are_recorded():
    store = cc.GraphStore()
    reducer = cc.IncrementalReducer()
    base = store.add_source("x")
    done = threading.Event()
    consumed = []

    def stepper() -> None:
        total = 0
        while not done.is_set():
            total += reducer.step(store)
        consumed.append(total)

    threads = [threading.Thread(target=stepper) for _ in range(3)]
    for t in threads:
        t.start()
    for i in range(500):
        store.add_op("f", [base], {"i": i})
    done.set()
    for t in threads:
        t.join()
    consumed.append(reducer.step(store))
    assert sum(consumed) == reducer.total_work() == reducer.watermark() == store.node_count() == 501
