"""reduce, reduction_report, reduce_incremental and explain: arguments, results, the report
dict, and the explanation of each node's landing."""

from __future__ import annotations

import collections
import importlib
import pathlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane_core as cc
from conftest import build_random, chain, fusable, identity_example, numpy_param, random_plans, snapshot

REPORT_KEYS = {"input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
               "boundary_nodes"}


def check_report(report: dict) -> None:
    assert set(report) == REPORT_KEYS
    assert all(type(v) is int and v >= 0 for v in report.values())
    assert report["reduced_nodes"] == report["stages"] + report["boundary_nodes"]


def test_typical_request(store):
    x, y = identity_example(store)
    reduced, report = store.reduce(outputs=[y])
    assert type(reduced) is cc.GraphStore
    assert reduced.node_count() == 1
    assert reduced.nodes()[0]["kind"] == "source"
    assert reduced.outputs() == [0]
    assert reduced.node_map() == [(0, None), (0, None)]
    assert report == {"input_nodes": 2, "reachable_nodes": 2, "canonical_nodes": 1, "stages": 0,
                      "reduced_nodes": 1, "boundary_nodes": 1}
    blob = reduced.serialize()
    assert cc.GraphStore.deserialize(blob).serialize() == blob


def test_no_marks_gives_an_empty_reduction(store):
    chain(store, 3)
    reduced, report = store.reduce()
    assert snapshot(reduced) == ([], [], [None] * 4, 0)
    assert report == dict.fromkeys(REPORT_KEYS, 0) | {"input_nodes": 4}


def test_marks_versus_explicit_outputs(store):
    x, a, b = fusable(store)
    marked = store.cone(outputs=[b, x])
    by_marks, report = marked.reduce()
    assert by_marks.outputs() == [1, 0]
    check_report(report)
    empty, _ = marked.reduce(outputs=[])
    assert empty.node_count() == 0 and empty.outputs() == []
    only_x, _ = marked.reduce(outputs=(x,))
    assert only_x.outputs() == [0] and only_x.node_count() == 1


def test_source_store_is_unchanged(store):
    fusable(store)
    before = snapshot(store)
    store.reduce(outputs=[2])
    store.reduce(maximal_fusion=True, outputs=[2, 1])
    store.reduction_report(outputs=[0])
    store.reduce_incremental()
    assert snapshot(store) == before
    reduced, _ = store.reduce(outputs=[2])
    again_before = snapshot(reduced)
    reduced.reduce(outputs=[1])
    assert snapshot(reduced) == again_before


@pytest.mark.parametrize("method", ["reduce", "reduction_report", "reduce_incremental", "explain"])
@pytest.mark.parametrize("args,kwargs,error,message", [
    ((), {"outputs": [3]}, ValueError, "^no node with id 3$"),
    ((), {"outputs": [0, 99, 100]}, ValueError, "^no node with id 99$"),
    ((), {"outputs": "0"}, TypeError, "outputs"),
    ((), {"outputs": 0}, TypeError, "outputs"),
    ((), {"outputs": iter([0])}, TypeError, "outputs"),
    ((), {"outputs": [0.5]}, TypeError, "outputs"),
    ((), {"outputs": [-1]}, OverflowError, None),
    ((), {"outputs": [2**64]}, OverflowError, None),
    (([0],), {}, TypeError, "positional"),
    ((), {"output": [0]}, TypeError, "output"),
])
def test_argument_errors(store, method, args, kwargs, error, message):
    chain(store, 2)
    with pytest.raises(error, match=message):
        getattr(store, method)(*args, **kwargs)


OUTPUT_READERS = {
    "reduce": lambda s, ids: s.reduce(outputs=ids),
    "reduction_report": lambda s, ids: s.reduction_report(outputs=ids),
    "reduce_incremental": lambda s, ids: s.reduce_incremental(outputs=ids),
    "explain": lambda s, ids: s.explain(outputs=ids),
    "cone": lambda s, ids: s.cone(outputs=ids),
    "serialize": lambda s, ids: s.serialize(ids),
    "finalize": lambda s, ids: cc.IncrementalReducer().finalize(s, outputs=ids),
}


@pytest.mark.parametrize("call", OUTPUT_READERS.values(), ids=OUTPUT_READERS.keys())
def test_outputs_are_checked_as_they_are_read(store, call):
    # A virtual sequence far longer than the store fails at its first bad id instead of
    # being copied whole; a list is still converted whole before its ids are checked.
    chain(store, 2)
    with pytest.raises(ValueError, match="^no node with id 3$"):
        call(store, range(10**18))
    with pytest.raises(OverflowError):
        call(store, [99, -1])
    call(store, collections.UserList([2, 0, 2]))  # repetitions stay allowed


