// The input rows of a batch builder: one inputs list per node to record.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <vector>

#include "node/id_list.hpp"

namespace trellan::py {

// Every row's ids one after another, and where each row ends.
struct IdRows {
  std::vector<NodeId> ids;
  std::vector<size_t> ends;
};

// The rows of argument `argument`: a 2-D buffer of integers, read in place
// without an object per id, or else a sequence (but str) of inputs
// sequences. A row that fails to convert raises what a single builder raises
// for those inputs, with "row N: " before the message.
IdRows to_id_rows(PyObject* o, const char* argument);

}  // namespace trellan::py
