#!/usr/bin/env bash
# Builds the extension and the core tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs both suites. The interpreter itself is
# not instrumented, so the ASan runtime is preloaded and leak detection (which
# would report the interpreter's own allocations at exit) is off there.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
build=build/sanitize
"$PYTHON" -m pip install --quiet cmake ninja pytest numpy
scripts=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
export PATH="$scripts:$PATH"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_SANITIZE=ON \
    -DTARNWICK_CORE_TESTS=ON -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build "$build"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ASAN_OPTIONS=detect_leaks=1 "$build/core_tests"
# libstdc++ is preloaded too: the interpreter does not link it, and ASan can
# only intercept C++ exceptions thrown through a library loaded before it starts.
runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
LD_PRELOAD="$runtime" ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$build" \
    "$PYTHON" -m pytest -q -p no:cacheprovider tests/python
