// The IncrementalReducer class. The reducer sits behind a lock of its own,
// held for a whole method call; while holding it a call may take a store's
// lock (inside the store's own operations), never the other way round.
//
// Only core code runs under the reducer lock: arguments are converted before
// it is taken, and results become Python objects after it is released, so a
// Python error can never reach the lock. finalize releases the interpreter
// lock before it takes the reducer lock and takes it back after releasing
// it. step releases it once it sees a long delta (under both locks: giving
// the interpreter lock up there is harmless, only taking it back waits for
// it after both are released) and keeps it for a short one; like the
// counters, it releases it anyway while it waits for a taken lock.
//
// The core keeps the reducer consistent whatever fails in a call: finalize
// only reads it, and a step consumes each node whole or not at all, so a
// step that runs out of memory part-way leaves the reducer as a shorter
// delta would have (the state a step failing on an unknown id leaves too).
// No failure poisons the lock, then; a poisoned lock still fails every call
// with the panic "incremental reducer poisoned".
#include <algorithm>
#include <atomic>
#include <variant>

#include "common/poison_mutex.hpp"
#include "optimizer/engine/saturation_engine.hpp"
#include "optimizer/incremental/incremental_reducer.hpp"
#include "optimizer/passes/store_reduce.hpp"
#include "python/args.hpp"
#include "python/from_python.hpp"
#include "python/gil.hpp"
#include "python/objects.hpp"
#include "python/to_python.hpp"

namespace trellan::py {

namespace {

constexpr auto kConsistent = PoisonMutex::OnFailure::Consistent;

struct ReducerState {
  PoisonMutex lock{"incremental reducer poisoned"};
  IncrementalReducer reducer;
  // The serial of the store the reducer belongs to: 0 until its first step or
  // finalize. Written once, under the lock; read without it as well, to refuse
  // another store before a call does any work.
  std::atomic<uint64_t> store_serial{0};
};

// Why a call consumed nothing more: a node id the reducer cannot resolve, or
// a store other than the one the reducer belongs to.
struct OtherStore {};
using Refusal = std::variant<BadNodeId, OtherStore>;

bool bound_elsewhere(const ReducerState& s, const GraphStore& store) {
  const uint64_t bound = s.store_serial.load(std::memory_order_acquire);
  return bound != 0 && bound != store.serial();
}

[[noreturn]] void raise_refusal(const Refusal& refusal) {
  if (const auto* bad = std::get_if<BadNodeId>(&refusal)) raise_bad_node_id(*bad);
  raise_error(PyExc_ValueError, "IncrementalReducer is bound to another GraphStore");
}

// Refuses another store before the call does any work; consume_delta checks
// again under the lock, where the binding is made.
void check_store(const ReducerState& s, const GraphStore& store) {
  if (bound_elsewhere(s, store)) raise_refusal(OtherStore{});
}

struct ReducerObject {
  PyObject_HEAD
  std::unique_ptr<ReducerState> state;  // never null once built
};

constexpr const char* kClassDoc =
    "IncrementalReducer()\n--\n\n"
    "Genuinely incremental reduction (plan §A.1): feed it a store as the graph is being built; each\n"
    "`step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,\n"
    "commutativity dedup, hash-consing — the same sound rules the SaturationEngine runs), so a concise\n"
    "canonical form is maintained while building and `finalize` does one linear pass instead of a\n"
    "whole-history optimization. `total_work()` counts nodes processed across all steps — it equals\n"
    "the node count of the store, no matter how many steps fed it (the incrementality witness).";

constexpr const char* kStepDoc =
    "step($self, store)\n--\n\n"
    "Consume the nodes recorded in `store` since the last step. Returns how many were processed\n"
    "(the delta size). The reducer must always be fed the same store.";

constexpr const char* kFinalizeDoc =
    "finalize($self, store, *, maximal_fusion=False, outputs=None)\n--\n\n"
    "Finish: consume any remaining delta, then reduce the maintained canonical form against the\n"
    "store's marked outputs — or, with `outputs=`, against EXACTLY that set (M22: stored marks\n"
    "ignored). Returns the reduced store + report, exactly like `GraphStore.reduce`.";

ReducerState& state_of(PyObject* self) { return *reinterpret_cast<ReducerObject*>(self)->state; }

PyObject* reducer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    static const Signature sig("IncrementalReducer", {});
    sig.bind(args, kwargs);
    auto state = std::make_unique<ReducerState>();
    PyRef self = alloc_instance(type);
    using Owner = std::unique_ptr<ReducerState>;
    new (&reinterpret_cast<ReducerObject*>(self.get())->state) Owner(std::move(state));
    return self;
  });
}

void reducer_dealloc(PyObject* self) {
  using Owner = std::unique_ptr<ReducerState>;
  reinterpret_cast<ReducerObject*>(self)->state.~Owner();
  free_instance(self);
}

// A delta this long or longer is consumed without the interpreter lock
// (half a millisecond or so); a shorter one keeps it, since front ends step
// after every few nodes and a round trip through the interpreter lock would
// cost more than such a step.
constexpr uint64_t kDetachedDelta = 4096;

