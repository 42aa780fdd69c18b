"""The inspection methods: nodes(), node_map(), cone() and to_dot()."""

from __future__ import annotations

import struct

import pytest
from hypothesis import given, settings

import corvane_core as cc
from conftest import build_random, chain, fusable, random_plans, snapshot

COMMON = ["id", "output", "inputs", "kind", "name", "params"]


def test_empty_store(store):
    assert store.nodes() == []
    assert store.node_map() == []
    assert store.to_dot() == "digraph corvane {\n}\n"
    empty = store.cone(outputs=[])
    assert snapshot(empty) == ([], [], [], 0)


def test_views_of_every_kind(store, descriptor_dict):
    x = store.add_source("x", {"b": 1, "a": "z"})
    op = store.add_op("neg", [x])
    red = store.add_reduction("sum", [op], {"axis": 0})
    ext = store.add_external(descriptor_dict, [x, red], {"k": True})
    exch = store.add_exchange([ext], {"scheme": "hash"})
    join = store.add_join([exch, exch])
    views = store.nodes()
    assert [list(v) for v in views] == [COMMON] * 3 + [COMMON + ["descriptor"]] + [COMMON] * 2
    assert views[x] == {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "x",
                        "params": {"a": "z", "b": 1}}
    assert list(views[x]["params"]) == ["a", "b"]
    assert views[red]["kind"] == "reduction" and views[red]["params"] == {"axis": 0}
    assert views[ext]["name"] == "" and views[ext]["inputs"] == [x, red]
    assert views[ext]["descriptor"] == {**descriptor_dict, "preprocessing_ref": None}
    assert list(views[ext]["descriptor"]) == [
        "kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"]
    assert (views[exch]["kind"], views[exch]["name"]) == ("exchange", "")
    assert (views[join]["kind"], views[join]["inputs"]) == ("join", [exch, exch])
    assert [v["id"] for v in views] == list(range(6))


def test_stage_view_and_node_map(store):
    x, a, b = fusable(store)
    reduced, _ = store.reduce(outputs=[b])
    views = reduced.nodes()
    assert len(views) == 2
    stage = views[1]
    assert list(stage) == COMMON + ["n_members", "members"]
    assert stage["output"] is True and views[0]["output"] is False
    assert (stage["kind"], stage["name"], stage["params"], stage["inputs"]) == ("stage", "", {}, [0])
    assert stage["n_members"] == 2
    assert stage["members"] == [
        {"kind": "op", "name": "neg", "params": {}, "inputs": [("input", 0)]},
        {"kind": "op", "name": "add", "params": {}, "inputs": [("input", 0), ("member", 0)]},
    ]
    assert [list(m) for m in stage["members"]] == [["kind", "name", "params", "inputs"]] * 2
    assert reduced.node_map() == [(0, None), (1, 0), (1, 1)]


def blob_with_member_token(token: bytes) -> bytes:
    """Source x and a Stage over it whose single member has `token` as its op token."""
    source = b"\x00" + struct.pack("<I", 1) + b"x" + struct.pack("<I", 0)
    stage = (b"\x04" + struct.pack("<IQ", 1, 0) + struct.pack("<I", 1)
             + struct.pack("<I", len(token)) + token + struct.pack("<I", 1) + b"\x00" + struct.pack("<I", 0))
    return b"CIR1" + struct.pack("<I", 2) + source + stage + struct.pack("<I", 0)


@pytest.mark.parametrize("token,shown", [
    (b"garbage", '"garbage"'),
    (b'a"b\\c', '"a\\"b\\\\c"'),
    (b"", '""'),
])
def test_unparseable_member_token(token, shown):
    store = cc.GraphStore.deserialize(blob_with_member_token(token))
    assert store.node_count() == 2
    with pytest.raises(ValueError) as raised:
        store.nodes()
    assert str(raised.value) == "unparseable stage member token " + shown


def test_parseable_member_token_from_a_blob():
    store = cc.GraphStore.deserialize(blob_with_member_token(b"red|sum|axis=i1"))
    member = store.nodes()[1]["members"][0]
    assert member == {"kind": "red", "name": "sum", "params": {"axis": 1}, "inputs": [("input", 0)]}


