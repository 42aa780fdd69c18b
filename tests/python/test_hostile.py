"""Hostile input: random argument values and types thrown at every public callable.

Only TypeError, ValueError (UnicodeEncodeError included), OverflowError and the errors
of a hostile object's own methods, where the conversion rules let them through, may come
out; a failed call leaves the store and the reducer exactly as they were.
"""

from __future__ import annotations

import os
import types
from collections import OrderedDict
from decimal import Decimal
from fractions import Fraction
from typing import NamedTuple

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane_core as cc
from hostile import (DESCRIPTOR, ClearingIndex, CollidingKey, EqBoom, FloatOnly, HostileStr, Index,
                     IndexBoom, ItemBoom, IterBoom, KeyStr, LenBoom, LyingSeq, OddDict, OddList,
                     OddTuple, RaisingBool, RaisingFloat, RaisingIndex, RaisingIndexAndFloat,
                     RaisingItemSeq, RaisingLenSeq, Swallowed, WrongIndex, clearing_list,
                     sample_store, stage_with_token)

try:
    import numpy as np
except ImportError:  # the debug interpreter may lack a NumPy build
    np = None

# The sanitizer and debug-interpreter stages of the matrix run fewer examples.
EXAMPLES = int(os.environ.get("CORVANE_HOSTILE_EXAMPLES", "150"))

SAME_STORE, OTHER_STORE, DESCRIPTOR_OBJECT = object(), object(), object()

# Errors of the hostile objects' own methods that may propagate, per argument kind:
# reading a sequence of node ids (its iteration, length and items' __index__), and the
# direct lookups in a descriptor dict.
_SEQUENCE_ERRORS = (IndexBoom, LenBoom, ItemBoom, IterBoom)
PROPAGATES = {
    "ids": _SEQUENCE_ERRORS,
    "optional_ids": _SEQUENCE_ERRORS,
    "descriptor": (EqBoom,),
}

surrogates = st.builds(lambda a, c, b: a + chr(c) + b,
                       st.text(max_size=2), st.integers(0xD800, 0xDFFF), st.text(max_size=2))
strings = st.one_of(st.text(max_size=6), surrogates, st.builds(HostileStr, st.text(max_size=4)))

_singletons = [object(), Decimal("1.5"), Decimal("nan"), Fraction(1, 3), 1 + 2j, RaisingBool(), WrongIndex(),
               FloatOnly(2.5), cc.GraphStore, print, ..., NotImplemented, types.SimpleNamespace()]
if np is not None:
    _singletons += [np.int64(3), np.uint64(2**64 - 1), np.float32(0.5), np.bool_(True), np.array([0, 1])]

# Plain values of every other type; none of them runs code the module could call.
scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), strings,
                    st.binary(max_size=4), st.sampled_from(_singletons))

id_items = st.one_of(
    st.integers(0, 12),
    st.sampled_from([-1, 2**63, 2**64 - 1, 2**64, -(2**63), 2**200, True, False]),
    st.integers(),
    st.builds(Index, st.integers(-3, 2**64 + 3)),
    st.just(RaisingIndex()),
    st.just(WrongIndex()),
    scalars,
)
small_ids = st.lists(id_items, max_size=4)
id_sequences = st.one_of(
    small_ids,
    small_ids.map(tuple),
    st.lists(st.integers(0, 8), max_size=6),
    st.builds(LyingSeq, small_ids, st.integers(-3, 2**70)),
    st.builds(RaisingLenSeq, small_ids, st.just(0)),
    st.builds(RaisingItemSeq, st.lists(id_items, min_size=1, max_size=4), st.integers(0, 3)),
    st.builds(OddList, small_ids),
    st.builds(OddTuple, small_ids),
    st.lists(st.integers(0, 5), max_size=4).map(clearing_list),
    st.sampled_from([range(3), b"\x00\x01", bytearray(b"\x00"), memoryview(b"\x00"), "0", "",
                     {0, 1}, frozenset(), {0: 1}, (i for i in range(1)), iter([0]), OrderedDict()]),
    scalars,
)
optional_ids = st.one_of(st.none(), id_sequences)

