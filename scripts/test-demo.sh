#!/usr/bin/env bash
# The demo's own test (part of `make test`): a short run of the arm demo at four
# times real time, and no process left behind however a run ends. It runs
# against the module of the release build (built here if missing), with the
# demo's packages installed in .venv as `make demo` installs them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
scripts/install-demo-packages.sh
export PATH="$PWD/.venv/bin:$PATH"
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc 2>/dev/null || echo 2)" --target _kelvara
(
  cd examples
  PYTHONPATH="$OLDPWD/build/release/python:$OLDPWD" python -m pytest -q -p no:cacheprovider arm_demo/tests "$@"
)
