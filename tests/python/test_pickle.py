"""Pickling and copying: a store travels as its canonical blob plus its node map, a
descriptor by its fields, and a reducer refuses."""

from __future__ import annotations

import concurrent.futures
import copy
import operator
import pickle

import pytest

import corvane_core as cc
from conftest import fusable, identity_example

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def descriptor(**extra: str) -> cc.PayloadDescriptor:
    return cc.PayloadDescriptor(kind="onnx", content_hash="sha256:ab", framework="torch", version="2.1",
                                io_schema="f32[n]", **extra)


def stores() -> dict[str, cc.GraphStore]:
    plain = cc.GraphStore()
    x, a, b = fusable(plain)
    e = plain.add_external(descriptor(preprocessing_ref="r"), [b], {"batch": 8})
    j = plain.add_join([plain.add_exchange([e], {"scheme": "hash"}), x])
    r = plain.add_reduction("sum", [j], {"axis": -1, "scale": -0.0, "tag": "\u00e9"})
    plain.add_op("mul", [a, a], {"scalar": float("inf"), "flag": True})
    merged = cc.GraphStore()
    _, y = identity_example(merged)
    return {
        "empty": cc.GraphStore(),
        "recorded": plain,
        "marked by a round trip": cc.GraphStore.deserialize(plain.serialize(outputs=[r, x])),
        "reduced": plain.reduce(outputs=[r])[0],
        "reduced, identity merged": merged.reduce(outputs=[y])[0],
        "cone": plain.cone(outputs=[a, e]),
    }


STORES = stores()


def observed(s: cc.GraphStore) -> tuple:
    return s.nodes(), s.outputs(), s.node_map(), s.node_count(), s.serialize()


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", STORES)
def test_store_round_trips_through_pickle(name: str, protocol: int) -> None:
    original = STORES[name]
    restored = pickle.loads(pickle.dumps(original, protocol))
    assert type(restored) is cc.GraphStore and restored is not original
    assert observed(restored) == observed(original)


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy, lambda s: pickle.loads(pickle.dumps(s))],
                         ids=["copy", "deepcopy", "pickle"])
@pytest.mark.parametrize("name", ["recorded", "reduced"])
def test_copies_are_independent_working_stores(name: str, copier) -> None:
    original = copier(STORES[name])  # a private original, so that parallel runs do not share it
    before = observed(original)
    twin = copier(original)
    assert observed(twin) == before
    # The copy hash-conses against its own nodes: an existing node keeps its id.
    first = twin.nodes()[0]
    assert twin.add_source(first["name"], first["params"]) == 0
    added = twin.add_source("only in the copy")
    assert added == twin.node_count() - 1 == original.node_count()
    assert observed(original) == before
    assert twin.reduce()[0].nodes() == original.reduce()[0].nodes()


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("extra", [{}, {"preprocessing_ref": "norm-v2"}], ids=["no ref", "ref"])
def test_descriptor_pickles_and_copies_by_fields(extra: dict, protocol: int) -> None:
    original = descriptor(**extra)
    fields = ("kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref")
    for twin in (pickle.loads(pickle.dumps(original, protocol)), copy.copy(original), copy.deepcopy(original)):
        assert type(twin) is cc.PayloadDescriptor
        assert [getattr(twin, f) for f in fields] == [getattr(original, f) for f in fields]
    # A copy is the same descriptor to a store: the External node is found again.
    s = cc.GraphStore()
    node = s.add_external(original, [])
    assert s.add_external(pickle.loads(pickle.dumps(original, protocol)), []) == node


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy, pickle.dumps])
def test_reducer_refuses_pickle_and_copy(store, copier) -> None:
    reducer = cc.IncrementalReducer()
    store.add_source("x")
    reducer.step(store)
    with pytest.raises(TypeError, match="^cannot pickle or copy an IncrementalReducer: its state belongs"):
        copier(reducer)
    assert reducer.watermark() == 1


VALID = STORES["reduced"].serialize()
VALID_MAP = STORES["reduced"].node_map()


@pytest.mark.parametrize("data,node_map,error,message", [
    (bytearray(VALID), VALID_MAP, TypeError, "argument 'data' must be bytes, not bytearray"),
    (VALID, tuple(VALID_MAP), TypeError, "argument 'node_map' must be a list of None"),
    (VALID, [(0,)], TypeError, "argument 'node_map' must be a list of None"),
    (VALID, [[0, None]], TypeError, "argument 'node_map' must be a list of None"),
    (VALID, [(0, "0")], TypeError, "argument 'node_map' must be a list of None"),
    (VALID, [(True, None)], TypeError, "argument 'node_map' must be a list of None"),
    (VALID, [(1, False)], TypeError, "argument 'node_map' must be a list of None"),
    (VALID, [(-1, None)], ValueError, "node map does not fit the pickled store"),
    (VALID, [(1, 2**64)], ValueError, "node map does not fit the pickled store"),
    (VALID[:-1], VALID_MAP, ValueError, "truncated corvane IR blob"),
    (VALID, [(99, None)], ValueError, "node map does not fit the pickled store"),
    (VALID, [(0, 0)], ValueError, "node map does not fit the pickled store"),  # member of a source
    (VALID, [(1, 2)], ValueError, "node map does not fit the pickled store"),  # a 2-member stage
])
def test_damaged_payload_raises_and_builds_nothing(data, node_map, error, message) -> None:
    with pytest.raises(error, match=message):
        cc.GraphStore._restore(data, node_map)


def test_payload_of_the_documented_form() -> None:
    restored = cc.GraphStore._restore(VALID, VALID_MAP)
    assert observed(restored) == observed(STORES["reduced"])
    assert cc.GraphStore._restore(VALID, [None, (1, 1), (0, None)]).node_map() == [None, (1, 1), (0, None)]


@pytest.mark.thread_unsafe(reason="starts worker processes")
def test_store_reduced_in_a_worker_process() -> None:
    s = cc.GraphStore()
    x, a, b = fusable(s)
    y = s.add_op("add", [b], {"scalar": 0.0, "side": "r"})
    reduce_it = operator.methodcaller("reduce", outputs=[y, a])
    with concurrent.futures.ProcessPoolExecutor(max_workers=1) as pool:
        remote, remote_report = pool.submit(reduce_it, s).result(timeout=120)
        resent = pool.submit(copy.copy, remote).result(timeout=120)
    local, local_report = reduce_it(s)
    assert remote_report == local_report
    assert observed(remote) == observed(local) == observed(resent)
