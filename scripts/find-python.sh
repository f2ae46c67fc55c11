#!/usr/bin/env bash
# Prints the full path of a CPython 3.12+ interpreter: the one named by $PYTHON,
# else python3.12 / python3.13 on PATH, else the newest suitable one under pyenv.
# With a version argument (find-python.sh 3.13) only that minor version will
# do, and $PYTHON is not consulted; exits 1 quietly when there is none.
set -u
want=${1:-}

usable() {
  "$1" -c "import sys
ok = sys.implementation.name == 'cpython' and sys.version_info >= (3, 12)
if '$want': ok = ok and '%d.%d' % sys.version_info[:2] == '$want'
sys.exit(0 if ok else 1)" >/dev/null 2>&1
}
resolve() { "$1" -c 'import sys; print(sys.executable)'; }

if [ -z "$want" ] && [ -n "${PYTHON:-}" ]; then
  if usable "$PYTHON"; then resolve "$PYTHON"; exit 0; fi
  echo "find-python: PYTHON=$PYTHON is not a CPython 3.12+ interpreter" >&2
  exit 1
fi
names=(python3.12 python3.13)
[ -n "$want" ] && names=("python$want")
for name in "${names[@]}"; do
  if command -v "$name" >/dev/null 2>&1 && usable "$name"; then resolve "$name"; exit 0; fi
done
root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
pattern=${want:-3.1[2-9]}
for candidate in $(ls -d "$root"/versions/$pattern*/bin/python3 2>/dev/null | sort -V); do
  if usable "$candidate"; then echo "$candidate"; exit 0; fi
done
[ -n "$want" ] || echo "find-python: no CPython 3.12+ found (set PYTHON=/path/to/python3.12)" >&2
exit 1
