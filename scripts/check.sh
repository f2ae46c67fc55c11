#!/usr/bin/env bash
# The fast loop between edits (make check): the release build (preset
# "release": libraries, C library, module, tests), the C++ suites under CTest,
# the Python suite against the module of that build, and the house style.
# Incremental: on a warm tree it builds only what changed. `make test` is the
# full run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc 2>/dev/null || echo 2)

echo "== format"
scripts/check-format.sh

echo "== release build"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"

echo "== C++ tests"
if ! ctest --preset release -j "$jobs" >build/release/ctest.log; then
  grep -v ' Passed ' build/release/ctest.log
  exit 1
fi
tail -n 3 build/release/ctest.log

echo "== Python tests against build/release"
(
  cd python/tests
  PYTHONPATH="$OLDPWD/build/release/python:$OLDPWD" KELVARA_C_LIBRARY="$OLDPWD/build/release/capi/libkelvara.so" \
    python -m pytest -q -p no:cacheprovider "$@"
)
