"""serialize() and deserialize(): argument rules, exact bytes, the reader's messages."""

from __future__ import annotations

import pytest
from hypothesis import given, settings

import corvane_core as cc
from conftest import blob, build_random, random_plans, snapshot, text, u32, u64


SOURCE_X = b"\x00" + text(b"x") + u32(0)


def op(name: bytes, inputs: tuple[int, ...], params: bytes = u32(0)) -> bytes:
    return b"\x01" + text(name) + params + u32(len(inputs)) + b"".join(map(u64, inputs))


def stage(inputs: tuple[int, ...], *members: bytes) -> bytes:
    return b"\x04" + u32(len(inputs)) + b"".join(map(u64, inputs)) + u32(len(members)) + b"".join(members)


def member(token: bytes, *refs: tuple[int, int]) -> bytes:
    return text(token) + u32(len(refs)) + b"".join(bytes([tag]) + u32(i) for tag, i in refs)


def test_empty_store_round_trip(store):
    assert store.serialize() == b"CIR1" + bytes(8)
    again = cc.GraphStore.deserialize(b"CIR1" + bytes(8))
    assert snapshot(again) == ([], [], [], 0)


def test_exact_bytes(store):
    x = store.add_source("x")
    store.add_op("neg", [x], {"k": 3})
    expected = blob(SOURCE_X, op(b"neg", (0,), u32(1) + text(b"k") + b"\x00" + u64(3)), outputs=(1,))
    assert len(expected) == 68
    marked = store.cone(outputs=[1])
    assert marked.serialize() == expected
    assert store.serialize(outputs=[1]) == expected
    assert store.serialize([1]) == expected
    assert marked.serialize(outputs=None) == expected
    rebuilt = cc.GraphStore.deserialize(expected)
    assert rebuilt.nodes() == marked.nodes()
    assert rebuilt.outputs() == [1] and rebuilt.node_map() == []


def test_explicit_outputs_are_written_exactly(store):
    x = store.add_source("x")
    y = store.add_op("neg", [x])
    marked = store.cone(outputs=[y])
    twice = marked.serialize(outputs=[x, x])
    assert twice.endswith(u32(2) + u64(0) + u64(0))
    rebuilt = cc.GraphStore.deserialize(twice)
    assert rebuilt.outputs() == [0]
    assert len(rebuilt.serialize()) < len(twice)
    assert marked.serialize(outputs=[]).endswith(u32(0))
    assert marked.outputs() == [y]


@pytest.mark.parametrize("args,kwargs,error,message", [
    (([2],), {}, ValueError, "^no node with id 2$"),
    ((), {"outputs": [0, 5, 6]}, ValueError, "^no node with id 5$"),
    ((), {"outputs": "0"}, TypeError, "outputs"),
    ((), {"outputs": {0}}, TypeError, "outputs"),
    ((), {"outputs": [-1]}, OverflowError, None),
    ((), {"outputs": [1.0]}, TypeError, "outputs"),
    (([0], None), {}, TypeError, "positional"),
    ((), {"marks": [0]}, TypeError, "marks"),
])
def test_serialize_errors(store, args, kwargs, error, message):
    store.add_op("f", [store.add_source("x")])
    with pytest.raises(error, match=message):
        store.serialize(*args, **kwargs)


@pytest.mark.parametrize("data,message", [
    (b"", "truncated corvane IR blob"),
    (b"CIR", "truncated corvane IR blob"),
    (b"CIR1", "truncated corvane IR blob"),
    (b"CIR1\x00\x00\x00", "truncated corvane IR blob"),
    (b"CIR2" + bytes(8), "not a corvane IR blob (bad magic/version)"),
    (b"XXXX", "not a corvane IR blob (bad magic/version)"),
    (blob(SOURCE_X, count=2), "truncated corvane IR blob"),
    (blob(b"\x07"), "invalid node tag 7"),
    (blob(b"\x00" + text(b"x") + u32(1) + text(b"k") + b"\x04" + u64(0)), "invalid param tag 4"),
    (blob(SOURCE_X, stage((0,), member(b"op|neg", (2, 0)))), "invalid stage-ref tag 2"),
    (blob(op(b"neg", (0,))), "node reference 0 out of range"),
    (blob(SOURCE_X, outputs=(1,)), "node reference 1 out of range"),
    (blob(SOURCE_X, stage((0,), member(b"op|neg", (1, 0)))), "node reference 0 out of range"),
    (blob(b"\x00" + text(b"\xff") + u32(0)), "invalid utf-8 in corvane IR blob"),
])
def test_deserialize_messages(data, message):
    with pytest.raises(ValueError) as raised:
        cc.GraphStore.deserialize(data)
    assert str(raised.value) == message


@pytest.mark.parametrize("data", [bytearray(b"CIR1" + bytes(8)), memoryview(b"CIR1" + bytes(8)), "CIR1", None])
def test_deserialize_wants_bytes(data):
    with pytest.raises(TypeError, match="data"):
        cc.GraphStore.deserialize(data)


def test_deserialize_calling_forms(store):
    empty = b"CIR1" + bytes(8)
    assert cc.GraphStore.deserialize(data=empty).node_count() == 0
    assert store.deserialize(empty).node_count() == 0
    assert cc.GraphStore.deserialize(type("B", (bytes,), {})(empty)).node_count() == 0
    with pytest.raises(TypeError):
        cc.GraphStore.deserialize()
    with pytest.raises(TypeError):
        cc.GraphStore.deserialize(empty, empty)


def test_reader_details():
    unsorted = u32(2) + text(b"b") + b"\x02\x01" + text(b"a") + b"\x02\x00"
    store = cc.GraphStore.deserialize(blob(b"\x00" + text(b"x") + unsorted) + b"trailing")
    assert list(store.nodes()[0]["params"].items()) == [("a", False), ("b", True)]
    assert store.serialize() == blob(b"\x00" + text(b"x") + u32(2) + text(b"a") + b"\x02\x00"
                                     + text(b"b") + b"\x02\x01")
    duplicated = cc.GraphStore.deserialize(blob(SOURCE_X, SOURCE_X, op(b"f", (0,))))
    assert duplicated.node_count() == 2  # the repeated record interns onto node 0


def test_reduced_store_loses_its_node_map_in_a_blob(store):
    x = store.add_source("x")
    reduced, _ = store.reduce(outputs=[store.add_op("neg", [x])])
    rebuilt = cc.GraphStore.deserialize(reduced.serialize())
    assert rebuilt.nodes() == reduced.nodes() and rebuilt.outputs() == reduced.outputs()
    assert reduced.node_map() != [] and rebuilt.node_map() == []


@settings(max_examples=60, deadline=None)
@given(random_plans(), random_plans())
def test_round_trip(plan, picks):
    store = cc.GraphStore()
    ids = build_random(store, plan)
    outputs = list(dict.fromkeys(ids[p[1] % len(ids)] for p in picks))
    data = store.serialize(outputs=outputs)
    rebuilt = cc.GraphStore.deserialize(data)
    assert [n | {"output": False} for n in rebuilt.nodes()] == store.nodes()
    assert rebuilt.outputs() == outputs
    assert rebuilt.serialize() == data
