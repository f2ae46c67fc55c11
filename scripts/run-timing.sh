#!/usr/bin/env bash
# The dudect-style timing check of the constant-time comparisons: an -O2 build
# without sanitizers in build/timing (preset "timing"), then one run that prints Welch's t for
# every pair of input classes and fails at |t| >= 4.5.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
export PATH="$PWD/.venv/bin:$PATH"
cmake --preset timing >/dev/null
cmake --build --preset timing -j "$(nproc 2>/dev/null || echo 2)"
build/timing/10-kernel/kelvara-security/kelvara_constant_time_timing
