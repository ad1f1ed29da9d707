// The PayloadDescriptor class (immutable, read-only properties) and the
// conversion of add_external's `descriptor` argument.
#include <cstdint>

#include "python/args.hpp"
#include "python/from_python.hpp"
#include "python/objects.hpp"
#include "python/runs_python.hpp"
#include "python/to_python.hpp"

namespace trellan::py {

namespace {

struct DescriptorObject {
  PyObject_HEAD
  std::unique_ptr<const PayloadDescriptor> descriptor;  // never null once built
};

constexpr const char* kClassDoc =
    "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, "
    "preprocessing_ref=None)\n--\n\n"
    "Reproducibility metadata an External node carries (participates in the structural hash).";

const PayloadDescriptor& descriptor_of(PyObject* self) {
  return *reinterpret_cast<DescriptorObject*>(self)->descriptor;
}

std::optional<std::string> to_optional_utf8(PyObject* o) {
  if (o == nullptr || o == Py_None) return std::nullopt;
  return to_utf8(o);
}

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    static const Signature sig("PayloadDescriptor", {
        Param::required_keyword("kind"),
        Param::required_keyword("content_hash"),
        Param::required_keyword("framework"),
        Param::required_keyword("version"),
        Param::required_keyword("io_schema"),
        Param::optional_keyword("preprocessing_ref"),
    });
    BoundArgs a = sig.bind(args, kwargs);
    auto d = std::make_unique<PayloadDescriptor>();
    d->kind = a.convert(0, to_utf8);
    d->content_hash = a.convert(1, to_utf8);
    d->framework = a.convert(2, to_utf8);
    d->version = a.convert(3, to_utf8);
    d->io_schema = a.convert(4, to_utf8);
    d->preprocessing_ref = a.convert(5, to_optional_utf8);
    PyRef self = alloc_instance(type);
    using Owner = std::unique_ptr<const PayloadDescriptor>;
    new (&reinterpret_cast<DescriptorObject*>(self.get())->descriptor) Owner(std::move(d));
    return self;
  });
}

void descriptor_dealloc(PyObject* self) {
  using Owner = std::unique_ptr<const PayloadDescriptor>;
  reinterpret_cast<DescriptorObject*>(self)->descriptor.~Owner();
  free_instance(self);
}

// One getter for the five string fields; the closure names the field.
using StringField = std::string PayloadDescriptor::*;
const StringField kStringFields[] = {
    &PayloadDescriptor::kind,    &PayloadDescriptor::content_hash, &PayloadDescriptor::framework,
    &PayloadDescriptor::version, &PayloadDescriptor::io_schema,
};

PyObject* get_string_field(PyObject* self, void* closure) {
  return entry([&] {
    StringField field = kStringFields[reinterpret_cast<uintptr_t>(closure)];
    return new_str(descriptor_of(self).*field);
  });
}

PyObject* get_preprocessing_ref(PyObject* self, void*) {
  return entry([&] {
    const auto& ref = descriptor_of(self).preprocessing_ref;
    return ref ? new_str(*ref) : PyRef::borrow(Py_None);
  });
}

void* field_index(uintptr_t i) { return reinterpret_cast<void*>(i); }

PyGetSetDef kProperties[] = {
    {"kind", get_string_field, nullptr, nullptr, field_index(0)},
    {"content_hash", get_string_field, nullptr, nullptr, field_index(1)},
    {"framework", get_string_field, nullptr, nullptr, field_index(2)},
    {"version", get_string_field, nullptr, nullptr, field_index(3)},
    {"io_schema", get_string_field, nullptr, nullptr, field_index(4)},
    {"preprocessing_ref", get_preprocessing_ref, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A value of the descriptor dict, read from the dict itself (a dict
// subclass's own item lookup is not invoked). Null when the key is missing.
// The lookup compares with the dict's keys, whose __eq__ (a str subclass's)
// may be Python code.
PyRef dict_lookup(PyObject* dict, const char* key) {
  PyRef k = PyRef::check(PyUnicode_FromString(key));
  PyObject* value = runs_python(PyDict_GetItemWithError, dict, k.get());
  if (value == nullptr && PyErr_Occurred()) throw_python_error();
  return PyRef::borrow(value);
}

PayloadDescriptor descriptor_from_dict(PyObject* dict) {
  PayloadDescriptor d;
  PyRef ref = dict_lookup(dict, "preprocessing_ref");
  if (ref && ref.get() != Py_None) d.preprocessing_ref = to_utf8(ref.get());
  const std::pair<const char*, std::string*> required[] = {
      {"kind", &d.kind},       {"content_hash", &d.content_hash}, {"framework", &d.framework},
      {"version", &d.version}, {"io_schema", &d.io_schema},
  };
  for (const auto& [key, field] : required) {
    PyRef value = dict_lookup(dict, key);
    if (!value) {
      raise_error(PyExc_ValueError, std::string("descriptor missing required field '") + key + "'");
    }
    *field = to_utf8(value.get());
  }
  return d;
}

}  // namespace

PyTypeObject* payload_descriptor_type() {
  static PyTypeObject* type = nullptr;
  if (type != nullptr) return type;
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_new, reinterpret_cast<void*>(descriptor_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
      {Py_tp_getset, kProperties},
      {0, nullptr},
  };
  static PyType_Spec spec = {"trellan_core.PayloadDescriptor", sizeof(DescriptorObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  type = create_type(spec);
  return type;
}

PayloadDescriptor to_descriptor(PyObject* o) {
  if (PyObject_TypeCheck(o, payload_descriptor_type())) return descriptor_of(o);
  if (PyDict_Check(o)) return descriptor_from_dict(o);
  raise_error(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
}

}  // namespace trellan::py
