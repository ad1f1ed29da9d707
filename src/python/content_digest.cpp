// The module function content_digest: BLAKE3 of some buffers' bytes, for
// fingerprinting data by content. Large inputs are hashed without the
// interpreter lock; the buffers stay exported (so unresizable) meanwhile.
#include <vector>

#include "python/gil.hpp"
#include "python/objects.hpp"
#include "python/runs_python.hpp"
#include "store/digest_hash.hpp"

namespace trellan::py {

namespace {

constexpr const char* kContentDigestDoc =
    "content_digest(*pieces)\n--\n\n"
    "The 32-byte BLAKE3 hash (plain mode) of the pieces' bytes, one after another. Each piece is a\n"
    "bytes-like object whose memory is contiguous, such as bytes, a memoryview or a C-ordered\n"
    "NumPy array.";

// Below this many bytes the hash keeps the interpreter lock.
constexpr size_t kDetachAbove = 1 << 16;

// The buffers of the pieces, released when it goes.
class Buffers {
 public:
  explicit Buffers(size_t count) {
    views_.reserve(count);
    spans_.reserve(count);
  }
  Buffers(const Buffers&) = delete;
  Buffers& operator=(const Buffers&) = delete;
  ~Buffers() {
    // An exporter's release hook, like its export, is Python code of its own.
    for (Py_buffer& view : views_) runs_python(PyBuffer_Release, &view);
  }

  void add(PyObject* o) {
    Py_buffer view;
    if (runs_python(PyObject_GetBuffer, o, &view, PyBUF_SIMPLE) != 0) throw_python_error();
    views_.push_back(view);  // room reserved: neither push can throw
    spans_.push_back({static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len)});
    bytes_ += spans_.back().size();
  }
  const std::vector<std::span<const uint8_t>>& spans() const { return spans_; }
  size_t bytes() const { return bytes_; }

 private:
  std::vector<Py_buffer> views_;
  std::vector<std::span<const uint8_t>> spans_;
  size_t bytes_ = 0;
};

PyObject* content_digest(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return entry([&] {
    Buffers buffers(static_cast<size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) buffers.add(args[i]);
    const Digest digest = [&] {
      GilRelease released;
      if (buffers.bytes() > kDetachAbove) released.now();
      return content_hash(buffers.spans());
    }();
    return PyRef::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(digest.data()), kDigestSize));
  });
}

PyMethodDef kContentDigestDef = {"content_digest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(content_digest)),
                                 METH_FASTCALL, kContentDigestDoc};

}  // namespace

PyRef content_digest_function(PyObject* module) {
  PyRef module_name = PyRef::check(PyModule_GetNameObject(module));
  return PyRef::check(PyCFunction_NewEx(&kContentDigestDef, module, module_name.get()));
}

}  // namespace trellan::py
