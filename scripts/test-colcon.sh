#!/usr/bin/env bash
# Kelvara in a colcon workspace (no ROS installation needed): build/colcon-ws
# holds a link to this tree and a small package that does
# find_package(kelvara CONFIG REQUIRED); `colcon build` builds both, Kelvara
# first (Release, without its tests and Python module), then the consumer runs
# in the workspace's environment. colcon comes from .venv (requirements-dev.txt).
set -euo pipefail
cd "$(dirname "$0")/.."
colcon=$PWD/.venv/bin/colcon
[ -x "$colcon" ] || { echo "test-colcon: no colcon in .venv (run scripts/bootstrap.sh)" >&2; exit 1; }
workspace=$PWD/build/colcon-ws
rm -rf "$workspace"
mkdir -p "$workspace/src"
ln -s "$PWD" "$workspace/src/kelvara"
cp -r capi/tests/colcon_consumer "$workspace/src/kelvara_consumer"

cd "$workspace"
if ! "$colcon" --log-base log build --base-paths src --build-base build --install-base install \
    --parallel-workers 1 --cmake-args -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DKELVARA_BUILD_PYTHON=OFF \
    >colcon.log 2>&1; then
  cat colcon.log
  tail -n 40 log/latest_build/*/stdout_stderr.log 2>/dev/null || true
  echo "test-colcon: colcon build failed" >&2
  exit 1
fi
grep -E '^(Starting|Finished|Summary)' colcon.log
# The workspace's own environment puts install/*/bin on PATH and
# install/kelvara/lib on the library path.
# shellcheck disable=SC1091
(set +u && . install/setup.sh && kelvara_consumer)
echo "test-colcon: the workspace builds Kelvara and a package that finds it; the consumer runs"
