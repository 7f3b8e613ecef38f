#!/usr/bin/env bash
# The whole test suite (tools/test.sh) on a free-threaded CPython with the GIL
# off (PYTHON_GIL=0), so that the concurrency tests race for real; then a check
# that importing the module leaves the GIL off when nothing forces it.
#
# The interpreter comes from tools/build-cpython-ft.sh (built once, then
# reused from $HOME/.cache; its environment variables apply). The suite runs
# in a fresh virtual environment (in $TMPDIR, removed afterwards, or the
# folder given as $1, kept), where pip prefers wheels to newer source
# releases: the newest numpy, pandas and scipy often have no wheel for the
# free-threaded ABI yet, and compiling them takes many minutes or fails.
# mypy stays below 2, whose parser needs a compiled package without such a
# wheel.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
say() { printf -- '-- [%3d s] %s\n' $((SECONDS - start)) "$*"; }

say "free-threaded CPython (tools/build-cpython-ft.sh)"
interpreter=$(bash tools/build-cpython-ft.sh | tail -n 1)
"$interpreter" -VV

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
venv=${1:-$scratch/venv}
rm -rf "$venv"
"$interpreter" -m venv "$venv"
printf 'mypy<2\n' >"$scratch/constraints.txt"

say "the test suite with PYTHON_GIL=0"
PIP_PREFER_BINARY=1 PIP_CONSTRAINT="$scratch/constraints.txt" PYTHON_GIL=0 PYTHON="$venv/bin/python" \
    bash tools/test.sh -rs

say "the GIL after importing tarnwick, as the interpreter decides by default"
env -u PYTHON_GIL "$venv/bin/python" -W error - <<'EOF'
import sys
import sysconfig

import tarnwick  # noqa: F401

assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
assert not sys._is_gil_enabled(), "importing tarnwick enabled the GIL"
print("   the GIL stays disabled after importing tarnwick")
EOF
say "done"
