#!/usr/bin/env bash
# Timing, in an -O2 build without sanitizers in build/timing (preset
# "timing"): the dudect-style check of the constant-time comparisons (Welch's t
# for every pair of input classes, failing at |t| >= 4.5), then the hot path's
# latency after the warm-up (the real-time figures of docs/operating.md;
# ROUNDS, default 200000).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
export PATH="$PWD/.venv/bin:$PATH"
cmake --preset timing >/dev/null
cmake --build --preset timing -j "$(nproc 2>/dev/null || echo 2)"
build/timing/10-kernel/kelvara-security/kelvara_constant_time_timing
echo "== the hot path after the warm-up"
build/timing/capi/kelvara_real_time_latency "${ROUNDS:-200000}"
