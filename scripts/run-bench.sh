#!/usr/bin/env bash
# Benchmarks of the Python hot paths against baselines measured in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
scripts/install-module.sh
.venv/bin/python bench/bench_python.py
