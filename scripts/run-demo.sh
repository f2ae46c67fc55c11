#!/usr/bin/env bash
# The main job: installs the module (again only when its sources changed) and runs
# the controller-loop demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
scripts/install-module.sh
exec .venv/bin/python examples/controller_loop.py
