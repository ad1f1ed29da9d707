"""The PayloadDescriptor class and the conversion of add_external's descriptor."""

import pytest

from trellan_core import GraphStore, PayloadDescriptor

FIELDS = dict(kind="model", content_hash="abc", framework="torch", version="2", io_schema="x")


def test_fields_are_exposed_as_given():
    d = PayloadDescriptor(**FIELDS, preprocessing_ref="prep")
    assert {name: getattr(d, name) for name in FIELDS} == FIELDS
    assert d.preprocessing_ref == "prep"


@pytest.mark.parametrize(
    "given, expected",
    [({}, None), ({"preprocessing_ref": None}, None), ({"preprocessing_ref": ""}, "")],
)
def test_preprocessing_ref_absent_or_present(given, expected):
    assert PayloadDescriptor(**FIELDS, **given).preprocessing_ref == expected


@pytest.mark.parametrize("name", [*FIELDS, "preprocessing_ref"])
def test_properties_are_read_only(name):
    d = PayloadDescriptor(**FIELDS)
    with pytest.raises(AttributeError):
        setattr(d, name, "other")
    with pytest.raises(AttributeError):
        delattr(d, name)
    assert getattr(d, name) == FIELDS.get(name)


@pytest.mark.parametrize("name", [*FIELDS, "preprocessing_ref"])
@pytest.mark.parametrize("value, type_name", [(5, "int"), (b"x", "bytes")])
def test_field_types_are_checked(name, value, type_name):
    with pytest.raises(TypeError) as info:
        PayloadDescriptor(**{**FIELDS, name: value})
    assert str(info.value) == f"argument '{name}': '{type_name}' object is not an instance of 'str'"


@pytest.mark.parametrize("name", list(FIELDS))
def test_required_fields(name):
    partial = {k: v for k, v in FIELDS.items() if k != name}
    message = f"PayloadDescriptor() missing required keyword-only argument '{name}'"
    with pytest.raises(TypeError) as info:
        PayloadDescriptor(**partial)
    assert str(info.value) == message
    with pytest.raises(TypeError):
        PayloadDescriptor(**{**partial, name: None})


def test_str_subclass_fields_are_accepted():
    class Tag(str):
        pass

    d = PayloadDescriptor(**{**FIELDS, "kind": Tag("model")})
    assert type(d.kind) is str and d.kind == "model"


def test_no_value_equality():
    a, b = PayloadDescriptor(**FIELDS), PayloadDescriptor(**FIELDS)
    assert a != b and a == a


def test_descriptor_shows_in_node_view():
    g = GraphStore()
    g.add_external(PayloadDescriptor(**FIELDS), [])
    g.add_external({**FIELDS, "preprocessing_ref": "p"}, [])
    views = [n["descriptor"] for n in g.nodes()]
    assert list(views[0]) == [*FIELDS, "preprocessing_ref"]
    assert views[0] == {**FIELDS, "preprocessing_ref": None}
    assert views[1] == {**FIELDS, "preprocessing_ref": "p"}


def test_descriptor_dict_is_read_directly():
    class Lying(dict):
        def __getitem__(self, key):
            return "lie"

        def get(self, key, default=None):
            return "lie"

    g = GraphStore()
    g.add_external(Lying(FIELDS), [])
    assert g.nodes()[0]["descriptor"]["kind"] == "model"

