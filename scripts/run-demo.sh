#!/usr/bin/env bash
# The main job: the MuJoCo arm demo. Installs the demo's own packages (the
# physics engine, the plot) and the module (again only when its sources changed).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
stamp=.venv/.requirements-demo.installed
if [ ! -f "$stamp" ] || ! cmp -s requirements-demo.txt "$stamp"; then
  .venv/bin/python -m pip install -q -r requirements-demo.txt
  cp requirements-demo.txt "$stamp"
fi
scripts/install-module.sh
exec .venv/bin/python examples/mujoco_arm.py
