#!/usr/bin/env bash
# The main job: installs the module if needed and runs the controller-loop demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
if ! .venv/bin/python -c 'import _kelvara' 2>/dev/null || [ -n "$(find python 10-kernel CMakeLists.txt -newer .venv/.kelvara-installed 2>/dev/null | head -n 1)" ] || [ ! -f .venv/.kelvara-installed ]; then
  .venv/bin/python -m pip install -q --no-build-isolation --force-reinstall --no-deps .
  touch .venv/.kelvara-installed
fi
exec .venv/bin/python examples/controller_loop.py
