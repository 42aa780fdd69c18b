"""The same node given in different argument forms is one node.

Common forms (exact str keys, exact int/float/bool/str values, lists or tuples of exact
ints) are converted directly; every other form goes through the general conversion.
Both must agree on the node they name."""

from __future__ import annotations

from collections import OrderedDict

import pytest

import corvane_core as cc
from conftest import numpy_param


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class Index:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


LONG = "x" * 300
MANY = {f"p{i}": i for i in range(9)}

# (common form, general form) of the same params.
PARAM_PAIRS = [
    ({"k": 1}, {"k": IntSub(1)}),
    ({"k": 1}, {StrSub("k"): 1}),
    ({"k": "v"}, {"k": StrSub("v")}),
    ({"k": 1.5}, {"k": FloatSub(1.5)}),
    ({"k": 5}, {"k": Index(5)}),
    numpy_param(lambda np: ({"k": 7}, {"k": np.int64(7)}), 2),
    ({"k": float(2**63)}, {"k": 2**63}),
    ({"k": -1}, {"k": IntSub(-1)}),
    ({"é": "ü"}, {StrSub("é"): StrSub("ü")}),
    ({"k": LONG}, {"k": StrSub(LONG)}),
    ({"a": LONG[:200], "b": LONG[:200]}, {"a": StrSub(LONG[:200]), "b": LONG[:200]}),
    ({"side": "r", "k": 3, "flag": True}, OrderedDict([("flag", True), ("k", IntSub(3)), ("side", "r")])),
    (MANY, dict(reversed(list(MANY.items())))),
    ({}, None),
]


def record(store: cc.GraphStore, kind: str, params, inputs) -> int:
    if kind == "source":
        return store.add_source("s", params)
    if kind == "op":
        return store.add_op("f", inputs, params)
    if kind == "reduction":
        return store.add_reduction("f", inputs, params)
    if kind == "exchange":
        return store.add_exchange(inputs, params)
    return store.add_join(inputs, params)


@pytest.mark.parametrize("kind", ["source", "op", "reduction", "exchange", "join"])
@pytest.mark.parametrize("common,general", PARAM_PAIRS, ids=repr)
@pytest.mark.parametrize("general_first", [False, True])
def test_param_forms_name_one_node(kind, common, general, general_first):
    store = cc.GraphStore()
    x = store.add_source("x")
    y = store.add_source("y")
    forms = [general, common] if general_first else [common, general]
    first = record(store, kind, forms[0], [x, y] if kind != "source" else None)
    count = store.node_count()
    assert record(store, kind, forms[1], [x, y] if kind != "source" else None) == first
    assert record(store, kind, forms[0], [x, y] if kind != "source" else None) == first
    assert store.node_count() == count


@pytest.mark.parametrize("inputs", [
    lambda x, y: (x, y),
    lambda x, y: [Index(x), y],
    lambda x, y: (x, IntSub(y)),
    numpy_param(lambda np: lambda x, y: np.array([x, y], dtype=np.uint64)),
    lambda x, y: range(x, y + 1),
], ids=["tuple", "list with __index__", "tuple with int subclass", "numpy array", "range"])
def test_input_forms_name_one_node(inputs):
    store = cc.GraphStore()
    x = store.add_source("x")
    y = store.add_source("y")
    first = store.add_op("f", [x, y], {"k": 1})
    assert store.add_op("f", inputs(x, y), {"k": 1}) == first
    assert store.node_count() == 3


def test_many_inputs_and_entries_round_trip():
    store = cc.GraphStore()
    ids = [store.add_source(f"s{i}") for i in range(20)]
    params = {f"key{i:02}": (i if i % 3 else f"v{i}") for i in range(20)}
    node = store.add_op("wide", ids, params)
    assert store.add_op("wide", tuple(ids), dict(reversed(list(params.items())))) == node
    view = store.nodes()[node]
    assert view["inputs"] == ids
    assert view["params"] == params
    assert list(view["params"]) == sorted(params)


@pytest.mark.parametrize("bad_inputs,error", [
    ([0, -1], OverflowError),
    ((0, 2**64), OverflowError),
    ([0, 99], ValueError),
])
def test_refused_inputs_leave_store_unchanged(bad_inputs, error):
    store = cc.GraphStore()
    store.add_source("x")
    with pytest.raises(error):
        store.add_op("f", bad_inputs, {"k": "v"})
    assert store.node_count() == 1


@pytest.mark.parametrize("call", [
    lambda s, x: s.add_op("f", [x], {"k": 1}),
    lambda s, x: s.add_op("f", [x], params={"k": 1}),
    lambda s, x: s.add_op("f", inputs=[x], params={"k": 1}),
    lambda s, x: s.add_op(params={"k": 1}, inputs=[x], name="f"),
], ids=["positional", "params by keyword", "inputs by keyword", "all by keyword"])
def test_argument_forms_name_one_node(call):
    store = cc.GraphStore()
    x = store.add_source("x")
    first = store.add_op("f", [x], {"k": 1})
    assert call(store, x) == first
    assert store.add_op("f", [x]) == store.add_op("f", [x], None) == store.add_op("f", [x], {}) != first


@pytest.mark.parametrize("call,message", [
    (lambda s: s.add_op("f"), r"^add_op\(\) missing required argument 'inputs' \(pos 2\)$"),
    (lambda s: s.add_op("f", [0], None, None), r"^add_op\(\) takes at most 3 positional arguments \(4 given\)$"),
    (lambda s: s.add_exchange(), r"^add_exchange\(\) missing required argument 'inputs' \(pos 1\)$"),
    (lambda s: s.cone(), r"^cone\(\) missing required keyword-only argument 'outputs'$"),
    (lambda s: s.cone([0]), r"^cone\(\) takes no positional arguments$"),
    (lambda s: s.reduce(True), r"^reduce\(\) takes no positional arguments$"),
])
def test_positional_binding_errors(call, message):
    store = cc.GraphStore()
    store.add_source("x")
    with pytest.raises(TypeError, match=message):
        call(store)
    assert store.node_count() == 1