param_keys = st.one_of(st.text(max_size=4), surrogates, st.integers(-3, 3), st.none(),
                       st.tuples(st.integers(0, 2)), st.floats(allow_nan=False))
param_values = st.one_of(scalars, st.builds(Index, st.integers()), st.builds(FloatOnly, st.floats()),
                         st.lists(st.integers(), max_size=2), st.just(RaisingIndex(Swallowed)),
                         st.just(RaisingFloat(Swallowed)), st.just(RaisingIndexAndFloat(Swallowed)))


def _with_key_str(d: dict, suffix: str) -> dict:
    d = dict(d)
    d[KeyStr("\x00key" + suffix)] = 1
    return d


param_dicts = st.dictionaries(param_keys, param_values, max_size=4)
params = st.one_of(
    st.none(),
    param_dicts,
    param_dicts.map(OddDict),
    param_dicts.map(OrderedDict),
    st.builds(_with_key_str, param_dicts, st.text(max_size=2)),
    param_dicts.map(types.MappingProxyType),
    st.lists(st.tuples(st.text(max_size=2), st.integers()), max_size=2),
    scalars,
)

FIELDS = ("kind", "content_hash", "framework", "version", "io_schema")


@st.composite
def descriptor_dicts(draw) -> object:
    d: dict = {}
    dropped = []
    for field in FIELDS:
        choice = draw(st.sampled_from(["keep", "keep", "drop", "replace"]))
        if choice == "keep":
            d[field] = DESCRIPTOR[field]
        elif choice == "replace":
            d[field] = draw(strings | scalars | st.builds(KeyStr, st.text(max_size=2)))
        else:
            dropped.append(field)
    ref = draw(st.sampled_from(["absent", "none", "str", "other"]))
    if ref == "none":
        d["preprocessing_ref"] = None
    elif ref == "str":
        d["preprocessing_ref"] = draw(strings)
    elif ref == "other":
        d["preprocessing_ref"] = draw(scalars)
    else:
        dropped.append("preprocessing_ref")
    if dropped and draw(st.booleans()):
        d[CollidingKey(draw(st.sampled_from(dropped)))] = 0
    if draw(st.booleans()):
        d[draw(st.text(max_size=3))] = draw(scalars)  # extra keys are ignored
    wrap = draw(st.sampled_from([dict, OddDict, OrderedDict, types.MappingProxyType]))
    return wrap(d)


descriptors = st.one_of(st.just(DESCRIPTOR_OBJECT), descriptor_dicts(), scalars)

flags = st.one_of(st.booleans(), st.sampled_from([0, 1, None, "True", RaisingBool()]), scalars)

VALID_BLOB = sample_store().serialize()


class BytesSub(bytes):
    pass


def _flip(blob: bytes, position: int, value: int) -> bytes:
    position %= len(blob)
    return blob[:position] + bytes([value]) + blob[position + 1:]


blobs = st.one_of(
    st.sampled_from([VALID_BLOB, BytesSub(VALID_BLOB), bytearray(VALID_BLOB), memoryview(VALID_BLOB),
                     stage_with_token(b"junk"), stage_with_token(b"op|f"), b"", b"CIR1", VALID_BLOB[:-1]]),
    st.builds(_flip, st.just(VALID_BLOB), st.integers(0, 10**6), st.integers(0, 255)),
    st.binary(max_size=40).map(lambda b: b"CIR1" + b),
    st.binary(max_size=40),
    scalars,
)

stores = st.one_of(st.sampled_from([SAME_STORE, OTHER_STORE, DESCRIPTOR_OBJECT]), scalars)

STRATEGIES = {
    "name": strings | scalars,
    "optional_name": st.none() | strings | scalars,
    "ids": id_sequences,
    "optional_ids": optional_ids,
    "params": params,
    "descriptor": descriptors,
    "flag": flags,
    "data": blobs,
    "store": stores,
}


class Param(NamedTuple):
    name: str
    kind: str
    keyword_only: bool = False
    required: bool = True


