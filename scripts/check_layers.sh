#!/usr/bin/env bash
# The layering, checked: each layer includes only headers of the layers below it.
#   support, egraph  <  store layer (common param node store serialize)  <  optimizer  <  python
# (The store layer also builds as a CMake target of its own, trellan_store.)
set -euo pipefail
cd "$(dirname "$0")/.."

fail=0
refuse() {  # $1: what, $2: extended regex of includes, rest: paths
  local what=$1 pattern=$2; shift 2
  if grep -rnE "^#include [\"<]($pattern)" "$@"; then
    echo "layering: $what" >&2
    fail=1
  fi
}
refuse "only src/python includes Python.h" 'Python\.h' src/common src/param src/node src/store src/serialize src/optimizer
refuse "the store layer reaches up" 'optimizer/|python/|egraph/' src/common src/param src/node src/store src/serialize
refuse "the optimizer reaches up" 'python/' src/optimizer
refuse "egraph knows nothing of src/" 'common/|param/|node/|store/|serialize/|optimizer/|python/' egraph support
exit $fail
