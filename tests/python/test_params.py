"""Parameter dicts, PayloadDescriptor objects and descriptor dicts."""

from __future__ import annotations

import math
import types
from collections import OrderedDict
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, strategies as st

import corvane_core as cc
from conftest import DESCRIPTOR_FIELDS, numpy_param, snapshot


class Index:
    def __index__(self) -> int:
        return 5


class Floaty:
    def __float__(self) -> float:
        return 2.5


def stored(store, params):
    node = store.add_source("s", params)
    return store.nodes()[node]["params"]["k"]


@pytest.mark.parametrize("value,expected", [
    (True, True), (False, False), (1, 1), (0, 0), (-(2**63), -(2**63)), (2**63 - 1, 2**63 - 1),
    (2**63, 9223372036854775808.0), (-(2**63) - 1, -9223372036854775809.0), (2**1000, 2.0**1000),
    (1.0, 1.0), (-0.0, -0.0), (math.inf, math.inf), ("1", "1"), ("", ""), ("é\x00", "é\x00"),
    (Index(), 5), numpy_param(lambda np: (np.int64(7), 7), 2),
    numpy_param(lambda np: (np.uint64(2**64 - 1), 18446744073709551615.0), 2),
    numpy_param(lambda np: (np.float64(0.5), 0.5), 2), (Decimal("1.5"), 1.5), (Fraction(1, 4), 0.25), (Floaty(), 2.5),
    (type("S", (str,), {})("sub"), "sub"),
], ids=repr)
def test_value_conversions(store, value, expected):
    got = stored(store, {"k": value})
    assert type(got) is type(expected)
    assert got == expected
    if isinstance(expected, float):
        assert math.copysign(1.0, got) == math.copysign(1.0, expected)


@pytest.mark.parametrize("value", [None, [1], (1,), 2**1024, -(2**1024), "\ud800", b"x", 1j, object()],
                         ids=repr)
def test_refused_values(store, value):
    with pytest.raises(TypeError, match="^param values must be int, float, bool, or str$"):
        store.add_source("s", {"a": 1, "k": value})
    assert store.node_count() == 0


@pytest.mark.parametrize("params,error,message", [
    ([("k", 1)], TypeError, "^params must be a dict or None$"),
    (types.MappingProxyType({"k": 1}), TypeError, "^params must be a dict or None$"),
    ("k", TypeError, "^params must be a dict or None$"),
    ({1: 1}, TypeError, "str"),
    ({"\ud800": 1}, UnicodeEncodeError, None),
    ({"a": None, 2: 1}, TypeError, "^param values"),  # entries are converted in dict order
    ({2: 1, "a": None}, TypeError, "str, not int"),
])
def test_refused_params(store, params, error, message):
    with pytest.raises(error, match=message):
        store.add_source("s", params)
    assert store.node_count() == 0


def test_empty_and_absent_params_are_one_map(store):
    ids = {store.add_source("s"), store.add_source("s", None), store.add_source("s", {}),
           store.add_source("s", params=OrderedDict())}
    assert ids == {0}
    assert store.nodes()[0]["params"] == {}


def test_values_of_different_kinds_are_different_nodes(store):
    values = [1, 1.0, True, "1", 0.0, -0.0, 2**63]
    ids = [store.add_source("s", {"k": v}) for v in values]
    assert len(set(ids)) == len(values)
    assert store.add_source("s", {"k": 9223372036854775808.0}) == ids[-1]  # 2**63 is a Float


def test_every_nan_is_one_value(store):
    nan = float("nan")
    assert store.add_source("s", {"k": nan}) == store.add_source("s", {"k": -nan})
    assert math.isnan(store.nodes()[0]["params"]["k"])


def test_dict_subclasses_are_read_as_plain_dicts(store):
    class Sneaky(dict):
        def items(self):
            return [("k", 0)]

        def __iter__(self):
            return iter(["k"])

    assert store.add_source("s", Sneaky(b=2, a=1)) == store.add_source("s", {"a": 1, "b": 2})
    assert store.add_source("s", OrderedDict(a=1, b=2)) == 0


def test_value_hook_that_rewrites_the_dict_does_not_crash(store):
    class Rewriter:
        def __float__(self) -> float:
            params.clear()
            params.update({f"x{i}": i for i in range(64)})
            return 1.5

    params = {"a": 1, "m": Rewriter(), "z": "last"}
    node = store.add_source("s", params)
    assert store.nodes()[node]["params"] == {"a": 1, "m": 1.5, "z": "last"}


param_values = st.one_of(
    st.booleans(), st.integers(-(2**63), 2**63 - 1), st.floats(allow_nan=False), st.text())


@given(st.dictionaries(st.text(), param_values, max_size=8), st.randoms())
def test_params_round_trip_sorted_and_order_free(params, rnd):
    store = cc.GraphStore()
    node = store.add_source("s", params)
    items = list(params.items())
    rnd.shuffle(items)
    assert store.add_source("s", dict(items)) == node
    view = store.nodes()[node]["params"]
    assert list(view) == sorted(params, key=lambda k: k.encode())
    assert view == params
    assert all(type(view[k]) is type(v) for k, v in params.items())


