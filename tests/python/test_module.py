"""What the module and its classes look like from Python: members, docstrings,
text signatures, immutability, and the panic exception's place in the hierarchy."""

import gc
import inspect

import pytest

import trellan_core
from trellan_core import GraphStore, IncrementalReducer, PayloadDescriptor

CLASSES = [GraphStore, PayloadDescriptor, IncrementalReducer]

GRAPH_STORE_DOC = (
    "Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n"
    "share across threads under the GIL and free-threaded 3.14t)."
)
PAYLOAD_DESCRIPTOR_DOC = (
    "Reproducibility metadata an External node carries (participates in the structural hash)."
)
INCREMENTAL_REDUCER_DOC = (
    "Genuinely incremental reduction (plan §A.1): feed it a store as the graph is being built; each\n"
    "`step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,\n"
    "commutativity dedup, hash-consing — the same sound rules the SaturationEngine runs), so a concise\n"
    "canonical form is maintained while building and `finalize` does one linear pass instead of a\n"
    "whole-history optimization. `total_work()` counts nodes processed across all steps — it equals\n"
    "the node count of the store, no matter how many steps fed it (the incrementality witness)."
)

# (owner, name, text signature, docstring after the signature; None when empty)
METHODS = [
    (GraphStore, "add_source", "($self, name, params=None)", None),
    (GraphStore, "add_op", "($self, name, inputs, params=None)", None),
    (GraphStore, "add_reduction", "($self, name, inputs, params=None)", None),
    (GraphStore, "add_external", "($self, descriptor, inputs, params=None)", None),
    (
        GraphStore,
        "add_exchange",
        "($self, inputs, params=None)",
        "Record an `Exchange` boundary (plan M39 §2.1). No `name` — an Exchange's identity is its\n"
        '`scheme` ParamMap (`params`) + its one logical input; `nodes()[i]["kind"] == "exchange"`.',
    ),
    (
        GraphStore,
        "add_join",
        "($self, inputs, params=None)",
        "Record a `Join` boundary (plan M40 §2.1). Two inputs `[left, right]`; identity is its\n"
        '`scheme` ParamMap (`params`) + its ordered inputs; `nodes()[i]["kind"] == "join"`.',
    ),
    (
        GraphStore,
        "nodes",
        "($self)",
        "Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and\n"
        "`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n"
        "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n"
        "`descriptor` dict for external nodes and `n_members` for stage nodes.",
    ),
    (
        GraphStore,
        "outputs",
        "($self)",
        "The marked output node ids, in mark order (what an IR evaluator returns, in order).",
    ),
    (
        GraphStore,
        "node_map",
        "($self)",
        "§8.2(i): for each node of the arena this store was REDUCED FROM, where it landed here —\n"
        "`(reduced_node_id, member_index | None)`, or `None` if DCE dropped it. Indexed by that\n"
        "arena's node id. Empty for a store that did not come out of a reduction.",
    ),
    (GraphStore, "node_count", "($self)", None),
    (GraphStore, "to_dot", "($self)", None),
    (
        GraphStore,
        "serialize",
        "($self, outputs=None)",
        "Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / A.3.1:\n"
        "the serializable IR — not cloudpickle — is the canonical durable representation). With\n"
        "`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a\n"
        "property of the compile request); the default keeps the marks-based behavior.",
    ),
    (
        GraphStore,
        "deserialize",
        "(data)",
        "Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so\n"
        "`serialize` of the result is byte-identical to the input (plan M8 determinism gate).",
    ),
    (
        GraphStore,
        "reduce",
        "($self, *, maximal_fusion=False, outputs=None)",
        "Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind\n"
        "RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in\n"
        "to fusing fan-out ops whose consumers all land in one stage (the default single-use rule is\n"
        "pinned by the frozen M4 suite).",
    ),
    (
        GraphStore,
        "reduction_report",
        "($self, *, outputs=None)",
        "The reduction report for the current graph, without keeping the reduced store.",
    ),
    (
        GraphStore,
        "reduce_incremental",
        "($self, *, outputs=None)",
        "One-shot incremental reduction of the current graph (same result as `reduce`). For genuine\n"
        "step-by-step reduction while building, use `IncrementalReducer`.",
    ),
    (
        IncrementalReducer,
        "step",
        "($self, store)",
        "Consume the nodes recorded in `store` since the last step. Returns how many were processed\n"
        "(the delta size). The reducer must always be fed the same store.",
    ),
    (
        IncrementalReducer,
        "watermark",
        "($self)",
        "How many of the store's nodes have been consumed so far.",
    ),
    (
        IncrementalReducer,
        "total_work",
        "($self)",
        "Cumulative nodes processed across all steps (== watermark: each node touched once).",
    ),
    (IncrementalReducer, "canonical_count", "($self)", "Size of the maintained canonical form."),
    (
        IncrementalReducer,
        "finalize",
        "($self, store, *, maximal_fusion=False, outputs=None)",
        "Finish: consume any remaining delta, then reduce the maintained canonical form against the\n"
        "store's marked outputs — or, with `outputs=`, against EXACTLY that set (M22: stored marks\n"
        "ignored). Returns the reduced store + report, exactly like `GraphStore.reduce`.",
    ),
]


