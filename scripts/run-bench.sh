#!/usr/bin/env bash
# Benchmarks of the Python hot paths against baselines measured in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
.venv/bin/python -m pip install -q --no-build-isolation --force-reinstall --no-deps .
.venv/bin/python bench/bench_python.py
