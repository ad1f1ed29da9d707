"""What the module and its classes look like from Python: members, docstrings, text signatures, immutability, and the
panic exception's place in the hierarchy."""

import gc, hashlib, inspect

import pytest

import trellan_core
from trellan_core import GraphStore, IncrementalReducer, PayloadDescriptor

CLASSES = [GraphStore, PayloadDescriptor, IncrementalReducer]

# The docstrings after the text signatures are specified texts; each is pinned by the first 16 hex digits of
# its SHA-256 (None: no docstring). The signatures themselves are checked by stubtest (test_stubs).
DOCS = {
    "GraphStore": "1aaadb48cec8df5c",
    "PayloadDescriptor": "e48b4b26ac50c209",
    "IncrementalReducer": "3ed50dadcb98f1d6",
    "GraphStore.add_source": None,
    "GraphStore.add_op": None,
    "GraphStore.add_reduction": None,
    "GraphStore.add_external": None,
    "GraphStore.node_count": None,
    "GraphStore.to_dot": None,
    "GraphStore.add_exchange": "c88ba53295632dbc",
    "GraphStore.add_join": "2570597d1a99c5be",
    "GraphStore.nodes": "536b38cbd3b6f5dd",
    "GraphStore.outputs": "193e4ddd63e64862",
    "GraphStore.node_map": "1d4a2a5841d8b1b1",
    "GraphStore.serialize": "37f0118056b36771",
    "GraphStore.deserialize": "848faa29ee37d192",
    "GraphStore.reduce": "cd8520f7fb0a4319",
    "GraphStore.reduction_report": "4a7ac6921256c00c",
    "GraphStore.reduce_incremental": "1569575ecfc10d50",
    "IncrementalReducer.step": "76a86d30a1688b36",
    "IncrementalReducer.watermark": "4b082f573543d55f",
    "IncrementalReducer.total_work": "5e52ef97cad287cb",
    "IncrementalReducer.canonical_count": "0178cfa2e3d25c64",
    "IncrementalReducer.finalize": "165bd7ae758c1d9b",
}

def digest(text):
    return None if text is None else hashlib.sha256(text.encode()).hexdigest()[:16]


def test_module_members_and_version():
    public = [name for name in vars(trellan_core) if not name.startswith("_")]
    assert public == ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "ExecutionPlan", "version",
                      "content_digest"]
    assert trellan_core.__file__.endswith(".abi3.so")  # built for the stable ABI
    assert trellan_core.version() == "0.0.3"
    assert (trellan_core.version.__text_signature__, trellan_core.version.__doc__) == ("()", None)


@pytest.mark.parametrize("cls, signature", [
    (GraphStore, "()"), (IncrementalReducer, "()"),
    (PayloadDescriptor, "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)")])
def test_class_signature(cls, signature):
    assert cls.__text_signature__ == signature and str(inspect.signature(cls)) == signature
    assert cls.__module__ == "trellan_core"


@pytest.mark.parametrize("name, pinned", DOCS.items())
def test_docs(name, pinned):
    owner, _, method = name.partition(".")
    doc = getattr(getattr(trellan_core, owner), method).__doc__ if method else getattr(trellan_core, owner).__doc__
    assert digest(doc) == pinned, doc


@pytest.mark.parametrize("cls", CLASSES)
def test_classes_are_closed(cls):
    fields = ("kind", "content_hash", "framework", "version", "io_schema")
    obj = cls(**{k: k for k in fields}) if cls is PayloadDescriptor else cls()
    for change, exc in [(lambda: type("Sub", (cls,), {}), TypeError), (lambda: setattr(obj, "extra", 1), AttributeError),
                        (lambda: setattr(cls, "extra", 1), TypeError)]:
        with pytest.raises(exc):
            change()
    assert not hasattr(obj, "__dict__")


def test_panic_exception_is_a_base_exception_outside_the_module():
    # The type is not reachable from the module; the collector still sees it.
    (panic,) = [o for o in gc.get_objects()
                if isinstance(o, type) and o.__module__ == "trellan_core" and issubclass(o, BaseException)]
    assert not issubclass(panic, Exception) and panic.__name__ not in vars(trellan_core)
