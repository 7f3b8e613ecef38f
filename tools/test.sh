#!/usr/bin/env bash
# The whole test suite: installs the package, what the tests need and the
# examples' optional dependencies (the tests run the examples) into the
# Python given by $PYTHON (default python3), builds and runs the C++ unit
# tests of the core, then runs the Python tests against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

# One line before each phase, so a quiet minute is never mistaken for a hang.
say() { echo "-- $*"; }

say "installing tarnwick and what the tests need with $PYTHON (compiles the module: a minute or two)"
"$PYTHON" -m pip install --quiet --disable-pip-version-check cmake ninja
"$PYTHON" -m pip install --quiet --disable-pip-version-check ".[test,examples]"

# The core's C++ tests build without Python; cmake and ninja come from the
# Python environment's scripts directory.
scripts=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
export PATH="$scripts:$PATH"
build=build/core-tests-$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
say "building the core's C++ tests in $build"
cmake -S . -B "$build" -G Ninja -DTARNWICK_MODULE=OFF -DTARNWICK_CORE_TESTS=ON ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build"
say "running the core's C++ tests"
"$build/core_tests"

# Run from the tests folder so the installed module is the one imported.
say "running the Python tests"
"$PYTHON" -m pytest -q -p no:cacheprovider tests/python
