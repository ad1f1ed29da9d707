// The ExecutionPlan class: a read-only holder of a plan's arrays, built by
// GraphStore.execution_plan. Every integer array is a read-only memoryview of
// the plan's own memory (no copy, NumPy wraps it as it is), a fresh one on
// every access, so that a caller who releases one (`with plan.ids as m:`)
// releases nothing another caller holds. The exporters behind them and the
// tuples of distinct names, params and descriptors are made once, when the
// plan is.
#include <array>
#include <vector>

#include "python/args.hpp"
#include "python/from_python.hpp"
#include "python/gil.hpp"
#include "python/objects.hpp"
#include "python/runs_python.hpp"
#include "python/to_python.hpp"
#include "store/execution_plan.hpp"

namespace trellan::py {

namespace {

using SharedPlan = std::shared_ptr<const ExecutionPlan>;

constexpr const char* kPlanDoc =
    "What an executor needs to run the nodes some outputs depend on, as flat arrays; made by\n"
    "GraphStore.execution_plan. Each read of an array attribute makes a new read-only memoryview\n"
    "of the plan's memory. len(plan) is the number of steps.";

constexpr const char* kExecutionPlanMethodDoc =
    "execution_plan($self, outputs=None)\n--\n\n"
    "The ExecutionPlan of the nodes that `outputs` (default: the marks) depend on.";

// ---- The exporter behind each array's memoryviews: one array of the plan.
// Only the plan makes them.

struct PlanArrayObject {
  PyObject_HEAD
  SharedPlan owner;  // keeps the memory alive
  const void* data;
  Py_ssize_t shape;
  Py_ssize_t itemsize;
  const char* format;
};

int plan_array_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* a = reinterpret_cast<PlanArrayObject*>(self);
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    view->obj = nullptr;
    PyErr_SetString(PyExc_BufferError, "the plan's arrays are read-only");
    return -1;
  }
  static const int64_t kEmpty = 0;  // a valid address for an empty array
  view->buf = const_cast<void*>(a->shape ? a->data : &kEmpty);
  view->obj = Py_NewRef(self);
  view->len = a->shape * a->itemsize;
  view->readonly = 1;
  view->itemsize = a->itemsize;
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(a->format) : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &a->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &a->itemsize : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void plan_array_dealloc(PyObject* self) {
  reinterpret_cast<PlanArrayObject*>(self)->owner.~SharedPlan();
  free_instance(self);
}

PyTypeObject* plan_array_type() {
  static PyTypeObject* type = nullptr;
  if (type != nullptr) return type;
  static PyType_Slot slots[] = {
      {Py_bf_getbuffer, reinterpret_cast<void*>(plan_array_getbuffer)},
      {Py_tp_dealloc, reinterpret_cast<void*>(plan_array_dealloc)},
      {0, nullptr},
  };
  static PyType_Spec spec = {"trellan_core._PlanArray", sizeof(PlanArrayObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             slots};
  type = create_type(spec);
  return type;
}

template <class T>
constexpr const char* format_of() {
  if constexpr (std::is_same_v<T, int64_t>) return "q";
  if constexpr (std::is_same_v<T, int32_t>) return "i";
  return "B";
}

template <class T>
PyRef array_exporter(const SharedPlan& plan, const std::vector<T>& items) {
  PyRef exporter = alloc_instance(plan_array_type());
  auto* a = reinterpret_cast<PlanArrayObject*>(exporter.get());
  new (&a->owner) SharedPlan(plan);
  a->data = items.data();
  a->shape = static_cast<Py_ssize_t>(items.size());
  a->itemsize = sizeof(T);
  a->format = format_of<T>();
  return exporter;
}

// ---- The plan.

enum Field : size_t {
  kIds, kKinds, kKindNames, kNames, kNameIndex, kParams, kParamsIndex, kDescriptors, kDescriptorIndex,
  kInputOffsets, kInputs, kLastUse, kOutputs, kMemberOffsets, kMemberKinds, kMemberNameIndex,
  kMemberParamsIndex, kRefOffsets, kRefs, kMemberLastUse, kOperators, kOperatorIndex, kMemberOperatorIndex,
  kStageShape, kShapeFirst, kShapeUses, kFieldCount,
};

struct PlanObject {
  PyObject_HEAD
  Py_ssize_t steps;
  std::array<PyObject*, kFieldCount> fields;  // owned: an array's exporter, or a tuple
  SharedPlan plan;
  PyObject* store;    // owned: the store whose digests and node map the plan reads
  PyObject* digests;  // owned; null until first asked for
};

template <class T, class F>
PyRef tuple_of(const std::vector<T>& items, F convert) {
  PyRef tuple = new_tuple(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    if (PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), convert(items[i]).release()) < 0) {
      throw_python_error();  // LCOV_EXCL_LINE: a new tuple takes every item
    }
  }
  return tuple;
}

