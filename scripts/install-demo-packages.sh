#!/usr/bin/env bash
# The demo's own packages (the physics engine, numpy, the plot) in .venv, again
# only when requirements-demo.txt has changed since the last install.
set -euo pipefail
cd "$(dirname "$0")/.."
stamp=.venv/.requirements-demo.installed
if [ ! -f "$stamp" ] || ! cmp -s requirements-demo.txt "$stamp"; then
  .venv/bin/python -m pip install -q -r requirements-demo.txt
  cp requirements-demo.txt "$stamp"
fi
