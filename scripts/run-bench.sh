#!/usr/bin/env bash
# Benchmarks against baselines measured in the same run: the kernel (the
# four-axis solve beside DAQP's C solver, and per-kernel timings), then the
# Python hot paths. Ends with one table of the rows that have targets, and exits
# non-zero when one is missed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh libbenchmark-dev
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc 2>/dev/null || echo 2)

# DAQP's C sources, from its sdist, at one fixed version so that the baseline
# stays the same from run to run; kept in the git-ignored build tree.
daqp_version=0.11.0
daqp_dir=build/bench-src/daqp-$daqp_version
if [ ! -d "$daqp_dir/csrc/src" ]; then
  mkdir -p build/bench-src
  python -m pip download -q --no-binary :all: --no-deps "daqp==$daqp_version" -d build/bench-src
  tar -xzf "build/bench-src/daqp-$daqp_version.tar.gz" -C build/bench-src
fi

cmake --preset bench -DKELVARA_DAQP_SOURCE_DIR="$PWD/$daqp_dir/csrc" >/dev/null
cmake --build --preset bench -j "$jobs"
results=build/bench/results
rm -rf "$results" && mkdir -p "$results"

echo "== Kernel: per-routine timings"
build/bench/bench/kernel_microbench --benchmark_min_time=0.2
echo
echo "== Security and edge: hasher, tag check, nonce scan, authorization, admission"
build/bench/bench/edge_microbench --benchmark_min_time=0.2
echo
echo "== Command frames in C: one frame beside its receipts, and allocations"
build/bench/bench/command_frame_bench --json "$results/frames.json"
echo
echo "== Kernel: four-axis solve beside DAQP, problem by problem"
build/bench/bench/multivar_4d_vs_daqp --json "$results/kernel.json"
echo
echo "== Kernel: general projection (Envelope) beside DAQP, problem by problem"
build/bench/bench/envelope_vs_daqp --json "$results/envelope.json"
echo

echo "== Python hot paths"
scripts/install-module.sh
python bench/bench_python.py --json "$results/python.json"
echo

echo "== Targets"
python bench/report.py "$results"/*.json
