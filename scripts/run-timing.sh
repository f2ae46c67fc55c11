#!/usr/bin/env bash
# The dudect-style timing check of the constant-time comparisons: an -O2 build
# without sanitizers in build/timing, then one run that prints Welch's t for
# every pair of input classes and fails at |t| >= 4.5.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
export PATH="$PWD/.venv/bin:$PATH"
cmake -S . -B build/timing -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVARA_BUILD_TIMING=ON \
  -DKELVARA_BUILD_TESTS=OFF -DKELVARA_BUILD_PYTHON=OFF -DKELVARA_BUILD_C_LIBRARY=OFF >/dev/null
cmake --build build/timing --target kelvara_constant_time_timing -j "$(nproc 2>/dev/null || echo 2)"
build/timing/10-kernel/kelvara-security/kelvara_constant_time_timing