class Method(NamedTuple):
    owner: str  # store, reducer, class, static or module
    name: str
    params: tuple[Param, ...] = ()


def _params(*specs: Param) -> tuple[Param, ...]:
    return specs


OPTIONAL_PARAMS = Param("params", "params", required=False)
OUTPUTS_KW = Param("outputs", "optional_ids", keyword_only=True, required=False)
FLAG_KW = Param("maximal_fusion", "flag", keyword_only=True, required=False)

METHODS = [
    Method("store", "add_source", _params(Param("name", "name"), OPTIONAL_PARAMS)),
    Method("store", "add_op", _params(Param("name", "name"), Param("inputs", "ids"), OPTIONAL_PARAMS)),
    Method("store", "add_reduction", _params(Param("name", "name"), Param("inputs", "ids"), OPTIONAL_PARAMS)),
    Method("store", "add_external",
           _params(Param("descriptor", "descriptor"), Param("inputs", "ids"), OPTIONAL_PARAMS)),
    Method("store", "add_exchange", _params(Param("inputs", "ids"), OPTIONAL_PARAMS)),
    Method("store", "add_join", _params(Param("inputs", "ids"), OPTIONAL_PARAMS)),
    Method("store", "node_count"),
    Method("store", "to_dot"),
    Method("store", "serialize", _params(Param("outputs", "optional_ids", required=False))),
    Method("static", "deserialize", _params(Param("data", "data"))),
    Method("store", "nodes"),
    Method("store", "outputs"),
    Method("store", "node_map"),
    Method("store", "cone", _params(Param("outputs", "ids", keyword_only=True))),
    Method("store", "reduce", _params(FLAG_KW, OUTPUTS_KW)),
    Method("store", "reduce_incremental", _params(OUTPUTS_KW)),
    Method("store", "reduction_report", _params(OUTPUTS_KW)),
    Method("reducer", "step", _params(Param("store", "store"))),
    Method("reducer", "finalize", _params(Param("store", "store"), FLAG_KW, OUTPUTS_KW)),
    Method("reducer", "watermark"),
    Method("reducer", "total_work"),
    Method("reducer", "canonical_count"),
    Method("class", "GraphStore"),
    Method("class", "IncrementalReducer"),
    Method("class", "PayloadDescriptor",
           tuple(Param(f, "name", keyword_only=True) for f in FIELDS)
           + (Param("preprocessing_ref", "optional_name", keyword_only=True, required=False),)),
    Method("module", "version"),
]

EXTRA_KEYWORDS = ["bogus", "self", "", "name", "inputs", "outputs", "params", "store", "data",
                  "maximal_fusion", "descriptor"]


def observe(store: cc.GraphStore, reducer: cc.IncrementalReducer) -> tuple:
    """Everything Python can see of the store and the reducer (repr keeps NaN comparable)."""
    return (store.node_count(), store.outputs(), repr(store.nodes()), store.node_map(),
            reducer.watermark(), reducer.total_work(), reducer.canonical_count())


def check_consistent(store: cc.GraphStore) -> None:
    try:
        view = store.nodes()
    except ValueError as error:  # a stage member of a foreign blob that nodes() cannot read
        assert str(error).startswith("unparseable stage member token ")
        assert all(0 <= o < store.node_count() for o in store.outputs())
        return
    assert len(view) == store.node_count()
    for entry in view:
        assert all(0 <= i < entry["id"] for i in entry["inputs"])
    assert all(0 <= o < len(view) for o in store.outputs())