PyRef new_signed(int64_t v) { return PyRef::check(PyLong_FromLongLong(v)); }

PyRef kind_names() {
  static const NodeKind kinds[] = {NodeKind::Source, NodeKind::Op, NodeKind::Reduction, NodeKind::External,
                                   NodeKind::Stage, NodeKind::Exchange, NodeKind::Join};
  PyRef tuple = new_tuple(std::size(kinds));
  for (NodeKind k : kinds) {
    PyRef name = PyRef::check(PyUnicode_InternFromString(kind_name(k)));
    if (PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(k), name.release()) < 0) throw_python_error();
  }
  return tuple;
}

std::array<PyRef, kFieldCount> plan_fields(const SharedPlan& p) {
  std::array<PyRef, kFieldCount> f;
  f[kIds] = array_exporter(p, p->ids);
  f[kKinds] = array_exporter(p, p->kinds);
  f[kKindNames] = kind_names();
  f[kNames] = tuple_of(p->names, [](const std::string& s) { return new_str(s); });
  f[kNameIndex] = array_exporter(p, p->name_index);
  KeyStrings keys;
  f[kParams] = tuple_of(p->params, [&](const ParamMap& m) { return param_map_to_dict(m, &keys); });
  f[kParamsIndex] = array_exporter(p, p->params_index);
  f[kDescriptors] = tuple_of(p->descriptors, descriptor_to_dict);
  f[kDescriptorIndex] = array_exporter(p, p->descriptor_index);
  f[kInputOffsets] = array_exporter(p, p->input_offsets);
  f[kInputs] = array_exporter(p, p->inputs);
  f[kLastUse] = array_exporter(p, p->last_use);
  f[kOutputs] = array_exporter(p, p->outputs);
  f[kMemberOffsets] = array_exporter(p, p->member_offsets);
  f[kMemberKinds] = array_exporter(p, p->member_kinds);
  f[kMemberNameIndex] = array_exporter(p, p->member_name_index);
  f[kMemberParamsIndex] = array_exporter(p, p->member_params_index);
  f[kRefOffsets] = array_exporter(p, p->ref_offsets);
  f[kRefs] = array_exporter(p, p->refs);
  f[kMemberLastUse] = array_exporter(p, p->member_last_use);
  f[kOperators] = tuple_of(p->operators, [](const std::array<int32_t, 4>& op) {
    return make_tuple({new_signed(op[0]), new_signed(op[1]), new_signed(op[2]), new_signed(op[3])});
  });
  f[kOperatorIndex] = array_exporter(p, p->operator_index);
  f[kMemberOperatorIndex] = array_exporter(p, p->member_operator_index);
  f[kStageShape] = array_exporter(p, p->stage_shape);
  f[kShapeFirst] = array_exporter(p, p->shape_first);
  f[kShapeUses] = array_exporter(p, p->shape_uses);
  return f;
}

void plan_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<PlanObject*>(self);
  for (PyObject* field : object->fields) Py_XDECREF(field);
  Py_XDECREF(object->store);
  Py_XDECREF(object->digests);
  object->plan.~SharedPlan();
  free_instance(self);
}

// Below this many steps the digests are read with the interpreter lock held.
constexpr size_t kDigestsDetachAbove = 1 << 14;

