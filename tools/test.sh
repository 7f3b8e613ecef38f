#!/usr/bin/env bash
# The whole test suite: builds the module and the core's C++ unit tests in one
# CMake build folder kept between runs (build/test-<python>, so a second run
# recompiles only what changed), installs the package from that build with
# what the tests need and the examples' optional dependencies (the tests run
# the examples) into the Python given by $PYTHON (default python3), runs the
# C++ tests, then the Python tests against the installed module.
#
# Tests marked `slow` are left out (CI runs them once); pass pytest options
# after the command to choose otherwise, e.g. `bash tools/test.sh -m slow`.
# CMAKE_ARGS (e.g. -DTARNWICK_WERROR=ON) reach both the build and the install.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
start=$SECONDS

# One line before each phase, with the time so far, so that a quiet minute is
# never mistaken for a hang.
say() { printf -- '-- [%3d s] %s\n' $((SECONDS - start)) "$*"; }

tag=$("$PYTHON" -c 'import sys, sysconfig
t = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
print("%d.%d%s" % (*sys.version_info[:2], t))')
build=build/test-$tag

say "installing the build tools (scikit-build-core, cmake, ninja) with $PYTHON"
"$PYTHON" -m pip install --quiet --disable-pip-version-check scikit-build-core cmake ninja
# cmake and ninja come from the Python environment's scripts directory.
scripts=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
export PATH="$scripts:$PATH"

say "compiling the module and the core's C++ tests in $build (only what changed)"
interpreter=$("$PYTHON" -c 'import sys; print(sys.executable)')
# The tools and interpreter are named each time: the folder may have been
# configured from another environment (a virtual environment since removed,
# say). Should the kept configuration still fail, it is made afresh (objects
# whose compile commands do not change are not compiled again).
configure() {
    cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$(command -v ninja)" -DTARNWICK_CORE_TESTS=ON \
        -DPython_EXECUTABLE="$interpreter" ${CMAKE_ARGS:-} >"$build.configure.log" 2>&1
}
mkdir -p build
configure || { rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles" && configure; } ||
    { cat "$build.configure.log"; exit 1; }
cmake --build "$build"

say "running the core's C++ tests"
"$build/core_tests"

# The package from the same build folder (nothing is compiled again), with the
# test and example dependencies: quick when they are installed already.
say "installing tarnwick and what the tests need (pytest, numpy, pandas, mypy, dask, ...)"
"$PYTHON" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
    --config-settings=build-dir="$build" ".[test,examples]"

# One mypy cache for the type checks of this run and the next ones.
export MYPY_CACHE_DIR=${MYPY_CACHE_DIR:-$PWD/build/mypy-cache-$tag}
# The source tree holds no importable tarnwick: the tests import the installed one.
say "running the Python tests"
"$PYTHON" -m pytest -q -p no:cacheprovider -m "not slow" tests/python "$@"
say "done"
