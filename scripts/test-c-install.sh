#!/usr/bin/env bash
# The C library as a C user meets it: installs a configured build into a
# temporary prefix, builds examples/c once with `pkg-config --cflags --libs
# kelvara` and once through CMake's find_package(kelvara CONFIG) (shared and
# static), runs every program and checks that none of them loads libpython.
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

echo "-- pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
for example in sign_and_admit solve envelope; do
  # shellcheck disable=SC2046  # the flags are meant to split
  cc -std=c11 -Wall -Wextra -pedantic-errors -o "$work/$example" examples/c/$example.c \
    $(pkg-config --cflags --libs kelvara)
  run "$work/$example"
done

echo "-- find_package(kelvara CONFIG)"
cmake -S examples/c -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake" >/dev/null
for example in sign_and_admit solve envelope sign_and_admit_static solve_static envelope_static; do
  run "$work/cmake/$example"
done
if ldd "$work/cmake/sign_and_admit_static" | grep -q libkelvara; then
  echo "test-c-install: the static build still needs libkelvara.so"
  exit 1
fi
echo "test-c-install: the installed library links from C both ways and needs no Python"