def test_public_members_in_order():
    public = [name for name in vars(trellan_core) if not name.startswith("_")]
    assert public == ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]


def test_module_docstring_is_empty():
    assert trellan_core.__doc__ == ""


def test_built_for_the_stable_abi():
    assert trellan_core.__file__.endswith(".abi3.so")


def test_version():
    assert trellan_core.version() == "0.0.3"
    assert trellan_core.version.__text_signature__ == "()"
    assert trellan_core.version.__doc__ is None
    with pytest.raises(TypeError):
        trellan_core.version(1)


@pytest.mark.parametrize(
    "cls, signature, doc",
    [
        (GraphStore, "()", GRAPH_STORE_DOC),
        (
            PayloadDescriptor,
            "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)",
            PAYLOAD_DESCRIPTOR_DOC,
        ),
        (IncrementalReducer, "()", INCREMENTAL_REDUCER_DOC),
    ],
)
def test_class_signature_and_doc(cls, signature, doc):
    assert cls.__text_signature__ == signature
    assert str(inspect.signature(cls)) == signature
    assert cls.__doc__ == doc
    assert cls.__module__ == "trellan_core"


@pytest.mark.parametrize("owner, name, signature, doc", METHODS, ids=[m[1] for m in METHODS])
def test_method_signature_and_doc(owner, name, signature, doc):
    method = getattr(owner, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_method_sets_are_complete():
    def public(cls):
        return {n for n in vars(cls) if not n.startswith("_")}

    assert public(GraphStore) == {name for owner, name, _, _ in METHODS if owner is GraphStore}
    assert public(IncrementalReducer) == {
        name for owner, name, _, _ in METHODS if owner is IncrementalReducer
    }
    assert public(PayloadDescriptor) == {
        "kind",
        "content_hash",
        "framework",
        "version",
        "io_schema",
        "preprocessing_ref",
    }


def test_keyword_only_parameters():
    kinds = {
        name: p.kind for name, p in inspect.signature(GraphStore.reduce).parameters.items()
    }
    assert kinds["maximal_fusion"] is inspect.Parameter.KEYWORD_ONLY
    assert kinds["outputs"] is inspect.Parameter.KEYWORD_ONLY
    finalize = inspect.signature(IncrementalReducer.finalize).parameters
    assert finalize["store"].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert finalize["outputs"].kind is inspect.Parameter.KEYWORD_ONLY
    assert isinstance(inspect.getattr_static(GraphStore, "deserialize"), staticmethod)


def _instance(cls):
    if cls is PayloadDescriptor:
        return cls(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    return cls()


@pytest.mark.parametrize("cls", CLASSES)
def test_not_subclassable(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", CLASSES)
def test_instances_take_no_attributes(cls):
    obj = _instance(cls)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1


@pytest.mark.parametrize("cls", CLASSES)
def test_classes_are_immutable(cls):
    with pytest.raises(TypeError):
        cls.extra = 1


@pytest.mark.parametrize("cls", [GraphStore, IncrementalReducer])
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_constructors_take_no_arguments(cls, args, kwargs):
    with pytest.raises(TypeError, match=rf"^{cls.__name__}\(\) takes no arguments$"):
        cls(*args, **kwargs)


def _panic_types():
    return [
        o
        for o in gc.get_objects()
        if isinstance(o, type) and o.__module__ == "trellan_core" and issubclass(o, BaseException)
    ]


def test_panic_exception_is_a_base_exception_outside_the_module():
    # The type is not reachable from the module; the collector still sees it.
    (panic,) = _panic_types()
    assert issubclass(panic, BaseException)
    assert not issubclass(panic, Exception)
    assert panic.__name__ not in vars(trellan_core)
