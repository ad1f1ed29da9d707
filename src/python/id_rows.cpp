#include "python/id_rows.hpp"

#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

#include "python/args.hpp"
#include "python/from_python.hpp"
#include "python/runs_python.hpp"

namespace trellan::py {

namespace {

class BufferView {
 public:
  explicit BufferView(Py_buffer& view) : view_(view) {}
  ~BufferView() { runs_python(PyBuffer_Release, &view_); }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

 private:
  Py_buffer& view_;
};

// Whether a struct format names one integer in this machine's byte order,
// and if so whether it is signed; its size is the buffer's item size. Bools
// are no ids, as a single builder finds them.
std::optional<bool> integer_signedness(const char* format) {
  if (format == nullptr) return false;  // plain bytes
  static_assert(std::endian::native == std::endian::little);
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
  if (std::strchr("bhilqn", format[0]) != nullptr) return true;
  if (std::strchr("BHILQN", format[0]) != nullptr) return false;
  return std::nullopt;
}

[[noreturn]] void raise_negative(size_t row) {
  raise_error(PyExc_OverflowError, "row " + std::to_string(row) + ": can't convert negative int to unsigned");
}

template <class T>
void read_rows(const Py_buffer& view, IdRows& out) {
  const auto rows = static_cast<size_t>(view.shape[0]);
  const auto width = static_cast<size_t>(view.shape[1]);
  out.ids.resize(rows * width);
  out.ends.resize(rows);
  const auto* base = static_cast<const char*>(view.buf);
  NodeId* to = out.ids.data();
  for (size_t r = 0; r < rows; ++r) {
    const char* at = base + static_cast<Py_ssize_t>(r) * view.strides[0];
    for (size_t c = 0; c < width; ++c, at += view.strides[1]) {
      T value;
      std::memcpy(&value, at, sizeof value);
      if constexpr (std::is_signed_v<T>) {
        if (value < 0) raise_negative(r);
      }
      *to++ = static_cast<NodeId>(value);
    }
    out.ends[r] = (r + 1) * width;
  }
}

// The rows of a 2-D integer buffer; nothing, with no error set, for any other
// object, which is then read as a sequence.
std::optional<IdRows> buffer_rows(PyObject* o) {
  if (!PyObject_CheckBuffer(o)) return std::nullopt;
  Py_buffer view;
  // A Python class may export (and release) a buffer in Python code.
  if (runs_python(PyObject_GetBuffer, o, &view, PyBUF_RECORDS_RO) != 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_python_error();
    runs_python(PyErr_Clear);
    return std::nullopt;
  }
  BufferView release(view);
  const std::optional<bool> is_signed = integer_signedness(view.format);
  if (view.ndim != 2 || !is_signed) return std::nullopt;
  IdRows rows;
  switch (view.itemsize) {
    case 1: *is_signed ? read_rows<int8_t>(view, rows) : read_rows<uint8_t>(view, rows); break;
    case 2: *is_signed ? read_rows<int16_t>(view, rows) : read_rows<uint16_t>(view, rows); break;
    case 4: *is_signed ? read_rows<int32_t>(view, rows) : read_rows<uint32_t>(view, rows); break;
    case 8: *is_signed ? read_rows<int64_t>(view, rows) : read_rows<uint64_t>(view, rows); break;
    default: return std::nullopt;
  }
  return rows;
}

// A row that is an exact list or tuple of exact ints in range, appended to
// out. Reading it runs no Python code, so the container it came from cannot
// change meanwhile and may lend it. Any other row gives false, with out as it
// was and no error set: the general path then reads it, and raises what a
// single builder raises.
bool append_plain_row(PyObject* row, std::vector<NodeId>& out) {
  const bool list = PyList_CheckExact(row);
  if (!list && !PyTuple_CheckExact(row)) return false;
  const Py_ssize_t n = Py_SIZE(row);  // a list's or tuple's length, read without a call
  const size_t start = out.size();
  for (Py_ssize_t j = 0; j < n; ++j) {
    PyObject* item = list ? PyList_GetItem(row, j) : PyTuple_GetItem(row, j);
    if (!PyLong_CheckExact(item)) {
      out.resize(start);
      return false;
    }
    const unsigned long long id = PyLong_AsUnsignedLongLong(item);
    if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      out.resize(start);
      return false;
    }
    out.push_back(id);
  }
  return true;
}

}  // namespace

IdRows to_id_rows(PyObject* o, const char* argument) {
  if (auto rows = buffer_rows(o)) return std::move(*rows);
  const Py_ssize_t n = convert_argument(argument, [&] {
    if (PyUnicode_Check(o)) raise_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) raise_not_instance(o, "Sequence");
    const Py_ssize_t size = runs_python(PySequence_Size, o);
    if (size < 0) throw_python_error();
    return size;
  });
  IdRows rows;
  rows.ends.reserve(static_cast<size_t>(n));
  rows.ids.reserve(static_cast<size_t>(n));  // most rows hold an id or two
  // The rows of a list or tuple are lent while they are read in place.
  const bool lends = PyList_CheckExact(o) || PyTuple_CheckExact(o);
  for (Py_ssize_t i = 0; i < n; ++i) {
    try {
      PyRef row;
      if (lends) {
        PyObject* lent = PyList_CheckExact(o) ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i);
        if (lent == nullptr) throw_python_error();  // a row before shrank the list
        if (append_plain_row(lent, rows.ids)) {
          rows.ends.push_back(rows.ids.size());
          continue;
        }
        row = PyRef::borrow(lent);
      } else {
        row = PyRef::check(runs_python(PySequence_GetItem, o, i));
      }
      convert_argument(argument, [&] { append_ids(row.get(), rows.ids); });
    } catch (const PythonError&) {
      prefix_row_error(static_cast<size_t>(i));
      throw;
    }
    rows.ends.push_back(rows.ids.size());
  }
  return rows;
}

}  // namespace trellan::py