// The steps' value digests, computed on first access: a plan is built for
// running, and only a cache needs them. The store keeps every digest it
// computed, so a later plan of the same nodes reads them back. A stage that
// has no value fails here, not when the plan is built.
PyObject* plan_digests(PyObject* self, void*) {
  return entry([&] {
    auto* object = reinterpret_cast<PlanObject*>(self);
    if (object->digests != nullptr) return PyRef::borrow(object->digests);
    const std::vector<int64_t>& ids = object->plan->ids;
    const size_t size = ids.size() * kDigestSize;
    PyRef bytes = PyRef::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    auto* data = reinterpret_cast<uint8_t*>(PyBytes_AsString(bytes.get()));
    const std::span<const NodeId> steps(reinterpret_cast<const NodeId*>(ids.data()), ids.size());
    const GraphStore& store = store_of(object->store);
    Status<DigestError> status = [&] {
      GilRelease released;  // the store's digest lock is waited for without the interpreter lock
      if (ids.size() > kDigestsDetachAbove) released.now();
      return store.value_digests(steps, data);
    }();
    if (!status) raise_error(PyExc_ValueError, status.error().message());
    if (object->digests == nullptr) object->digests = Py_NewRef(bytes.get());
    return PyRef::borrow(object->digests);
  });
}

PyObject* field_of(PyObject* self, void* which) {
  return reinterpret_cast<PlanObject*>(self)->fields[reinterpret_cast<size_t>(which)];
}

PyObject* plan_tuple(PyObject* self, void* which) { return Py_NewRef(field_of(self, which)); }

PyObject* plan_array(PyObject* self, void* which) {
  return entry([&] { return PyRef::check(runs_python(PyMemoryView_FromObject, field_of(self, which))); });
}

Py_ssize_t plan_length(PyObject* self) { return reinterpret_cast<PlanObject*>(self)->steps; }

PyObject* plan_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "ExecutionPlan objects come from GraphStore.execution_plan");
  return nullptr;
}

#define TRELLAN_PLAN_ARRAY(name, index, doc) \
  {name, plan_array, nullptr, doc, reinterpret_cast<void*>(static_cast<size_t>(index))}
#define TRELLAN_PLAN_TUPLE(name, index, doc) \
  {name, plan_tuple, nullptr, doc, reinterpret_cast<void*>(static_cast<size_t>(index))}

