"""Type information for the corvane_core extension module.

The three classes and version() exist at run time. The TypedDicts describe the dicts the
module hands out (the node views of `nodes()`, the reduction report) and the descriptor
dict it accepts; like InternalFault they exist only for type checkers, so import them
under `if TYPE_CHECKING:`.
"""

from collections.abc import Callable, Mapping, Sequence
from typing import (
    Any,
    Literal,
    NoReturn,
    NotRequired,
    ReadOnly,
    Self,
    SupportsFloat,
    SupportsIndex,
    TypedDict,
    final,
    type_check_only,
)

__all__ = ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]

# A parameter value as the module stores it and hands it back.
_ParamValue = int | float | bool | str
# What a parameter dict may hold when recording: also objects with __index__ (converted
# to int) or __float__ (converted to float).
_ParamInput = int | float | bool | str | SupportsIndex | SupportsFloat
# Parameters when recording. At run time a dict (or a dict subclass) is required; other
# mappings raise TypeError "params must be a dict or None".
_Params = Mapping[str, _ParamInput] | None
# Node ids when recording or requesting outputs: any sequence of ints except a str.
_Ids = Sequence[SupportsIndex]

# -- returned shapes ------------------------------------------------------------------

@type_check_only
class ReductionReport(TypedDict):
    """The six counters of a reduction; `reduced_nodes == stages + boundary_nodes`."""

    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int

@type_check_only
class DescriptorDict(TypedDict):
    """An External node's descriptor as `nodes()` shows it; `add_external` accepts it back."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: str | None

@type_check_only
class DescriptorSpec(TypedDict):
    """A descriptor given as a dict to `add_external`; further keys are ignored, so the
    `descriptor` dict of a `nodes()` entry can be passed back unchanged."""

    kind: ReadOnly[str]
    content_hash: ReadOnly[str]
    framework: ReadOnly[str]
    version: ReadOnly[str]
    io_schema: ReadOnly[str]
    preprocessing_ref: NotRequired[ReadOnly[str | None]]

@type_check_only
class StageMember(TypedDict):
    """One fused op of a stage. `inputs` names stage inputs ("input", k) by position in the
    stage's `inputs` list and earlier members ("member", k) by member position."""

    kind: Literal["op", "red"]
    name: str
    params: dict[str, _ParamValue]
    inputs: list[tuple[Literal["input", "member"], int]]

@type_check_only
class _NodeFields(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    name: str
    params: dict[str, _ParamValue]

@type_check_only
class SourceNode(_NodeFields):
    kind: Literal["source"]

@type_check_only
class OpNode(_NodeFields):
    kind: Literal["op"]

@type_check_only
class ReductionNode(_NodeFields):
    kind: Literal["reduction"]

@type_check_only
class ExternalNode(_NodeFields):
    kind: Literal["external"]
    descriptor: DescriptorDict

@type_check_only
class StageNode(_NodeFields):
    kind: Literal["stage"]
    n_members: int
    members: list[StageMember]

@type_check_only
class ExchangeNode(_NodeFields):
    kind: Literal["exchange"]

@type_check_only
class JoinNode(_NodeFields):
    kind: Literal["join"]

# One entry of `nodes()`; test `node["kind"]` to narrow it to one of the classes above.
_Node = SourceNode | OpNode | ReductionNode | ExternalNode | StageNode | ExchangeNode | JoinNode
# One entry of `node_map()`: (reduced node id, member index or None), or None when the
# node was dropped as dead code.
_Landing = tuple[int, int | None] | None

@type_check_only
class Explained(TypedDict):
    """One entry of `explain()`: where the node landed, the smallest earlier node that landed
    there too (or None), and the sorted rule names, with "congruence", that prove it."""

    landing: _Landing
    equals: int | None
    rules: list[str]

# -- run-time classes -----------------------------------------------------------------

@final
class PayloadDescriptor:
    """Immutable reproducibility metadata of an External node (part of its identity)."""

    def __new__(
        cls,
        *,
        kind: str,
        content_hash: str,
        framework: str,
        version: str,
        io_schema: str,
        preprocessing_ref: str | None = None,
    ) -> Self: ...
    @property
    def kind(self) -> str: ...
    @property
    def content_hash(self) -> str: ...
    @property
    def framework(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def io_schema(self) -> str: ...
    @property
    def preprocessing_ref(self) -> str | None: ...
    # Pickles and copies by its fields, through the keyword-only constructor.
    def __reduce__(self) -> tuple[Any, ...]: ...

@final
class GraphStore:
    """Thread-safe, hash-consed store of one pipeline graph."""

    def __new__(cls) -> Self: ...
    # Recording. Each returns the node's id; recording an equal node again returns the
    # id it already has. ValueError "no node with id N" for an unknown input id.
    def add_source(self, name: str, params: _Params = None) -> int: ...
    def add_op(self, name: str, inputs: _Ids, params: _Params = None) -> int: ...
    def add_reduction(self, name: str, inputs: _Ids, params: _Params = None) -> int: ...
    def add_external(
        self, descriptor: PayloadDescriptor | DescriptorSpec, inputs: _Ids, params: _Params = None
    ) -> int: ...
    def add_exchange(self, inputs: _Ids, params: _Params = None) -> int: ...
    def add_join(self, inputs: _Ids, params: _Params = None) -> int: ...
    def node_count(self) -> int: ...
    def to_dot(self) -> str: ...
    def serialize(self, outputs: _Ids | None = None) -> bytes: ...
    @staticmethod
    def deserialize(data: bytes) -> GraphStore: ...
    def nodes(self) -> list[_Node]: ...
    def outputs(self) -> list[int]: ...
    def node_map(self) -> list[_Landing]: ...
    def cone(self, *, outputs: _Ids) -> GraphStore: ...
    def reduce(
        self, *, maximal_fusion: bool = False, outputs: _Ids | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
    def explain(
        self, *, maximal_fusion: bool = False, outputs: _Ids | None = None
    ) -> list[Explained]: ...
    def reduce_incremental(self, *, outputs: _Ids | None = None) -> tuple[GraphStore, ReductionReport]: ...
    def reduction_report(self, *, outputs: _Ids | None = None) -> ReductionReport: ...
    # Pickling: the canonical blob plus the node map, restored by _restore, which validates
    # both (ValueError / TypeError for a damaged payload).
    def __reduce__(
        self,
    ) -> tuple[Callable[[bytes, list[_Landing]], GraphStore], tuple[bytes, list[_Landing]]]: ...
    @classmethod
    def _restore(cls, data: bytes, node_map: list[_Landing]) -> GraphStore: ...
    # Independent copies with the same content; a store holds no Python objects.
    def __copy__(self) -> GraphStore: ...
    def __deepcopy__(self, memo: object) -> GraphStore: ...

@final
class IncrementalReducer:
    """Maintains the canonical form of one store while it is being recorded."""

    def __new__(cls) -> Self: ...
    def step(self, store: GraphStore) -> int: ...
    def finalize(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: _Ids | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
    def watermark(self) -> int: ...
    def total_work(self) -> int: ...
    def canonical_count(self) -> int: ...
    # Refuses with TypeError: a reducer's state belongs to the live store it reads.
    def __reduce__(self) -> NoReturn: ...

def version() -> str: ...

# The class of internal faults: a broken invariant or a poisoned lock, never caused by
# ordinary input. It derives directly from BaseException, so `except Exception` does not
# catch it. The module raises it (as corvane_core.InternalFault) but does not export it,
# so the name exists only for type checkers.
@type_check_only
class InternalFault(BaseException): ...
