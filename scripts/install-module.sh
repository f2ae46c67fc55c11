#!/usr/bin/env bash
# The one `pip install .` of the scripts: builds and installs the module into
# .venv, again only when a source has changed since the last install.
set -euo pipefail
cd "$(dirname "$0")/.."
stamp=.venv/.kelvara-installed
if [ ! -f "$stamp" ] || [ -n "$(find python kelvara _kelvara-stubs 10-kernel include CMakeLists.txt pyproject.toml -newer "$stamp" | head -n 1)" ]; then
  .venv/bin/python -m pip install -q --no-build-isolation --force-reinstall --no-deps .
  touch "$stamp"
fi
