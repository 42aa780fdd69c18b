"""Hostile argument values and small blob builders shared by the robustness tests.

Every hostile object that runs code of its own raises a subclass of `Hostile`, so a test
can tell an exception the object raised from one the module raised, and which protocol
(``__index__``, ``__len__``, iteration, ``__eq__``, ...) it came from.
"""

from __future__ import annotations

import corvane_core as cc
from conftest import blob, text, u32, u64  # noqa: F401  (re-exported for the tests)


class Hostile(Exception):
    """Raised by a hostile object's own method."""


class IndexBoom(Hostile): ...
class LenBoom(Hostile): ...
class ItemBoom(Hostile): ...
class IterBoom(Hostile): ...
class EqBoom(Hostile): ...


class Untouchable(Hostile):
    """Raised by a method the module has no business calling (a str subclass's own
    methods, a dict subclass's mapping protocol, __bool__ of a non-bool flag)."""


class Swallowed(Hostile):
    """Raised by a conversion whose errors the module must discard (the attempts to
    read a parameter value as an int or a float)."""


class Index:
    """An integer through __index__ only."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value

    def __repr__(self) -> str:
        return f"Index({self.value!r})"


class RaisingIndex:
    def __init__(self, error: type[Hostile] = IndexBoom) -> None:
        self.error = error

    def __index__(self) -> int:
        raise self.error("__index__")

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.error.__name__})"


class WrongIndex:
    """__index__ returns a str: the interpreter refuses it with TypeError."""

    def __index__(self):
        return "3"

    def __repr__(self) -> str:
        return "WrongIndex()"


class FloatOnly:
    def __init__(self, value: float) -> None:
        self.value = value

    def __float__(self) -> float:
        return self.value

    def __repr__(self) -> str:
        return f"FloatOnly({self.value!r})"


class RaisingFloat:
    def __init__(self, error: type[Hostile] = Swallowed) -> None:
        self.error = error

    def __float__(self) -> float:
        raise self.error("__float__")

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.error.__name__})"


class RaisingIndexAndFloat(RaisingIndex, RaisingFloat):
    pass


class RaisingBool:
    def __bool__(self) -> bool:
        raise Untouchable("__bool__")

    def __repr__(self) -> str:
        return "RaisingBool()"


class HostileStr(str):
    """A str subclass whose Python-level methods all raise: the module must read the
    string's own buffer."""

    def __eq__(self, other):
        raise Untouchable("__eq__")

    def __hash__(self):
        raise Untouchable("__hash__")

    def __str__(self):
        raise Untouchable("__str__")

    def __len__(self):
        raise Untouchable("__len__")

    def __iter__(self):
        raise Untouchable("__iter__")

    def encode(self, *args, **kwargs):
        raise Untouchable("encode")

    def __repr__(self) -> str:
        return f"HostileStr({str.__repr__(self)})"


class KeyStr(str):
    """A str subclass usable as a dict key whose equality raises (it is compared only on
    a hash collision)."""

    def __eq__(self, other):
        raise Untouchable("__eq__")

    __hash__ = str.__hash__

    def __repr__(self) -> str:
        return f"KeyStr({str.__repr__(self)})"


class CollidingKey:
    """Hashes like `name` and raises on comparison: a dict lookup of `name` meets it."""

    def __init__(self, name: str) -> None:
        self.name = name

    def __hash__(self) -> int:
        return hash(self.name)

    def __eq__(self, other):
        raise EqBoom("__eq__")

    def __repr__(self) -> str:
        return f"CollidingKey({self.name!r})"


class OddDict(dict):
    """A dict subclass whose mapping protocol raises: the module must use the dict's
    own storage."""

    def __iter__(self):
        raise Untouchable("__iter__")

    def keys(self):
        raise Untouchable("keys")

    def items(self):
        raise Untouchable("items")

    def values(self):
        raise Untouchable("values")

    def __getitem__(self, key):
        raise Untouchable("__getitem__")

    def __missing__(self, key):
        raise Untouchable("__missing__")

    def get(self, key, default=None):
        raise Untouchable("get")

    def __contains__(self, key):
        raise Untouchable("__contains__")

    def __len__(self):
        raise Untouchable("__len__")

    def __repr__(self) -> str:
        return f"OddDict({dict(dict.items(self))!r})"


