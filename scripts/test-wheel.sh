#!/usr/bin/env bash
# Tests the distribution as a user gets it, for one interpreter:
#   scripts/test-wheel.sh PYTHON DIST_DIR [full|smoke]
# DIST_DIR holds the sdist and, for some interpreters, their wheel (as
# `python -m build` leaves them); a missing wheel is built from the sdist.
# In a fresh virtual environment holding nothing but that wheel, a typed user
# script passes `mypy --strict` and runs; then stubtest checks the stubs against
# the installed module, and in full mode the whole Python suite runs against it.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$1
dist=$(cd "$2" && pwd)
mode=${3:-full}
root=$PWD
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
tag=cp${version/./}

venv=$root/build/venvs/py$version
rm -rf "$venv"
"$python" -m venv "$venv"
pip=("$venv/bin/python" -m pip -q --disable-pip-version-check)

sdist=$(ls "$dist"/kelvara-*.tar.gz)
wheel=$(ls "$dist"/kelvara-*-"$tag"-*.whl 2>/dev/null || true)
if [ -z "$wheel" ]; then
  echo "-- building the $tag wheel from $(basename "$sdist")"
  "${pip[@]}" wheel --no-deps --wheel-dir "$dist" "$sdist"
  wheel=$(ls "$dist"/kelvara-*-"$tag"-*.whl)
fi
"${pip[@]}" install --no-deps "$wheel"

echo "-- Python $version: mypy --strict on a user script, against the wheel alone"
(cd python/tests && "$root/.venv/bin/python" -m mypy --strict --cache-dir "$root/build/mypy-cache" \
  --python-executable "$venv/bin/python" typed_usage.py)
# Run from outside the source tree, so that kelvara is the installed package.
(cd "$venv" && bin/python "$root/python/tests/typed_usage.py")

echo "-- Python $version: stubtest and the Python suite against the installed wheel"
"${pip[@]}" install -r requirements-test.txt
# After the test requirements: the docs' examples may use numpy.
echo "-- Python $version: the Python code blocks of README.md and docs/"
"$root/.venv/bin/python" scripts/doc_blocks.py python "$venv/bin/python"
(cd "$venv" && bin/python -m mypy.stubtest kelvara _kelvara)
[ "$mode" = full ] || exit 0
cd python/tests
"$venv/bin/python" -m pytest -q -p no:cacheprovider
