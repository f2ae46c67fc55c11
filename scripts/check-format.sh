#!/usr/bin/env bash
# The house style (.clang-format) over every tracked C and C++ source: names
# each file clang-format-19 would change and fails if there is one. Mend with
# `clang-format-19 -i FILE`.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format-19 >/dev/null || { echo "format: clang-format-19 not found (scripts/bootstrap.sh installs it)" >&2; exit 1; }
report=$(mktemp)
trap 'rm -f "$report"' EXIT
sources=()
while IFS= read -r file; do
  if [ -f "$file" ]; then sources+=("$file"); fi  # a tracked file deleted in the working tree is not judged
done < <(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')
if ! clang-format-19 --dry-run --Werror "${sources[@]}" 2>"$report"; then
  grep -o '^[^:]*:[0-9]*:[0-9]*: error' "$report" | cut -d: -f1 | sort -u | sed 's/^/format: not in house style: /'
  exit 1
fi
echo "format: ${#sources[@]} C and C++ sources in house style"
