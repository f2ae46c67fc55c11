#!/usr/bin/env bash
# The main job: the seven-joint arm over UDP, both protocols side by side.
# Installs the demo's own packages and the module (each again only when it has
# changed). Arguments go to the demo (--help lists them).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
scripts/install-demo-packages.sh
scripts/install-module.sh
exec .venv/bin/python examples/mujoco_arm.py "$@"