def test_cone(store):
    ids = chain(store, 3)
    extra = store.add_source("y")
    whole = store.cone(outputs=[ids[-1]])
    assert whole.node_count() == 4 and whole.outputs() == [3]
    assert whole.node_map() == [(0, None), (1, None), (2, None), (3, None), None]
    lone = store.cone(outputs=[extra])
    assert lone.node_count() == 1
    assert lone.node_map() == [None, None, None, None, (0, None)]
    assert store.cone(outputs=[2, 0]).outputs() == [2, 0]
    assert store.cone(outputs=(1, 1)).outputs() == [1]
    assert store.cone(outputs=[]).node_map() == [None] * 5
    assert store.node_map() == [] and store.outputs() == []


def test_cone_never_merges(store):
    a, b = store.add_source("a"), store.add_source("b")
    ab, ba = store.add_op("add", [a, b]), store.add_op("add", [b, a])
    top = store.add_join([ab, ba])
    assert store.cone(outputs=[top]).node_count() == 5


@pytest.mark.parametrize("kwargs,args,error,message", [
    ({"outputs": [0]}, (), ValueError, "^no node with id 0$"),
    ({"outputs": [1, 99, 100]}, (), ValueError, "^no node with id 99$"),
    ({"outputs": "0"}, (), TypeError, "outputs"),
    ({"outputs": {0}}, (), TypeError, "outputs"),
    ({"outputs": None}, (), TypeError, "outputs"),
    ({"outputs": [-1]}, (), OverflowError, None),
    ({}, ([0],), TypeError, "positional"),
    ({}, (), TypeError, "outputs"),
    ({"outputs": [0], "other": 1}, (), TypeError, "other"),
])
def test_cone_errors(kwargs, args, error, message):
    store = cc.GraphStore()
    if message != "^no node with id 0$":
        chain(store, 1)
    with pytest.raises(error, match=message):
        store.cone(*args, **kwargs)


@settings(max_examples=60, deadline=None)
@given(random_plans(), random_plans())
def test_cone_node_map_describes_the_kept_nodes(plan, picks):
    store = cc.GraphStore()
    ids = build_random(store, plan)
    outputs = [ids[p[1] % len(ids)] for p in picks]
    cone = store.cone(outputs=outputs)
    old, new = store.nodes(), cone.nodes()
    mapping = cone.node_map()
    assert len(mapping) == len(old)
    kept = [i for i, m in enumerate(mapping) if m is not None]
    assert [mapping[i] for i in kept] == [(k, None) for k in range(len(kept))]
    to_new = {i: mapping[i][0] for i in kept}
    for i in kept:
        view = new[to_new[i]]
        assert view["inputs"] == [to_new[j] for j in old[i]["inputs"]]
        assert {k: view[k] for k in ("kind", "name", "params")} == {k: old[i][k] for k in ("kind", "name", "params")}
    assert cone.outputs() == list(dict.fromkeys(to_new[o] for o in outputs))


def test_to_dot(store):
    x = store.add_source("x")
    neg = store.add_op("neg", [x])
    store.add_op("add", [x, neg])
    assert store.cone(outputs=[2]).to_dot() == (
        "digraph corvane {\n"
        '  n0 [label="Source x"];\n'
        '  n1 [label="Op neg"];\n'
        '  n2 [label="Op add", shape=doublecircle];\n'
        "  n0 -> n1;\n"
        "  n0 -> n2;\n"
        "  n1 -> n2;\n"
        "}\n")


def test_to_dot_escapes_and_repeats(store):
    q = store.add_source('a"b\\c\nd')
    store.add_join([q, q])
    assert store.to_dot() == (
        "digraph corvane {\n"
        '  n0 [label="Source a\\"b\\\\c\nd"];\n'
        '  n1 [label="Join"];\n'
        "  n0 -> n1;\n"
        "  n0 -> n1;\n"
        "}\n")
