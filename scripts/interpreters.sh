#!/usr/bin/env bash
# Prints one CPython 3.11 or newer per minor version found on this machine, the default
# python3 first: what is on the PATH, then pyenv's versions.
set -euo pipefail

candidates=(python3)
for v in 11 12 13 14 15 16; do candidates+=("python3.$v"); done
for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3; do [ -x "$p" ] && candidates+=("$p"); done

declare -A seen=()
for p in "${candidates[@]}"; do
  command -v "$p" >/dev/null 2>&1 || continue
  # A pyenv shim for a version that is not selected fails here, and is skipped.
  minor=$("$p" -c 'import sys
ok = sys.implementation.name == "cpython" and sys.version_info >= (3, 11)
print(sys.version_info[1] if ok else "")' 2>/dev/null) || continue
  [ -n "$minor" ] && [ -z "${seen[$minor]:-}" ] || continue
  seen[$minor]=1
  "$p" -c 'import sys; print(sys.executable)'
done
