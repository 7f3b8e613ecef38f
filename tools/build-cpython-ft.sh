#!/usr/bin/env bash
# bash tools/build-cpython-ft.sh [PREFIX]
#
# A free-threaded CPython (configure --disable-gil, no PGO nor LTO) built from
# the release tarball inside Debian's source package of the interpreter, for
# the CI stage that runs the suite without the GIL. Debian ships no
# free-threaded interpreter, but the upstream tarball is in its source
# packages. The mirror refuses some versions (404), so the series are tried in
# order (3.14, then 3.13) and, within one, the versions newest first.
#
# Installs into PREFIX, by default $HOME/.cache/cpython-<series>t, and prints
# the interpreter's path on its last line (messages go to stderr). Cached:
#   - the downloaded tarball stays in $CPYTHON_FT_SRC_CACHE
#     (default $HOME/.cache/cpython-ft-src);
#   - PREFIX/.build-stamp names the series, version, configure options and
#     compiler; a prefix whose stamp matches and whose interpreter runs without
#     the GIL is reused at once, with neither network nor build.
# Concurrent runs for one prefix wait for each other (flock on PREFIX.lock).
#
# Environment:
#   CPYTHON_FT_SERIES   series to try, in order (default "3.14 3.13")
#   CPYTHON_FT_SUITES   Debian suites searched (default "sid forky trixie")
#   CPYTHON_FT_MIRROR   Debian archive (default: the one the host's apt uses)
#   CPYTHON_FT_SRC_CACHE  where tarballs are kept
#   JOBS                make jobs (default: nproc)
#
# Needs the network to the Debian archive on a first run, a C compiler and
# CPython's build libraries; as root it apt-get installs those that are missing.
set -euo pipefail

series_list=${CPYTHON_FT_SERIES:-"3.14 3.13"}
suites=${CPYTHON_FT_SUITES:-"sid forky trixie"}
src_cache=${CPYTHON_FT_SRC_CACHE:-$HOME/.cache/cpython-ft-src}
jobs=${JOBS:-$(nproc)}
options="--disable-gil --with-ensurepip=install"
compiler=${CC:-cc}
explicit_prefix=${1:-}

say() { echo "-- build-cpython-ft: $*" >&2; }
die() { say "$*"; exit 1; }
prefix_for() { if [ -n "$explicit_prefix" ]; then echo "$explicit_prefix"; else echo "$HOME/.cache/cpython-$1t"; fi; }

# The Debian archive the host's apt reads from (its main one, not security).
host_archive() {
    apt-get indextargets --format '$(ORIGIN) $(RELEASE) $(REPO_URI)' 2>/dev/null |
        awk '$1 == "Debian" && $2 !~ /security/ { print $3; exit }'
}

# The interpreter under a prefix runs free-threaded, with the GIL off.
runs_without_gil() { # interpreter
    "$1" -c 'import sys, sysconfig
sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") == 1 and not sys._is_gil_enabled() else 1)' \
        2>/dev/null
}

stamp_matches() { # series prefix
    local stamp=$2/.build-stamp
    [ -f "$stamp" ] && grep -qx "series=$1" "$stamp" && grep -qxF "configure=$options" "$stamp" &&
        grep -qxF "cc=$compiler" "$stamp" && runs_without_gil "$2/bin/python$1t"
}

reuse() { # series prefix
    say "reusing CPython $(sed -n 's/^version=//p' "$2/.build-stamp") in $2"
    echo "$2/bin/python$1t"
    exit 0
}

# A prefix already built for any series in the list: no lock, no network.
for series in $series_list; do
    prefix=$(prefix_for "$series")
    if stamp_matches "$series" "$prefix"; then reuse "$series" "$prefix"; fi
done

ensure_build_libraries() {
    local wanted="build-essential pkg-config xz-utils libssl-dev libffi-dev zlib1g-dev libbz2-dev
                  liblzma-dev libsqlite3-dev libreadline-dev libncurses-dev uuid-dev libgdbm-dev
                  libexpat1-dev" missing="" p
    for p in $wanted; do dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"; done
    [ -n "$missing" ] || return 0
    if [ "$(id -u)" != 0 ]; then
        say "not root, so building without:$missing"
        return 0
    fi
    say "installing build libraries:$missing"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
}

