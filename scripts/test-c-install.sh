#!/usr/bin/env bash
# The C library as a C user meets it: installs a configured build into a
# temporary prefix, builds examples/c with `pkg-config --cflags --libs` of
# kelvara (shared) and kelvara-static (the archive), and through CMake's
# find_package(kelvara CONFIG) (both targets), runs every program and checks
# that none of them loads libpython and that the archive's need no libkelvara.so.
# Usage: scripts/test-c-install.sh [BUILD_DIR]   (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name kelvara.pc -path '*/pkgconfig/*')")/..

# Runs one program built against the installed library and checks what it loads.
run() {
  local program=$1
  if ! LD_LIBRARY_PATH="$libdir" "$program" >"$work/out" 2>&1; then
    cat "$work/out"
    echo "test-c-install: $program failed"
    exit 1
  fi
  local loaded
  loaded=$(LD_LIBRARY_PATH="$libdir" ldd "$program")
  if grep -qi python <<<"$loaded"; then
    echo "test-c-install: $program loads Python:"
    echo "$loaded"
    exit 1
  fi
  echo "  $(basename "$program"): ok, $(grep -c '=>' <<<"$loaded") libraries, none of them Python"
}

# Fails when a program built against the archive still needs libkelvara.so.
check_static() {
  if ldd "$1" | grep -q libkelvara; then
    echo "test-c-install: $1, linked with the archive, still needs libkelvara.so"
    exit 1
  fi
}

echo "-- pkg-config: kelvara (shared) and kelvara-static (the archive)"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
for example in sign_and_admit solve envelope; do
  # shellcheck disable=SC2046  # the flags are meant to split
  cc -std=c11 -Wall -Wextra -pedantic-errors -o "$work/$example" examples/c/$example.c \
    $(pkg-config --cflags --libs kelvara)
  run "$work/$example"
  # shellcheck disable=SC2046
  cc -std=c11 -Wall -Wextra -pedantic-errors -o "$work/${example}_static" examples/c/$example.c \
    $(pkg-config --cflags --libs kelvara-static)
  check_static "$work/${example}_static"
  run "$work/${example}_static"
done

echo "-- find_package(kelvara CONFIG)"
cmake -S examples/c -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake" >/dev/null
for example in sign_and_admit solve envelope sign_and_admit_static solve_static envelope_static; do
  run "$work/cmake/$example"
done
check_static "$work/cmake/sign_and_admit_static"
check_static "$work/cmake/solve_static"
echo "-- the code blocks of README.md and docs/"
python3 scripts/doc_blocks.py c "$work"

echo "test-c-install: the installed library links from C both ways and needs no Python"
