#!/usr/bin/env bash
# Kelvara as other CMake projects meet it, in build/cmake-*:
#  - a plain configure, build and install that sees neither GoogleTest nor
#    Python (what colcon or a packager runs): it must say so, build anyway and
#    install both libraries, the headers, the pkg-config files and the package;
#  - a parent project that takes Kelvara in with add_subdirectory: it gets
#    kelvara::kelvara and kelvara::kelvara_static, keeps its own (empty) build
#    type, and its programs run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "test-cmake-build: $*" >&2; exit 1; }

echo "-- plain configure, build and install without GoogleTest or Python"
plain=build/cmake-plain
rm -rf "$plain"
cmake -S . -B "$plain" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_Python=ON \
  >"$work/configure.log" || { cat "$work/configure.log"; fail "plain configure failed"; }
grep -F 'Kelvara:' "$work/configure.log"
grep -q 'GoogleTest not found, the tests are skipped' "$work/configure.log" || fail "no word on the tests"
grep -q 'the Python module is not built' "$work/configure.log" || fail "no word on the module"
cmake --build "$plain" -j "$jobs" >"$work/build.log" || { cat "$work/build.log"; fail "plain build failed"; }
cmake --install "$plain" --prefix "$work/prefix" >/dev/null
for file in include/kelvara.h include/kelvara/boundary.h include/kelvara/version.h \
    lib/libkelvara.a lib/libkelvara.so lib/pkgconfig/kelvara.pc lib/pkgconfig/kelvara-static.pc \
    lib/cmake/kelvara/kelvara-config.cmake lib/cmake/kelvara/kelvara-targets.cmake; do
  found=$(cd "$work/prefix" && ls -d ${file/lib\//lib*/} 2>/dev/null | head -n 1)
  [ -n "$found" ] || fail "the install lacks $file"
done
[ -z "$(find "$work/prefix" -name '_kelvara*')" ] || fail "the plain build installed the Python module"
echo "  installed: $(cd "$work/prefix" && find . -type f | sort | tr '\n' ' ')"

echo "-- add_subdirectory from a parent project"
sub=build/cmake-subproject
rm -rf "$sub"
cmake -S capi/tests/subproject -B "$sub" -DKELVARA_SOURCE_DIR="$PWD" -DKELVARA_EXPECTED_BUILD_TYPE= \
  >"$work/sub.log" || { cat "$work/sub.log"; fail "parent configure failed"; }
cmake --build "$sub" -j "$jobs" --target sign_and_admit solve_static >"$work/sub-build.log" ||
  { cat "$work/sub-build.log"; fail "parent build failed"; }
"$sub/sign_and_admit" >/dev/null || fail "sign_and_admit (kelvara::kelvara) failed"
"$sub/solve_static" >/dev/null || fail "solve_static (kelvara::kelvara_static) failed"
if ldd "$sub/solve_static" | grep -q libkelvara; then fail "kelvara::kelvara_static still needs libkelvara.so"; fi
echo "test-cmake-build: plain build installs everything; add_subdirectory gives both targets"