PyGetSetDef kPlanFields[] = {
    TRELLAN_PLAN_ARRAY("ids", kIds, "Node id of each step, ascending (a run order: inputs come first)."),
    TRELLAN_PLAN_ARRAY("kinds", kKinds, "Kind of each step, as an index into kind_names."),
    TRELLAN_PLAN_TUPLE("kind_names", kKindNames, "The kind names the kind codes index."),
    TRELLAN_PLAN_TUPLE("names", kNames, "The distinct names, in first-use order."),
    TRELLAN_PLAN_ARRAY("name_index", kNameIndex, "Name of each step, into names (\"\" for unnamed kinds)."),
    TRELLAN_PLAN_TUPLE("params", kParams, "The distinct param dicts, in first-use order."),
    TRELLAN_PLAN_ARRAY("params_index", kParamsIndex, "Params of each step, into params."),
    TRELLAN_PLAN_TUPLE("descriptors", kDescriptors, "The distinct external descriptors, as dicts."),
    TRELLAN_PLAN_ARRAY("descriptor_index", kDescriptorIndex, "Descriptor of each step, or -1."),
    TRELLAN_PLAN_ARRAY("input_offsets", kInputOffsets, "Step s reads inputs[input_offsets[s]:input_offsets[s+1]]."),
    TRELLAN_PLAN_ARRAY("inputs", kInputs, "Input steps, flat."),
    TRELLAN_PLAN_ARRAY("last_use", kLastUse, "The last step that reads each step, or -1."),
    TRELLAN_PLAN_ARRAY("outputs", kOutputs, "The requested outputs as steps, in order, repeats kept."),
    TRELLAN_PLAN_ARRAY("member_offsets", kMemberOffsets, "Step s owns members [member_offsets[s], member_offsets[s+1])."),
    TRELLAN_PLAN_ARRAY("member_kinds", kMemberKinds, "Kind of each member, into kind_names."),
    TRELLAN_PLAN_ARRAY("member_name_index", kMemberNameIndex, "Name of each member, into names."),
    TRELLAN_PLAN_ARRAY("member_params_index", kMemberParamsIndex, "Params of each member, into params."),
    TRELLAN_PLAN_ARRAY("ref_offsets", kRefOffsets, "Member m reads refs[ref_offsets[m]:ref_offsets[m+1]]."),
    TRELLAN_PLAN_ARRAY("refs", kRefs, "r >= 0: member r of the same stage; r < 0: the stage's input slot ~r."),
    TRELLAN_PLAN_ARRAY("member_last_use", kMemberLastUse, "The last member of the stage that reads each member, or -1."),
    TRELLAN_PLAN_TUPLE("operators", kOperators,
                       "The distinct operators of steps and members: (kind, name index, params index,\n"
                       "descriptor index or -1) tuples, one callable each for an executor."),
    TRELLAN_PLAN_ARRAY("operator_index", kOperatorIndex, "The operator each step calls on its input values, into operators: also a stage's\n"
                       "when it is one member reading the stage's inputs in order; -1 for other stages."),
    TRELLAN_PLAN_ARRAY("member_operator_index", kMemberOperatorIndex, "Operator of each member, into operators."),
    TRELLAN_PLAN_ARRAY("stage_shape", kStageShape,
                       "Shape of each stage whose members run (-1 for other steps): stages of one shape run\n"
                       "the same member operators on the same references."),
    TRELLAN_PLAN_ARRAY("shape_first", kShapeFirst, "The first step of each shape."),
    TRELLAN_PLAN_ARRAY("shape_uses", kShapeUses, "How many steps have each shape."),
    {"digests", plan_digests, nullptr,
     "The value digest of each step, 32 bytes each, concatenated in step order (a stage's is its\n"
     "last member's). Computed on first access; ValueError for a stage that has no value.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef TRELLAN_PLAN_ARRAY
#undef TRELLAN_PLAN_TUPLE

PyTypeObject* plan_type_created() {
  static PyTypeObject* type = nullptr;
  if (type != nullptr) return type;
  // The type keeps pointers into these tables for as long as it lives.
  static std::vector<PyMethodDef> methods;
  methods.clear();
  for (auto part : {execution_plan_salted_methods(), execution_plan_task_methods(), execution_plan_graph_methods()}) {
    methods.insert(methods.end(), part.begin(), part.end());
  }
  methods.push_back({nullptr, nullptr, 0, nullptr});
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kPlanDoc)},
      {Py_tp_new, reinterpret_cast<void*>(plan_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(plan_dealloc)},
      {Py_tp_getset, kPlanFields},
      {Py_tp_methods, methods.data()},
      {Py_sq_length, reinterpret_cast<void*>(plan_length)},
      {0, nullptr},
  };
  static PyType_Spec spec = {"trellan_core.ExecutionPlan", sizeof(PlanObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  type = create_type(spec);
  return type;
}

PyRef wrap_plan(ExecutionPlan built, PyObject* store) {
  SharedPlan plan = std::make_shared<const ExecutionPlan>(std::move(built));
  std::array<PyRef, kFieldCount> fields = plan_fields(plan);
  PyRef self = alloc_instance(plan_type_created());
  auto* object = reinterpret_cast<PlanObject*>(self.get());
  object->steps = static_cast<Py_ssize_t>(plan->ids.size());
  for (size_t i = 0; i < kFieldCount; ++i) object->fields[i] = fields[i].release();
  new (&object->plan) SharedPlan(std::move(plan));
  object->store = Py_NewRef(store);
  object->digests = nullptr;
  return self;
}

PyObject* execution_plan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("execution_plan", {Param::optional("outputs")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    auto outputs = a.convert(0, to_optional_id_list);
    const GraphStore& store = store_of(self);
    auto plan = detached([&] { return build_execution_plan(store, std::move(outputs)); });
    if (!plan) {
      const PlanError& error = plan.error();
      raise_error(error.kind == PlanError::Kind::TooLarge ? PyExc_OverflowError : PyExc_ValueError,
                  error.message());
    }
    return wrap_plan(std::move(plan).value(), self);
  });
}

const PyMethodDef kPlanMethods[] = {
    {"execution_plan", as_method(execution_plan), METH_FASTCALL | METH_KEYWORDS, kExecutionPlanMethodDoc},
};

}  // namespace

PyTypeObject* execution_plan_type() { return plan_type_created(); }

const ExecutionPlan& plan_of(PyObject* self) { return *reinterpret_cast<PlanObject*>(self)->plan; }

PyObject* plan_store(PyObject* self) { return reinterpret_cast<PlanObject*>(self)->store; }

std::span<const PyMethodDef> graph_store_plan_methods() { return kPlanMethods; }

}  // namespace trellan::py