// Feeds the nodes recorded since the watermark. Caller holds the reducer lock.
// The new nodes are read in place under the store lock instead of copied out
// (a copy of a large delta would cost as much as the step): the step is pure
// C++ and takes no other lock, and the store lock comes after the reducer's.
//
// The watermark counts nodes of one store, so the first store a reducer
// consumes from is the only one it accepts; any other is refused with the
// reducer unchanged. Stores are told apart by serial number, since a new store
// may take the address of a freed one.
//
// Given the caller's scope (declared before its reducer guard), a long delta
// is consumed without the interpreter lock, released into that scope.
Result<uint64_t, Refusal> consume_delta(ReducerState& s, const GraphStore& store,
                                        GilRelease* released) {
  if (bound_elsewhere(s, store)) return Err<Refusal>(OtherStore{});
  IncrementalReducer& reducer = s.reducer;
  const auto bind = [&] { s.store_serial.store(store.serial(), std::memory_order_release); };
  auto consumed = store.read_locked([&](std::span<const NodeKey> nodes, std::span<const NodeId>) {
    const uint64_t watermark = reducer.watermark();
    const uint64_t from = std::min<uint64_t>(watermark, nodes.size());
    if (released != nullptr && nodes.size() - from >= kDetachedDelta) released->now();
    try {
      return reducer.step(nodes.subspan(from));
    } catch (...) {
      // Out of memory part-way: the nodes consumed so far belong to this
      // store. A step that consumed none leaves the reducer as it was.
      if (reducer.watermark() != watermark) bind();
      throw;
    }
  });
  bind();
  if (!consumed) return Err<Refusal>(consumed.error());
  return consumed.value();
}

PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("step", {Param::required("store")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    const GraphStore& store = a.convert(0, to_store);
    ReducerState& s = state_of(self);
    check_store(s, store);
    Result<uint64_t, Refusal> consumed = [&] {
      GilRelease released;  // outlives the guard
      auto guard = s.lock.lock(kConsistent);
      return consume_delta(s, store, &released);
    }();
    if (!consumed) raise_refusal(consumed.error());
    return new_int(consumed.value());
  });
}

// watermark, total_work and canonical_count: one value read under the lock.
template <uint64_t (IncrementalReducer::*Read)() const>
PyObject* read_counter(PyObject* self, PyObject*) {
  return entry([&] {
    ReducerState& s = state_of(self);
    uint64_t value = [&] {
      auto guard = s.lock.lock(kConsistent);
      return (s.reducer.*Read)();
    }();
    return new_int(value);
  });
}

PyObject* finalize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("finalize", {Param::required("store"),
                                            Param::optional_keyword("maximal_fusion"),
                                            Param::optional_keyword("outputs")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    const GraphStore& store = a.convert(0, to_store);
    bool maximal_fusion = a.convert(1, to_flag);
    auto requested = a.convert(2, to_optional_id_list);
    ReducerState& s = state_of(self);
    check_store(s, store);
    // The outputs are fixed before the reducer lock is taken.
    const std::vector<NodeId> outputs = outputs_or_marks(store, std::move(requested));
    Result<StoreAndReport, Refusal> result = detached([&]() -> Result<StoreAndReport, Refusal> {
      auto reduced = [&]() -> Result<Reduced, Refusal> {
        auto guard = s.lock.lock(kConsistent);
        auto consumed = consume_delta(s, store, nullptr);
        if (!consumed) return Err<Refusal>(consumed.error());
        engine::SaturationEngine engine;
        auto finalized = s.reducer.finalize(outputs, engine, maximal_fusion);
        if (!finalized) return Err<Refusal>(finalized.error());
        return std::move(finalized).value();
      }();
      if (!reduced) return Err<Refusal>(reduced.error());
      // The reduced store owes nothing to the reducer: built after its lock.
      return store_from_reduced(std::move(reduced).value());
    });
    if (!result) raise_refusal(result.error());
    return reduction_result(std::move(result).value());
  });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"step", as_method(step), kFastcall, kStepDoc},
    {"watermark", as_method(read_counter<&IncrementalReducer::watermark>), METH_NOARGS,
     "watermark($self)\n--\n\nHow many of the store's nodes have been consumed so far."},
    {"total_work", as_method(read_counter<&IncrementalReducer::total_work>), METH_NOARGS,
     "total_work($self)\n--\n\n"
     "Cumulative nodes processed across all steps (== watermark: each node touched once)."},
    {"canonical_count", as_method(read_counter<&IncrementalReducer::canonical_count>), METH_NOARGS,
     "canonical_count($self)\n--\n\nSize of the maintained canonical form."},
    {"finalize", as_method(finalize), kFastcall, kFinalizeDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* incremental_reducer_type() {
  static PyTypeObject* type = nullptr;
  if (type != nullptr) return type;
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_new, reinterpret_cast<void*>(reducer_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(reducer_dealloc)},
      {Py_tp_methods, kMethods},
      {0, nullptr},
  };
  static PyType_Spec spec = {"trellan_core.IncrementalReducer", sizeof(ReducerObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  type = create_type(spec);
  return type;
}

}  // namespace trellan::py
