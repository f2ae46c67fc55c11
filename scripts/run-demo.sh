#!/usr/bin/env bash
# The main job: installs the module (again only when its sources changed) and runs
# the controller-loop demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
stamp=.venv/.kelvara-installed
if [ ! -f "$stamp" ] || [ -n "$(find python 10-kernel CMakeLists.txt pyproject.toml -newer "$stamp" | head -n 1)" ]; then
  .venv/bin/python -m pip install -q --no-build-isolation --force-reinstall --no-deps .
  touch "$stamp"
fi
exec .venv/bin/python examples/controller_loop.py
