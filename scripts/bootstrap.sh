#!/usr/bin/env bash
# Makes a fresh machine ready: Debian packages the build needs, and a virtual
# environment (.venv, git-ignored) on a CPython 3.12+ with the Python tools.
# Safe to run again: it installs only what is missing. Arguments name further
# Debian packages that one path needs (run-bench.sh: libbenchmark-dev).
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(g++ make binutils libssl-dev libgtest-dev pkg-config clang-format-19 "$@")
missing=()
for pkg in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing Debian packages: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  python=$(scripts/find-python.sh)
  echo "bootstrap: creating .venv with $python"
  "$python" -m venv .venv
fi
stamp=.venv/.requirements-dev.installed
if [ ! -f "$stamp" ] || ! cat requirements-dev.txt requirements-test.txt | cmp -s - "$stamp"; then
  .venv/bin/python -m pip install -q -r requirements-dev.txt
  cat requirements-dev.txt requirements-test.txt >"$stamp"
fi
