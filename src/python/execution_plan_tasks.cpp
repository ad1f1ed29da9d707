// What a task graph builder reads from an ExecutionPlan besides its arrays,
// each in one native pass: task_key_names, the scheduler key of each step's
// task, and recorded_ids, the recorded ids its node (or each of its stage's
// members) came from, read from the node map of the plan's store, so that a
// task can name them when it raises wherever it runs.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "python/args.hpp"
#include "python/from_python.hpp"
#include "python/gil.hpp"
#include "python/objects.hpp"
#include "python/to_python.hpp"
#include "store/plan_task_keys.hpp"
#include "store/recorded_ids.hpp"

namespace trellan::py {

namespace {

constexpr const char* kKeyNamesDoc =
    "task_key_names($self, token, prefixes, stage_prefixes)\n--\n\n"
    "Per step, a str: a prefix, then the step's task key (GraphStore.task_keys under the 32-byte\n"
    "`token`) in hex. The prefix of a stage is stage_prefixes[o], o the operator of its last\n"
    "member; of any other step prefixes[o], o its operator. Both are lists or tuples of str with\n"
    "one entry per operator.";

constexpr const char* kRecordedDoc =
    "recorded_ids($self)\n--\n\n"
    "Per step, None when no recorded node became it (a store that was never reduced has no\n"
    "node map), else its entries: for a stage, one per member in order, otherwise one. An entry\n"
    "is the recorded id that became it, when exactly one did; otherwise ~count (a negative\n"
    "int), followed by the first three of those ids, ascending. A step of one entry that is an\n"
    "id gets the int itself, any other its entries as bytes, 8 per entry in native byte order\n"
    "(memoryview(b).cast('q') reads them).";

// Below this many steps the keys are computed with the interpreter lock held.
constexpr size_t kDetachAbove = 1 << 14;

// A list or tuple of `count` str, as UTF-8.
std::vector<std::string> to_texts(PyObject* o, size_t count, const char* what) {
  const bool list = PyList_Check(o);
  if (!list && !PyTuple_Check(o)) raise_not_instance(o, "list");
  const Py_ssize_t n = list ? PyList_Size(o) : PyTuple_Size(o);
  if (n < 0) throw_python_error();
  if (static_cast<size_t>(n) != count) {
    raise_error(PyExc_ValueError, std::string(what) + " must have " + std::to_string(count) +
                                      " entries, one per operator, not " + std::to_string(n));
  }
  std::vector<std::string> texts;
  texts.reserve(count);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i);
    if (item == nullptr) throw_python_error();
    texts.push_back(to_utf8(item));
  }
  return texts;
}

PyObject* key_names(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("task_key_names", {Param::required("token"), Param::required("prefixes"),
                                                  Param::required("stage_prefixes")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    const ExecutionPlan& plan = plan_of(self);
    const size_t ops = plan.operators.size();
    const uint8_t* token_bytes = a.convert(0, [](PyObject* o) { return to_sized_bytes(o, kDigestSize, "token"); });
    Digest token;
    std::copy(token_bytes, token_bytes + kDigestSize, token.begin());
    const std::vector<std::string> prefixes = a.convert(1, [&](PyObject* o) { return to_texts(o, ops, "prefixes"); });
    const std::vector<std::string> stage_prefixes =
        a.convert(2, [&](PyObject* o) { return to_texts(o, ops, "stage_prefixes"); });
    const SharedNodes nodes = store_of(plan_store(self)).shared_nodes();
    const std::vector<Digest> keys = [&] {
      GilRelease released;
      if (plan.ids.size() > kDetachAbove) released.now();
      return plan_task_keys(plan, nodes, token);
    }();
    static constexpr char kHex[] = "0123456789abcdef";
    PyRef list = new_list(keys.size());
    std::string text;
    for (size_t s = 0; s < keys.size(); ++s) {
      const bool stage = static_cast<NodeKind>(plan.kinds[s]) == NodeKind::Stage;
      text = stage ? stage_prefixes[plan.member_operator_index[plan.member_offsets[s + 1] - 1]]
                   : prefixes[plan.operator_index[s]];
      const size_t at = text.size();
      text.resize(at + 2 * keys[s].size());
      for (size_t b = 0; b < keys[s].size(); ++b) {
        text[at + 2 * b] = kHex[keys[s][b] >> 4];
        text[at + 2 * b + 1] = kHex[keys[s][b] & 15];
      }
      list_set(list, s, new_str(text));
    }
    return list;
  });
}

PyObject* recorded(PyObject* self, PyObject*) {
  return entry([&] {
    const ExecutionPlan& plan = plan_of(self);
    const NodeMap map = store_of(plan_store(self)).node_map();
    const RecordedIds ids = detached([&] { return recorded_ids(plan, map); });
    const size_t steps = plan.ids.size();
    PyRef list = new_list(steps);
    for (size_t s = 0; s < steps; ++s) {
      const size_t lo = ids.offsets[s], hi = ids.offsets[s + 1];
      if (lo == hi) {
        list_set(list, s, PyRef::borrow(Py_None));
        continue;
      }
      if (hi - lo == 1 && ids.values[lo] >= 0) {  // the usual case: one node, one recorded id
        list_set(list, s, PyRef::check(PyLong_FromLongLong(ids.values[lo])));
        continue;
      }
      // Several entries as one bytes object: one allocation, which the collector never visits.
      list_set(list, s, PyRef::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(&ids.values[lo]),
                                                               static_cast<Py_ssize_t>((hi - lo) * sizeof(int64_t)))));
    }
    return list;
  });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

const PyMethodDef kTaskMethods[] = {
    {"task_key_names", as_method(key_names), kFastcall, kKeyNamesDoc},
    {"recorded_ids", as_method(recorded), METH_NOARGS, kRecordedDoc},
};

}  // namespace

std::span<const PyMethodDef> execution_plan_task_methods() { return kTaskMethods; }

}  // namespace trellan::py
