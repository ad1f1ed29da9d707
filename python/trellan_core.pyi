"""Interned dataflow IR store and optimizer.

Record a pipeline node by node into a `GraphStore`, then inspect, render, serialize or reduce it
(dead-code elimination, canonicalization, common-subexpression elimination, stage fusion), whole
or incrementally with an `IncrementalReducer`.
"""

from collections.abc import Callable, Sequence
from typing import Any, Literal, NotRequired, Protocol, Self, SupportsIndex, TypedDict, TypeVar, final, overload

from typing_extensions import Buffer

# The values a params dict may hold; `_P` and `_D` stand for any subset of them (see the
# builders' overloads).
_ParamValue = int | float | bool | str
_Params = dict[str, _ParamValue]
_P = TypeVar("_P", bound=int | float | bool | str)
_D = TypeVar("_D", bound=str | None)

# The rows of a batch builder: a sequence of id sequences, or a 2-D integer array (a NumPy array or any other
# buffer).
class _Array(Protocol):
    def __array__(self) -> object: ...

_Rows = Sequence[Sequence[SupportsIndex]] | Buffer | _Array

_Kind = Literal["source", "op", "reduction", "external", "stage", "exchange", "join"]

class _DescriptorView(TypedDict):
    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: str | None

class _MemberView(TypedDict):
    kind: Literal["op", "red"]
    name: str
    params: dict[str, _ParamValue]
    inputs: list[tuple[Literal["input", "member"], int]]

