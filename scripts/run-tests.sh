#!/usr/bin/env bash
# Every test: first make check (the house style, the release build's C++ and
# Python suites), then the C library installed and linked as a C user would
# (with the docs' C blocks), a plain CMake build, add_subdirectory and a colcon
# workspace, the arm demo's own test (scripts/test-demo.sh), the C++ suites and
# the Python suite under AddressSanitizer and UBSan (preset "sanitize"); then the
# sdist and wheel as `python -m build` makes them, each wheel tested in a fresh
# virtual environment
# (scripts/test-wheel.sh): on 3.12, and on 3.13 where one is found. The Python
# suite also loads libkelvara.so (KELVARA_C_LIBRARY) to check receipts across
# the two faces.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc 2>/dev/null || echo 2)

scripts/check.sh

echo "== C library: install, link with pkg-config and find_package, run without Python"
scripts/test-c-install.sh build/release

echo "== CMake: a plain configure, build and install; add_subdirectory from a parent project"
scripts/test-cmake-build.sh

echo "== colcon: a workspace holding Kelvara and a package that finds it"
scripts/test-colcon.sh

echo "== the arm demo: a short run over UDP, and no process left behind"
scripts/test-demo.sh

echo "== C++ unit tests and Python tests under AddressSanitizer and UBSan"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize -j "$jobs"
# The interpreter itself is not instrumented, so the runtimes are preloaded; its
# own allocations at exit are not ours to judge, hence no leak report.
(
  cd python/tests
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$OLDPWD/build/sanitize/python:$OLDPWD" \
  KELVARA_C_LIBRARY="$OLDPWD/build/sanitize/capi/libkelvara.so" \
    python -m pytest -q -p no:cacheprovider "$@"
)

echo "== sdist and wheel (python -m build)"
rm -rf build/dist
python -m build --no-isolation --outdir build/dist . >build/dist.log 2>&1 || { cat build/dist.log; exit 1; }
ls build/dist

echo "== the wheel in a fresh virtual environment"
# The suite also loads the C library, to check receipts across the two faces.
export KELVARA_C_LIBRARY="$PWD/build/release/capi/libkelvara.so"
scripts/test-wheel.sh "$(scripts/find-python.sh)" build/dist full
if python313=$(scripts/find-python.sh 3.13); then
  scripts/test-wheel.sh "$python313" build/dist full
else
  echo "-- no CPython 3.13 found: skipped"
fi
