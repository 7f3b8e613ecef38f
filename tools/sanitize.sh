#!/usr/bin/env bash
# Builds the extension and the core tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs both suites. The interpreter itself is
# not instrumented, so the ASan runtime is preloaded and leak detection (which
# would report the interpreter's own allocations at exit) is off.
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
asan=$(g++ -print-file-name=libasan.so)
LD_PRELOAD="$asan" ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$build" \
    "$PYTHON" -m pytest -q -p no:cacheprovider tests/python