class _NodeView(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: _Kind
    name: str
    params: dict[str, _ParamValue]
    descriptor: NotRequired[_DescriptorView]
    n_members: NotRequired[int]
    members: NotRequired[list[_MemberView]]

class _Report(TypedDict):
    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int

_NodeMapEntry = tuple[int, int | None] | None

def version() -> str:
    """The module version, "0.0.3"."""

def content_digest(*pieces: Buffer) -> bytes:
    """The 32-byte BLAKE3 hash (plain mode) of the pieces' bytes, one after another; each piece
    is contiguous memory (bytes, a memoryview, a C-ordered NumPy array)."""

@final
class GraphStore:
    """Thread-safe interned graph store: equal nodes get one id, ids are dense and topological."""

    def __new__(cls) -> Self: ...

    # Builders: each returns the id of the (possibly already recorded) node.
    #
    # Every builder has two overloads, which accept the same calls at run time. The first gives a
    # dict display its element type, so `{"scalar": 0.0, "side": "r"}` type-checks; the second
    # takes a dict already typed with any subset of the value types, such as `dict[str, int]`
    # (dict is invariant, so one signature cannot serve both).
    @overload
    def add_source(self, name: str, params: _Params | None = None) -> int: ...
    @overload
    def add_source(self, name: str, params: dict[str, _P] | None = None) -> int: ...
    @overload
    def add_op(
        self, name: str, inputs: Sequence[SupportsIndex], params: _Params | None = None
    ) -> int: ...
    @overload
    def add_op(
        self, name: str, inputs: Sequence[SupportsIndex], params: dict[str, _P] | None = None
    ) -> int: ...
    @overload
    def add_reduction(
        self, name: str, inputs: Sequence[SupportsIndex], params: _Params | None = None
    ) -> int: ...
    @overload
    def add_reduction(
        self, name: str, inputs: Sequence[SupportsIndex], params: dict[str, _P] | None = None
    ) -> int: ...
    @overload
    def add_external(
        self,
        descriptor: PayloadDescriptor | dict[str, str | None],
        inputs: Sequence[SupportsIndex],
        params: _Params | None = None,
    ) -> int: ...
    @overload
    def add_external(
        self,
        descriptor: PayloadDescriptor | dict[str, _D],
        inputs: Sequence[SupportsIndex],
        params: dict[str, _P] | None = None,
    ) -> int: ...
    @overload
    def add_exchange(self, inputs: Sequence[SupportsIndex], params: _Params | None = None) -> int:
        """Record an `Exchange` boundary: identity is its params plus its one logical input."""

    @overload
    def add_exchange(
        self, inputs: Sequence[SupportsIndex], params: dict[str, _P] | None = None
    ) -> int: ...
    @overload
    def add_join(self, inputs: Sequence[SupportsIndex], params: _Params | None = None) -> int:
        """Record a `Join` boundary: identity is its params plus its ordered inputs [left, right]."""

    @overload
    def add_join(self, inputs: Sequence[SupportsIndex], params: dict[str, _P] | None = None) -> int: ...

    # Batch builders: one node per row, as the loop of single calls would record them; each returns the ids in row
    # order. Every input must exist before the call (a row cannot read a node made by an earlier row). A bad row
    # records nothing of the batch, and its error is the single call's with "row N: " before it.
    @overload
    def add_sources(self, name: str, params: Sequence[_Params | None]) -> list[int]:
        """Record one source per params dict."""

    @overload
    def add_sources(self, name: str, params: Sequence[dict[str, _P] | None]) -> list[int]: ...
    @overload
    def add_ops(self, name: str, inputs: _Rows, params: _Params | None = None) -> list[int]:
        """Record one op per row of `inputs`: id sequences, or a 2-D integer array read in place."""

    @overload
    def add_ops(self, name: str, inputs: _Rows, params: dict[str, _P] | None = None) -> list[int]: ...
    @overload
    def add_reductions(self, name: str, inputs: _Rows, params: _Params | None = None) -> list[int]:
        """Record one reduction per row of `inputs`, as `add_ops` records ops."""

    @overload
    def add_reductions(self, name: str, inputs: _Rows, params: dict[str, _P] | None = None) -> list[int]: ...

    # Inspection and persistence.
    def node_count(self) -> int: ...
    def nodes(self) -> list[_NodeView]:
        """One dict per node in id order (`id`, `output`, `inputs`, `kind`, `name`, `params`,
        plus `descriptor` for external nodes and `n_members`/`members` for stages)."""

    def outputs(self) -> list[int]:
        """The marked output ids, in mark order."""

    def node_map(self) -> list[_NodeMapEntry]:
        """For a reduced store: per node of the store it was reduced from, `(reduced_id,
        member_index | None)`, or None if the node was dropped. Empty for any other store."""

    def node_map_of(self, ids: Sequence[SupportsIndex]) -> list[_NodeMapEntry]:
        """The `node_map()` entries of the given ids, in order, in one pass; ValueError for an id
        the map does not cover."""

    def to_dot(self) -> str: ...
    def serialize(self, outputs: Sequence[SupportsIndex] | None = None) -> bytes:
        """The canonical IR blob. With `outputs=` the blob flags exactly those ids instead of the
        stored marks."""

    @staticmethod
    def deserialize(data: bytes) -> GraphStore:
        """Rebuild a store from blob bytes (same ids, marks restored); ValueError on a bad blob."""

    # Digests.
    def digest(self, node_id: SupportsIndex) -> bytes:
        """The node's 32-byte value digest (version 2): equal across stores, processes and machines,
        and equal for two nodes only when they compute the same ops on the same inputs in the same
        order (no rewrite rule applies). Computed once per node and kept."""

    def digests(self) -> bytes:
        """Every node's value digest, concatenated in id order (32 * node_count() bytes)."""

    def task_keys(self, token: bytes, ids: Sequence[SupportsIndex]) -> bytes:
        """32-byte task keys of `ids`, concatenated: the 32-byte `token` of a run's callables, the
        node's own operator (a stage's members) and its inputs' keys. Equal only for identical tasks."""

    def __reduce__(self) -> tuple[object, tuple[bytes, bytes]]:
        """Pickling (and copy.copy, copy.deepcopy): the blob, with the node map beside it."""

    # Execution.
    def execution_plan(self, outputs: Sequence[SupportsIndex] | None = None) -> ExecutionPlan:
        """What an executor needs to run the nodes `outputs` (default: the marks) depend on."""

    # Reduction.
    def reduce(
        self, *, maximal_fusion: bool = False, outputs: Sequence[SupportsIndex] | None = None
    ) -> tuple[GraphStore, _Report]:
        """Reduce against the marked outputs, or exactly `outputs=`. Returns the new store and
        the report. `maximal_fusion=True` also fuses fan-out ops whose consumers share a stage."""

    def reduction_report(self, *, outputs: Sequence[SupportsIndex] | None = None) -> _Report:
        """The report of `reduce()` (single-use rule) without keeping the reduced store."""

    def reduce_incremental(
        self, *, outputs: Sequence[SupportsIndex] | None = None
    ) -> tuple[GraphStore, _Report]:
        """One-shot incremental reduction; same result as `reduce()`."""

_KindName = Literal["source", "op", "reduction", "external", "stage", "exchange", "join"]

@final
class ExecutionPlan:
    """The nodes some outputs depend on, as flat read-only arrays (memoryviews: `q` for ids,
    `B` for kind codes, `i` for every other index; NumPy wraps them without a copy; each read
    of an attribute makes a new view of the same memory). Steps run in the order given, inputs
    first; `len(plan)` is the number of steps."""

    def __len__(self) -> int: ...
    @property
    def digests(self) -> bytes:
        """Each step's 32-byte value digest, concatenated in step order (a stage's is its last
        member's); computed on first access. ValueError for a stage that has no value."""
    @property
    def ids(self) -> memoryview:
        """Node id of each step, ascending."""
    @property
    def kinds(self) -> memoryview:
        """Kind of each step, an index into `kind_names`."""
    @property
    def kind_names(self) -> tuple[_KindName, ...]: ...
    @property
    def names(self) -> tuple[str, ...]:
        """The distinct names ("" for kinds without one), in first-use order."""
    @property
    def name_index(self) -> memoryview: ...
    @property
    def params(self) -> tuple[dict[str, _ParamValue], ...]:
        """The distinct param dicts, in first-use order."""
    @property
    def params_index(self) -> memoryview: ...
    @property
    def descriptors(self) -> tuple[_DescriptorView, ...]: ...
    @property
    def descriptor_index(self) -> memoryview:
        """Per step, into `descriptors`, or -1."""
    @property
    def operators(self) -> tuple[tuple[int, int, int, int], ...]:
        """The distinct (kind, name index, params index, descriptor index or -1) of steps and
        members: an executor makes one callable for each."""
    @property
    def operator_index(self) -> memoryview:
        """The operator a step calls on its input values in order; -1 for a stage whose members
        must run (a stage of one member reading its inputs in order has its member's)."""
    @property
    def input_offsets(self) -> memoryview:
        """Step s reads the steps `inputs[input_offsets[s]:input_offsets[s + 1]]`."""
    @property
    def inputs(self) -> memoryview: ...
    @property
    def last_use(self) -> memoryview:
        """The last step that reads each step, or -1: its value can go after that step."""
    @property
    def outputs(self) -> memoryview:
        """The requested outputs as steps, in order, repeats kept."""
    @property
    def member_offsets(self) -> memoryview:
        """Step s owns the members `member_offsets[s]:member_offsets[s + 1]` (none but stages)."""
    @property
    def member_kinds(self) -> memoryview: ...
    @property
    def member_name_index(self) -> memoryview: ...
    @property
    def member_params_index(self) -> memoryview: ...
    @property
    def member_operator_index(self) -> memoryview: ...
    @property
    def ref_offsets(self) -> memoryview:
        """Member m reads `refs[ref_offsets[m]:ref_offsets[m + 1]]`."""
    @property
    def refs(self) -> memoryview:
        """r >= 0: member r of the same stage; r < 0: the stage's input slot ~r."""
    @property
    def member_last_use(self) -> memoryview:
        """The last member of the same stage that reads each member, or -1."""
    @property
    def stage_shape(self) -> memoryview:
        """Per step: its shape, for a stage whose members must run, else -1. Stages of one shape
        run the same member operators on the same references."""
    @property
    def shape_first(self) -> memoryview: ...
    @property
    def shape_uses(self) -> memoryview: ...
    def salted_digests(self, salts: bytes, unsalted: bytes) -> tuple[bytes, bytes]:
        """Per step, its value digest with every operator it depends on salted: `salts` has 32
        bytes per operator, `unsalted` one byte per operator (nonzero: it has no salt). Returns
        32 bytes per step, and one byte per step, 1 when it depends on an unsalted operator."""
    def task_key_names(self, token: bytes, prefixes: list[str] | tuple[str, ...],
                       stage_prefixes: list[str] | tuple[str, ...]) -> list[str]:
        """Per step, a prefix and the step's task key (`GraphStore.task_keys` under `token`) in
        hex: `stage_prefixes[o]` for a stage whose last member runs operator `o`, `prefixes[o]`
        for any other step running `o`; one entry per operator in each."""
    def recorded_ids(self) -> list[int | bytes | None]:
        """Per step, None when no recorded node became it, else its entries, one per member of a
        stage, else one: the recorded id that became it, when exactly one did; otherwise ~count
        (negative), then the first three of those ids, ascending. A single entry that is an id
        is the int itself; other entries are packed as bytes, 8 per entry in native byte order
        (`memoryview(b).cast("q")` reads them)."""
    def task_graph(self, keys: Sequence[str], calls: Sequence[Callable[..., Any]],
                   sole_calls: Sequence[Callable[..., Any]], shape_calls: Sequence[Callable[..., Any]],
                   recorded: Sequence[int | bytes | None], task: type | None = None,
                   ref: type | None = None, fill: tuple[Any, ...] | None = None) -> dict[str, Any]:
        """A dict from `keys[s]` to the task of step `s`: `task(keys[s], fn, node, recorded[s],
        *refs)` with `refs[j] = ref(keys[j])`, or, with `task` None, the tuple `(fn, node,
        recorded[s], *input keys)`. `fn` is `calls[o]` for a step running operator `o`,
        `sole_calls[o]` for a stage whose one member runs it on the stage's inputs in order, and
        `shape_calls[h]` for any other stage of shape `h`. `fill` makes the same objects by
        setting their slots instead of calling the classes (see the docstring)."""

    def stage_shapes(self, calls: Sequence[Callable[..., Any]], labels: Sequence[str]) -> list[
            tuple[tuple[Callable[..., Any], ...], tuple[int, ...], tuple[int, ...], tuple[int, ...],
                  tuple[str, ...]]]:
        """Per stage shape `h`, what runs a stage of it, read from its first stage: the tuple
        `(callables, ref_offsets, refs, last, labels)`. Member `m` calls `calls[o]`, `o` its
        operator, and its note names `labels[o]`; it reads `refs[ref_offsets[m]:ref_offsets[m +
        1]]` (offsets counted from the stage's first ref), and `last[m]` is its
        `member_last_use`."""

@final
class PayloadDescriptor:
    """Reproducibility metadata an External node carries (part of its identity)."""

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

@final
class IncrementalReducer:
    """Keeps a canonical form of a growing store: each `step` canonicalizes only the nodes
    recorded since the last one; `finalize` reduces that form. It belongs to the store of its first
    `step` or `finalize`; a call with another store raises ValueError."""

    def __new__(cls) -> Self: ...
    def step(self, store: GraphStore) -> int:
        """Consume the nodes recorded since the last step; returns how many there were."""

    def watermark(self) -> int:
        """How many of the store's nodes have been consumed so far."""

    def total_work(self) -> int:
        """Nodes processed across all steps (equals the watermark: each node is touched once)."""

    def canonical_count(self) -> int:
        """Size of the maintained canonical form."""

    def finalize(
        self,
        store: GraphStore,
        *,
        maximal_fusion: bool = False,
        outputs: Sequence[SupportsIndex] | None = None,
    ) -> tuple[GraphStore, _Report]:
        """Consume any remaining nodes, then reduce the canonical form against the store's marks
        or exactly `outputs=`. Returns the reduced store and report, like `GraphStore.reduce`."""

@final
class _PlanRunner:
    """Runs an ExecutionPlan natively: `trellan.evaluate`'s engine, not an interface of its own."""

    def __new__(
        cls,
        plan: ExecutionPlan,
        operators: Sequence[tuple[Callable[..., Any] | None, tuple[Any, ...], dict[str, Any] | None]],
        profile: bool = False,
    ) -> Self: ...
    def run(self, report: Callable[[int], object] | None = None, interval: float = 0.0) -> list[Any]: ...
    def step(self, step: int, inputs: list[Any]) -> Any: ...
    def timings(self) -> list[tuple[int, int, int, float, float, int, int]] | None: ...
    @property
    def failed(self) -> tuple[int, int] | None: ...