# ---- PayloadDescriptor

def make(**overrides):
    fields = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    fields.update(overrides)
    return cc.PayloadDescriptor(**fields)


def test_descriptor_properties():
    d = make()
    assert (d.kind, d.content_hash, d.framework, d.version, d.io_schema) == ("k", "h", "f", "v", "s")
    assert d.preprocessing_ref is None
    assert make(preprocessing_ref=None).preprocessing_ref is None
    assert make(preprocessing_ref="").preprocessing_ref == ""
    assert make(kind=type("S", (str,), {})("sub")).kind == "sub"


@pytest.mark.parametrize("call,argument", [
    (lambda: cc.PayloadDescriptor("k", "h", "f", "v", "s"), "positional"),
    (lambda: cc.PayloadDescriptor(content_hash="h", framework="f", version="v", io_schema="s"), "kind"),
    (lambda: cc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v"), "io_schema"),
    (lambda: make(extra=1), "extra"),
    (lambda: make(kind=1, content_hash=2), "kind"),
    (lambda: make(framework=None), "framework"),
    (lambda: make(version=b"v"), "version"),
    (lambda: make(preprocessing_ref=1), "preprocessing_ref"),
    (lambda: cc.PayloadDescriptor.__new__(cc.PayloadDescriptor, io_schema=1), "kind"),
])
def test_descriptor_constructor_errors(call, argument):
    with pytest.raises(TypeError, match=argument):
        call()


@pytest.mark.parametrize("field", [*DESCRIPTOR_FIELDS, "preprocessing_ref", "other"])
def test_descriptor_is_immutable(field):
    d = make()
    with pytest.raises(AttributeError):
        setattr(d, field, "x")
    assert d.kind == "k"


def test_descriptor_identity_is_its_record(store, descriptor_dict):
    x = store.add_source("x")
    a, b = make(), make()
    assert a != b  # identity-based equality
    node = store.add_external(a, [x])
    assert store.add_external(b, [x]) == node
    assert store.add_external(dict(kind="k", content_hash="h", framework="f", version="v",
                                   io_schema="s", extra=1), [x]) == node
    assert store.add_external({**store.nodes()[node]["descriptor"]}, [x]) == node
    assert store.add_external(make(preprocessing_ref=""), [x]) != node
    with_ref = store.add_external(make(preprocessing_ref="p"), [x])
    assert store.nodes()[with_ref]["descriptor"]["preprocessing_ref"] == "p"
    del a, b
    assert store.nodes()[node]["descriptor"]["kind"] == "k"


@pytest.mark.thread_unsafe(reason="edits the descriptor_dict fixture, which parallel threads share")
@pytest.mark.parametrize("change,error,message", [
    ({"kind": None}, TypeError, "kind"),
    ({"io_schema": 1}, TypeError, "io_schema"),
    ({"preprocessing_ref": 1}, TypeError, "preprocessing_ref"),
    ({"preprocessing_ref": 1, "kind": ...}, TypeError, "preprocessing_ref"),
    ({"kind": ..., "version": ...}, ValueError, "^descriptor missing required field 'kind'$"),
    ({"framework": ...}, ValueError, "^descriptor missing required field 'framework'$"),
    ({"io_schema": ..., "content_hash": 5}, TypeError, "content_hash"),
    ({"kind": "\ud800"}, UnicodeEncodeError, None),
])
def test_descriptor_dict_errors(store, descriptor_dict, change, error, message):
    x = store.add_source("x")
    for key, value in change.items():
        if value is ...:
            descriptor_dict.pop(key)
        else:
            descriptor_dict[key] = value
    before = snapshot(store)
    with pytest.raises(error, match=message):
        store.add_external(descriptor_dict, [x])
    assert snapshot(store) == before


def test_descriptor_dict_forms(store, descriptor_dict):
    x = store.add_source("x")
    node = store.add_external(descriptor_dict, [x])
    assert store.add_external({**descriptor_dict, "preprocessing_ref": None}, [x]) == node

    class Defaulting(dict):
        def __missing__(self, key):
            return "default"

        def __getitem__(self, key):
            return "overridden"

    with pytest.raises(ValueError, match="'kind'"):
        store.add_external(Defaulting(), [x])
    assert store.add_external(Defaulting(descriptor_dict), [x]) == node


def test_descriptor_dict_lookup_errors_propagate(store, descriptor_dict):
    class Clash:
        def __hash__(self) -> int:
            return hash("preprocessing_ref")

        def __eq__(self, other) -> bool:
            raise RuntimeError("compare")

    with pytest.raises(RuntimeError, match="compare"):
        store.add_external({Clash(): 1, **descriptor_dict}, [])
