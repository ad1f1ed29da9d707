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

# Method docstrings after the text signature (the signatures themselves: test_stubs' stubtest)
DOCS = {
    "GraphStore.add_source": None,
    "GraphStore.add_op": None,
    "GraphStore.add_reduction": None,
    "GraphStore.add_external": None,
    "GraphStore.add_exchange": (
        "Record an `Exchange` boundary (plan M39 §2.1). No `name` — an Exchange's identity is its\n"
        '`scheme` ParamMap (`params`) + its one logical input; `nodes()[i]["kind"] == "exchange"`.'
    ),
    "GraphStore.add_join": (
        'Record a `Join` boundary (plan M40 §2.1). Two inputs `[left, right]`; identity is its\n'
        '`scheme` ParamMap (`params`) + its ordered inputs; `nodes()[i]["kind"] == "join"`.'
    ),
    "GraphStore.nodes": (
        'Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and\n'
        '`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n'
        '(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n'
        '`descriptor` dict for external nodes and `n_members` for stage nodes.'
    ),
    "GraphStore.outputs": (
        'The marked output node ids, in mark order (what an IR evaluator returns, in order).'
    ),
    "GraphStore.node_map": (
        '§8.2(i): for each node of the arena this store was REDUCED FROM, where it landed here —\n'
        '`(reduced_node_id, member_index | None)`, or `None` if DCE dropped it. Indexed by that\n'
        "arena's node id. Empty for a store that did not come out of a reduction."
    ),
    "GraphStore.node_count": None,
    "GraphStore.to_dot": None,
    "GraphStore.serialize": (
        'Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / A.3.1:\n'
        'the serializable IR — not cloudpickle — is the canonical durable representation). With\n'
        '`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a\n'
        'property of the compile request); the default keeps the marks-based behavior.'
    ),
    "GraphStore.deserialize": (
        'Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so\n'
        '`serialize` of the result is byte-identical to the input (plan M8 determinism gate).'
    ),
    "GraphStore.reduce": (
        'Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind\n'
        'RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in\n'
        'to fusing fan-out ops whose consumers all land in one stage (the default single-use rule is\n'
        'pinned by the frozen M4 suite).'
    ),
    "GraphStore.reduction_report": (
        'The reduction report for the current graph, without keeping the reduced store.'
    ),
    "GraphStore.reduce_incremental": (
        'One-shot incremental reduction of the current graph (same result as `reduce`). For genuine\n'
        'step-by-step reduction while building, use `IncrementalReducer`.'
    ),
    "IncrementalReducer.step": (
        'Consume the nodes recorded in `store` since the last step. Returns how many were processed\n'
        '(the delta size). The reducer must always be fed the same store.'
    ),
    "IncrementalReducer.watermark": (
        "How many of the store's nodes have been consumed so far."
    ),
    "IncrementalReducer.total_work": (
        'Cumulative nodes processed across all steps (== watermark: each node touched once).'
    ),
    "IncrementalReducer.canonical_count": (
        'Size of the maintained canonical form.'
    ),
    "IncrementalReducer.finalize": (
        'Finish: consume any remaining delta, then reduce the maintained canonical form against the\n'
        "store's marked outputs — or, with `outputs=`, against EXACTLY that set (M22: stored marks\n"
        'ignored). Returns the reduced store + report, exactly like `GraphStore.reduce`.'
    ),
}


def test_module_members_and_version():
    public = [name for name in vars(trellan_core) if not name.startswith("_")]
    assert public == ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]
    assert trellan_core.__file__.endswith(".abi3.so")  # built for the stable ABI
    assert trellan_core.version() == "0.0.3"
    assert (trellan_core.version.__text_signature__, trellan_core.version.__doc__) == ("()", None)


@pytest.mark.parametrize("cls, signature, doc", [
    (GraphStore, "()", GRAPH_STORE_DOC),
    (PayloadDescriptor, "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)",
     PAYLOAD_DESCRIPTOR_DOC),
    (IncrementalReducer, "()", INCREMENTAL_REDUCER_DOC),
])
def test_class_signature_and_doc(cls, signature, doc):
    assert cls.__text_signature__ == signature and str(inspect.signature(cls)) == signature
    assert (cls.__doc__, cls.__module__) == (doc, "trellan_core")


@pytest.mark.parametrize("name, doc", DOCS.items())
def test_method_doc(name, doc):
    owner, method = name.split(".")
    assert getattr(getattr(trellan_core, owner), method).__doc__ == doc


@pytest.mark.parametrize("cls", CLASSES)
def test_classes_are_closed(cls):
    fields = ("kind", "content_hash", "framework", "version", "io_schema")
    obj = cls(**{k: k for k in fields}) if cls is PayloadDescriptor else cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        cls.extra = 1


def test_panic_exception_is_a_base_exception_outside_the_module():
    # The type is not reachable from the module; the collector still sees it.
    (panic,) = [o for o in gc.get_objects()
                if isinstance(o, type) and o.__module__ == "trellan_core" and issubclass(o, BaseException)]
    assert not issubclass(panic, Exception) and panic.__name__ not in vars(trellan_core)
