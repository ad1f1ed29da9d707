// ExecutionPlan.salted_digests: the steps' value digests with each operator
// salted by what runs it, the keys a result cache files values under. One
// native pass over the steps and their members, without the interpreter lock
// when the plan is large.
#include <cstring>
#include <vector>

#include "python/args.hpp"
#include "python/from_python.hpp"
#include "python/gil.hpp"
#include "python/objects.hpp"
#include "python/to_python.hpp"
#include "store/salted_digests.hpp"

namespace trellan::py {

namespace {

constexpr const char* kSaltedDoc =
    "salted_digests($self, salts, unsalted)\n--\n\n"
    "Per step, its value digest with every operator it depends on salted: `salts` holds 32\n"
    "bytes per operator (in `operators` order), `unsalted` one byte per operator, nonzero for an\n"
    "operator that has no salt. Returns `(digests, unsalted_steps)`: 32 bytes per step, and one\n"
    "byte per step, 1 when the step depends on an unsalted operator.";

// Below this many steps the pass keeps the interpreter lock.
constexpr size_t kDetachAbove = 1 << 14;

PyObject* salted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("salted_digests", {Param::required("salts"), Param::required("unsalted")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    const ExecutionPlan& plan = plan_of(self);
    const size_t ops = plan.operators.size();
    const uint8_t* salt_bytes = a.convert(0, [&](PyObject* o) { return to_sized_bytes(o, ops * kDigestSize, "salts"); });
    const uint8_t* flags = a.convert(1, [&](PyObject* o) { return to_sized_bytes(o, ops, "unsalted"); });
    std::vector<Digest> salts(ops);
    for (size_t o = 0; o < ops; ++o) std::memcpy(salts[o].data(), salt_bytes + o * kDigestSize, kDigestSize);
    const std::vector<uint8_t> unsalted(flags, flags + ops);
    SaltedDigests out = [&] {
      GilRelease released;
      if (plan.ids.size() > kDetachAbove) released.now();
      return salted_digests(plan, salts, unsalted);
    }();
    const size_t n = out.digests.size();
    PyRef digests = PyRef::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * kDigestSize)));
    if (n != 0) std::memcpy(PyBytes_AsString(digests.get()), out.digests.data(), n * kDigestSize);
    PyRef steps = PyRef::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.unsalted.data()),
                                                         static_cast<Py_ssize_t>(n)));
    return make_tuple({std::move(digests), std::move(steps)});
  });
}

const PyMethodDef kSaltedMethods[] = {
    {"salted_digests", as_method(salted), METH_FASTCALL | METH_KEYWORDS, kSaltedDoc},
};

}  // namespace

std::span<const PyMethodDef> execution_plan_salted_methods() { return kSaltedMethods; }

}  // namespace trellan::py