# Prints the path of python<series>_<version>.orig.tar.xz, cached or downloaded.
fetch_tarball() { # series
    local series=$1 cached scratch versions v
    cached=$(ls -1 "$src_cache"/python"$series"_*.orig.tar.xz 2>/dev/null | sort -V | tail -1 || true)
    if [ -n "$cached" ]; then echo "$cached"; return 0; fi
    local mirror=${CPYTHON_FT_MIRROR:-$(host_archive)}
    [ -n "$mirror" ] || die "no Debian archive in the host's apt sources: set CPYTHON_FT_MIRROR"
    mkdir -p "$src_cache"
    scratch=$(mktemp -d)
    mkdir -p "$scratch/lists/partial"
    for s in $suites; do echo "deb-src ${mirror%/} $s main"; done >"$scratch/sources.list"
    # A private apt state: the host's own lists and sources stay untouched.
    local apt=(-o "Dir::Etc::SourceList=$scratch/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$scratch/lists" -o Acquire::Check-Valid-Until=false)
    apt-get "${apt[@]}" update >"$scratch/update.log" 2>&1 || say "apt-get update reported errors"
    versions=$(apt-cache "${apt[@]}" showsrc "python$series" 2>/dev/null | sed -n 's/^Version: //p' |
        sort -Vru)
    for v in $versions; do
        say "downloading the source package python$series=$v"
        if (cd "$scratch" && apt-get "${apt[@]}" source --download-only "python$series=$v" \
            >"$scratch/get.log" 2>&1); then
            mv "$scratch"/python"$series"_*.orig.tar.xz "$src_cache/"
            rm -rf "$scratch"
            ls -1 "$src_cache"/python"$series"_*.orig.tar.xz | sort -V | tail -1
            return 0
        fi
        say "refused: $(grep -m1 -E '^(E|Err):' "$scratch/get.log" || echo 'see apt-get source')"
    done
    rm -rf "$scratch"
    return 1
}

ensure_build_libraries
tarball=""
for series in $series_list; do
    if tarball=$(fetch_tarball "$series"); then break; fi
    say "no source of python$series could be had"
    tarball=""
done
[ -n "$tarball" ] || die "no CPython source for any of: $series_list"
version=$(basename "$tarball" | sed -E 's/^python[0-9.]+_([^-]+)\.orig\.tar\.xz$/\1/')
prefix=$(prefix_for "$series")

# One build per prefix at a time; a run that waited may find it done.
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if stamp_matches "$series" "$prefix"; then reuse "$series" "$prefix"; fi

say "building CPython $version free-threaded into $prefix (make -j$jobs; $options)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar -xJf "$tarball" -C "$work"
srcdir=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -1)
rm -rf "$prefix"
start=$SECONDS
phase() { # name command...
    local name=$1
    shift
    (cd "$srcdir" && "$@" >"$work/$name.log" 2>&1) || { tail -40 "$work/$name.log" >&2; die "$name failed"; }
    say "$name: $((SECONDS - start)) s so far"
}
phase configure ./configure --prefix="$prefix" $options
phase make make -j"$jobs"
phase install make install
grep -A12 "necessary bits to build these optional modules were not found" "$work/make.log" >&2 || true

py=$prefix/bin/python${series}t
"$py" - >&2 <<'EOF' || die "the interpreter built is not usable"
import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
assert not sys._is_gil_enabled(), "the GIL is enabled"
import bz2, ctypes, lzma, sqlite3, ssl, zlib  # noqa: F401  (pip and the tests need them)
print("-- build-cpython-ft:", sys.version.replace("\n", " "))
EOF
printf 'series=%s\nversion=%s\nconfigure=%s\ncc=%s\nseconds=%s\n' \
    "$series" "$version" "$options" "$compiler" $((SECONDS - start)) >"$prefix/.build-stamp"
echo "$py"