@pytest.mark.parametrize("method", METHODS, ids=[f"{m.owner}.{m.name}" for m in METHODS])
@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(data=st.data())
def test_only_documented_exceptions_and_no_change_on_failure(method: Method, data) -> None:
    store = sample_store()
    other = sample_store()
    other.add_source("other")
    reducer = cc.IncrementalReducer()
    reducer.step(store)
    descriptor = cc.PayloadDescriptor(**DESCRIPTOR)
    live = {id(SAME_STORE): store, id(OTHER_STORE): other, id(DESCRIPTOR_OBJECT): descriptor}

    def resolve(value):
        return live.get(id(value), value)

    args: list = []
    kwargs: dict = {}
    allowed: tuple = (TypeError, ValueError, OverflowError)
    for param in method.params:
        how = data.draw(st.sampled_from(["positional", "keyword", "keyword", "omit"]), label=param.name)
        if how == "omit":
            continue
        value = resolve(data.draw(STRATEGIES[param.kind], label=param.name))
        allowed += PROPAGATES.get(param.kind, ())
        if how == "positional":
            args.append(value)
        else:
            kwargs[param.name] = value
    if data.draw(st.integers(0, 9), label="extra positional") == 0:
        args.append(resolve(data.draw(scalars)))
    if data.draw(st.integers(0, 9), label="extra keyword") == 0:
        kwargs.setdefault(data.draw(st.sampled_from(EXTRA_KEYWORDS)), resolve(data.draw(scalars)))

    if method.owner == "store":
        target = getattr(store, method.name)
    elif method.owner == "reducer":
        target = getattr(reducer, method.name)
    elif method.owner == "static":
        target = getattr(data.draw(st.sampled_from([cc.GraphStore, store])), method.name)
    elif method.owner == "class":
        target = getattr(cc, method.name)
    else:
        target = getattr(cc, method.name)

    before = observe(store, reducer)
    try:
        result = target(*args, **kwargs)
    except Exception as error:  # an internal fault (a BaseException) fails the test as is
        assert isinstance(error, allowed), f"{type(error).__name__}: {error}"
        assert observe(store, reducer) == before
    else:
        if method.name.startswith("add_"):
            assert isinstance(result, int) and 0 <= result < store.node_count()
        elif isinstance(result, cc.GraphStore):
            check_consistent(result)
    check_consistent(store)


@pytest.mark.parametrize("make", [
    lambda s: s.add_op("f", LyingSeq([0, 1], claimed=10**9)),
    lambda s: s.add_op("f", LyingSeq([0, 1], claimed=0)),
    lambda s: s.add_op("f", LyingSeq([0, 1], claimed=-5)),
    lambda s: s.add_op("f", clearing_list([0, 1, 1])),
    lambda s: s.add_op("f", [ClearingIndex([], 1), Index(0)]),
])
def test_lying_and_mutating_sequences_are_read_as_iterated(make):
    """A length that lies, or an item that empties its list, never makes the module read
    past what the sequence yields or crash; what was yielded is recorded."""
    store = cc.GraphStore()
    store.add_source("x")
    store.add_source("y")
    node = make(store)
    assert store.nodes()[node]["inputs"] in ([0, 1], [0, 1, 1], [1, 0])


@pytest.mark.parametrize("params", [
    {"a": RaisingIndex(Swallowed)},
    {"a": RaisingFloat(Swallowed)},
    {"a": RaisingIndexAndFloat(Swallowed)},
    {"a": "\ud800"},
    {"a": 2**1024},
])
def test_failed_value_conversions_are_swallowed(params):
    store = cc.GraphStore()
    with pytest.raises(TypeError, match="param values must be int, float, bool, or str"):
        store.add_source("x", params)
    assert store.node_count() == 0


def test_dict_subclass_protocol_is_never_consulted():
    store = cc.GraphStore()
    a = store.add_source("x", OddDict({"k": 1}))
    b = store.add_external(OddDict(DESCRIPTOR), [a], OddDict({"z": True}))
    assert store.nodes()[a]["params"] == {"k": 1}
    assert store.nodes()[b]["descriptor"]["kind"] == "onnx"
    assert store.add_source(HostileStr("x"), {"k": 1}) == a


def test_descriptor_lookup_errors_propagate():
    broken = dict(DESCRIPTOR)
    del broken["framework"]
    broken[CollidingKey("framework")] = 1
    store = cc.GraphStore()
    with pytest.raises(EqBoom):
        store.add_external(broken, [])
    assert store.node_count() == 0