class LyingSeq:
    """A sequence whose __len__ claims `claimed` items while __getitem__ serves `items`."""

    def __init__(self, items: list, claimed: int) -> None:
        self.items, self.claimed = list(items), claimed

    def __len__(self) -> int:
        return self.claimed

    def __getitem__(self, i: int):
        if 0 <= i < len(self.items):
            return self.items[i]
        raise IndexError(i)

    def __repr__(self) -> str:
        return f"LyingSeq({self.items!r}, claimed={self.claimed!r})"


class RaisingLenSeq(LyingSeq):
    def __len__(self) -> int:
        raise LenBoom("__len__")

    def __repr__(self) -> str:
        return f"RaisingLenSeq({self.items!r})"


class RaisingItemSeq(LyingSeq):
    """Serves items until position `at`, where __getitem__ raises."""

    def __init__(self, items: list, at: int) -> None:
        super().__init__(items, len(items))
        self.at = at

    def __getitem__(self, i: int):
        if i == self.at:
            raise ItemBoom("__getitem__")
        return super().__getitem__(i)

    def __repr__(self) -> str:
        return f"RaisingItemSeq({self.items!r}, at={self.at})"


class OddList(list):
    """A list subclass whose iteration and length raise."""

    def __iter__(self):
        raise IterBoom("__iter__")

    def __len__(self):
        raise LenBoom("__len__")

    def __getitem__(self, i):
        raise ItemBoom("__getitem__")

    def __repr__(self) -> str:
        return f"OddList({list(list.__iter__(self))!r})"


class OddTuple(tuple):
    def __iter__(self):
        raise IterBoom("__iter__")

    def __len__(self):
        raise LenBoom("__len__")

    def __getitem__(self, i):
        raise ItemBoom("__getitem__")

    def __repr__(self) -> str:
        return f"OddTuple({tuple(tuple.__iter__(self))!r})"


class ClearingIndex:
    """Empties the list it sits in while the module reads it."""

    def __init__(self, target: list, value: int) -> None:
        self.target, self.value = target, value

    def __index__(self) -> int:
        self.target.clear()
        return self.value

    def __repr__(self) -> str:
        return f"ClearingIndex({self.value})"


def clearing_list(values: list[int]) -> list:
    items: list = []
    items.extend(ClearingIndex(items, v) for v in values)
    return items


SOURCE_X = b"\x00" + text(b"x") + u32(0)


def stage_with_token(token: bytes) -> bytes:
    """A Source and a one-member Stage whose member token is `token`."""
    member = text(token) + u32(1) + b"\x00" + u32(0)
    return blob(SOURCE_X, b"\x04" + u32(1) + u64(0) + u32(1) + member, outputs=(1,))


# ---- sample stores

DESCRIPTOR = {"kind": "onnx", "content_hash": "sha256:ab", "framework": "torch",
              "version": "2.1", "io_schema": "f32[n]"}


def sample_store() -> cc.GraphStore:
    """A reduced store of every node kind: it has output marks, a node map and a stage."""
    s = cc.GraphStore()
    x = s.add_source("x", {"rows": 3})
    y = s.add_source("y")
    a = s.add_op("add", [x, y])
    b = s.add_op("add", [a], {"scalar": 0.0, "side": "r"})
    c = s.add_op("neg", [b])
    e = s.add_external(DESCRIPTOR, [c], {"batch": True})
    x2 = s.add_exchange([e], {"scheme": "hash"})
    j = s.add_join([x2, y])
    r = s.add_reduction("sum", [j], {"axis": 0})
    reduced, _ = s.reduce(outputs=[r, c])
    return reduced
