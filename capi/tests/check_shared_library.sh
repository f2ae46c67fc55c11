#!/usr/bin/env bash
# Checks the face libkelvara.so shows the dynamic linker: it exports exactly
# the functions of kelvara.h, its soname carries the major version, and nothing
# it needs is Python.
# Usage: check_shared_library.sh path/to/libkelvara.so MAJOR_VERSION
set -euo pipefail
library=$1
soname=libkelvara.so.$2

expected="kelvara_boundary_authorize
kelvara_boundary_free
kelvara_boundary_new
kelvara_boundary_stats
kelvara_command_gate_add_key
kelvara_command_gate_admit
kelvara_command_gate_allow_stream
kelvara_command_gate_clear
kelvara_command_gate_init
kelvara_command_gate_remove_key
kelvara_command_gate_set_envelope
kelvara_command_gate_set_max_step
kelvara_command_gate_size
kelvara_command_gate_stats
kelvara_envelope_init
kelvara_envelope_project
kelvara_envelope_size
kelvara_error_code
kelvara_error_message
kelvara_gate_admit
kelvara_gate_clear
kelvara_gate_init
kelvara_gate_last_sequence_id
kelvara_gate_set_max_age
kelvara_gate_size
kelvara_gate_stats
kelvara_signer_free
kelvara_signer_new
kelvara_signer_sign
kelvara_solve_active_set
kelvara_solve_multivar_4d
kelvara_version"
exported=$(nm -D --defined-only "$library" | awk '{print $NF}' | sort)
if [ "$exported" != "$expected" ]; then
  echo "exported symbols differ from the interface:"
  diff <(echo "$expected") <(echo "$exported") || true
  exit 1
fi

dynamic=$(readelf -d "$library")
if ! grep -qF "Library soname: [$soname]" <<<"$dynamic"; then
  echo "soname is not $soname:"
  grep -i soname <<<"$dynamic" || echo "(none)"
  exit 1
fi
if grep -i 'NEEDED.*python' <<<"$dynamic"; then
  echo "libkelvara needs Python"
  exit 1
fi
if ldd "$library" | grep -i python; then
  echo "libkelvara loads Python"
  exit 1
fi
echo "libkelvara exports $(wc -l <<<"$exported") kelvara_* functions, soname $soname, no Python"