@pytest.mark.parametrize("method", ["reduce", "explain"])
@pytest.mark.parametrize("flag", [1, 0, None, "yes", numpy_param(lambda np: np.int64(1)), [True]], ids=repr)
def test_maximal_fusion_must_be_a_bool(store, method, flag):
    chain(store, 1)
    with pytest.raises(TypeError, match="maximal_fusion"):
        getattr(store, method)(maximal_fusion=flag)


@pytest.mark.parametrize("flag", [True, False, numpy_param(lambda np: np.True_), numpy_param(lambda np: np.False_)], ids=repr)
def test_maximal_fusion_accepts_bools_and_numpy_bools(store, flag):
    _, a, b = fusable(store)
    reduced, report = store.reduce(maximal_fusion=flag, outputs=[b])
    check_report(report)


def test_maximal_fusion_is_checked_before_outputs(store):
    with pytest.raises(TypeError, match="maximal_fusion"):
        store.reduce(maximal_fusion=None, outputs="0")


def test_maximal_fusion_changes_fan_out_fusion(store):
    x = store.add_source("x")
    a = store.add_op("neg", [x])
    b = store.add_op("exp", [a])
    c = store.add_op("log", [a])
    top = store.add_op("add", [b, c])
    single = store.reduce(outputs=[top])[1]
    maximal = store.reduce(maximal_fusion=True, outputs=[top])[1]
    check_report(single)
    check_report(maximal)
    assert maximal["reduced_nodes"] <= single["reduced_nodes"]


@settings(max_examples=40, deadline=None)
@given(random_plans(), random_plans())
def test_three_methods_agree(plan, picks):
    store = cc.GraphStore()
    ids = build_random(store, plan)
    outputs = [ids[p[1] % len(ids)] for p in picks]
    reduced, report = store.reduce(outputs=outputs)
    incremental, incremental_report = store.reduce_incremental(outputs=outputs)
    check_report(report)
    assert snapshot(reduced) == snapshot(incremental)
    assert report == incremental_report == store.reduction_report(outputs=outputs)
    assert report["input_nodes"] == store.node_count() == len(reduced.node_map())
    assert reduced.outputs() == list(dict.fromkeys(reduced.node_map()[o][0] for o in outputs))


def test_explain_names_the_rules_of_each_merge(monkeypatch):
    # The guide's example, as the demo draws it: x, y, a = x*y, b = y*x, neg(a), neg(b),
    # z = x + 0.0, their join (the output) and a log of neg(b) nobody asked for.
    monkeypatch.syspath_prepend(str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
    store = importlib.import_module("demo").explained_example()
    x, a, neg_a = 0, 2, 4
    assert [(e["landing"], e["equals"], e["rules"]) for e in store.explain()] == [
        ((0, None), None, []), ((1, None), None, []), ((2, 0), None, []), ((2, 0), a, ["commute-mul"]),
        ((3, 0), None, []), ((3, 0), neg_a, ["commute-mul", "congruence"]), ((0, None), x, ["identity-0"]),
        ((4, None), None, []), (None, None, [])]


RULE_NAMES = {f"commute-{op}" for op in ("add", "mul", "and", "or", "eq", "ne", "maximum", "minimum")} | {
    f"identity-{i}" for i in range(4)} | {"congruence"}


@settings(max_examples=40, deadline=None)
@given(random_plans(), random_plans(), st.booleans())
def test_explain_agrees_with_reduce(plan, picks, maximal_fusion):
    store = cc.GraphStore()
    ids = build_random(store, plan)
    outputs = [ids[p[1] % len(ids)] for p in picks]
    explained = store.explain(maximal_fusion=maximal_fusion, outputs=outputs)
    node_map = store.reduce(maximal_fusion=maximal_fusion, outputs=outputs)[0].node_map()
    assert [e["landing"] for e in explained] == node_map
    first: dict[object, int] = {}
    for i, (entry, landing) in enumerate(zip(explained, node_map)):
        equals = first.setdefault(landing, i) if landing is not None else i
        assert entry["equals"] == (None if equals == i else equals)
        rules = entry["rules"]
        assert rules == sorted(rules) and set(rules) <= RULE_NAMES and len(set(rules)) == len(rules)
        assert bool(rules) == (entry["equals"] is not None)  # the store never holds two equal nodes
