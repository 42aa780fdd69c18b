"""Shared fixtures and graph builders for the corvane_core tests."""

from __future__ import annotations

import pathlib
import re
import struct

import pytest

import corvane_core as cc

DESCRIPTOR_FIELDS = ("kind", "content_hash", "framework", "version", "io_schema")
ROOT = pathlib.Path(__file__).resolve().parents[2]


def project_version() -> str:
    """The version the build defines once, as the CMake project's version."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(corvane_core VERSION ([0-9.]+)", text).group(1)


def _numpy():
    """NumPy where it imports: absent, or built for another interpreter (the
    distribution's numpy under a free-threaded build), it raises ImportError."""
    try:
        import numpy
    except ImportError:
        return None
    return numpy


NUMPY = _numpy()
needs_numpy = pytest.mark.skipif(NUMPY is None, reason="numpy does not import here")


def numpy_param(make, arity: int = 1):
    """A parametrize case of `arity` values made by make(numpy), skipped where numpy
    does not import."""
    if NUMPY is None:
        return pytest.param(*(None,) * arity, marks=needs_numpy)
    values = make(NUMPY)
    return pytest.param(*(values if arity > 1 else (values,)))


@pytest.fixture
def store() -> cc.GraphStore:
    return cc.GraphStore()


@pytest.fixture
def descriptor_dict() -> dict:
    return {"kind": "onnx", "content_hash": "sha256:ab", "framework": "torch",
            "version": "2.1", "io_schema": "f32[n]"}


@pytest.fixture(scope="session")
def fault_class() -> type[BaseException]:
    """The module's internal-fault class: it is not exported, but it is the one direct
    BaseException subclass that reports corvane_core as its module."""
    found = [c for c in BaseException.__subclasses__() if c.__module__ == "corvane_core"]
    assert len(found) == 1, found
    return found[0]


def chain(store: cc.GraphStore, length: int) -> list[int]:
    """A source followed by `length` unary ops, each on the previous node."""
    ids = [store.add_source("x")]
    for i in range(length):
        ids.append(store.add_op(f"f{i}", [ids[-1]]))
    return ids


def identity_example(store: cc.GraphStore) -> tuple[int, int]:
    """x and x + 0.0 (right side): the identity rule merges the op into its input."""
    x = store.add_source("x")
    y = store.add_op("add", [x], {"scalar": 0.0, "side": "r"})
    return x, y


def fusable(store: cc.GraphStore) -> tuple[int, int, int]:
    """x, neg(x) and add(x, neg(x)): the two ops fuse into one two-member stage."""
    x = store.add_source("x")
    a = store.add_op("neg", [x])
    b = store.add_op("add", [x, a])
    return x, a, b


def snapshot(store: cc.GraphStore) -> tuple:
    """Everything Python can observe of a store."""
    return store.nodes(), store.outputs(), store.node_map(), store.node_count()


def build_random(store: cc.GraphStore, plan: list[tuple[int, int, list[int]]],
                 ids: list[int] | None = None) -> list[int]:
    """Records a random graph: each step is (kind selector, name selector, input picks),
    where a pick chooses among the ids recorded so far. Returns the id of every step,
    appended to `ids` when given."""
    ids = [] if ids is None else ids
    for kind, name, picks in plan:
        inputs = [ids[p % len(ids)] for p in picks] if ids else []
        if not inputs or kind == 0:
            ids.append(store.add_source(f"s{name}"))
        elif kind == 1:
            ids.append(store.add_op(["add", "mul", "neg", "exp"][name % 4], inputs,
                                    {"scalar": 0.0, "side": "r"} if name % 5 == 0 else None))
        elif kind == 2:
            ids.append(store.add_reduction("sum", inputs[:1], {"axis": name % 3}))
        elif kind == 3:
            ids.append(store.add_exchange(inputs[:1], {"scheme": "hash"}))
        else:
            ids.append(store.add_join(inputs[:2]))
    return ids


def random_plans():
    from hypothesis import strategies as st

    step = st.tuples(st.integers(0, 4), st.integers(0, 9), st.lists(st.integers(0, 50), max_size=3))
    return st.lists(step, min_size=1, max_size=25)


# ---- blobs, built field by field

def u32(n: int) -> bytes:
    return struct.pack("<I", n)


def u64(n: int) -> bytes:
    return struct.pack("<Q", n)


def text(s: bytes) -> bytes:
    return u32(len(s)) + s


def blob(*records: bytes, outputs: tuple[int, ...] = (), count: int | None = None) -> bytes:
    """A blob of the given records and outputs; `count` overrides the record count."""
    n = len(records) if count is None else count
    return b"CIR1" + u32(n) + b"".join(records) + u32(len(outputs)) + b"".join(map(u64, outputs))
