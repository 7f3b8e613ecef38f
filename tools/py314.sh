#!/usr/bin/env bash
# The whole test suite (tools/test.sh) on CPython 3.14, inside a Debian sid
# chroot made with debootstrap, so the host's system and Pythons stay as they
# are. (The free-threaded code paths run for real in
# tools/test-free-threaded.sh.)
#
# With `--run COMMAND OUTDIR` it runs COMMAND in the copy of the working tree
# in the chroot instead (tools/package.sh builds the 3.14 wheel so): what the
# command leaves in /out comes back into OUTDIR.
#
# Needs root (debootstrap, chroot, mount) and the network to the Debian mirror
# named in the host's apt sources and to PyPI. The root is kept and reused by
# later runs; everything else in it is made anew each run.
#
# Environment: TARNWICK_PY314_ROOT (the chroot, default $TMPDIR or /tmp, then
# tarnwick-py314-sid), TARNWICK_DEBIAN_MIRROR (instead of the host's mirror),
# CMAKE_ARGS (passed on to tools/test.sh, as on the host).
set -euo pipefail
run_command=""
if [ "${1:-}" = --run ]; then
    [ $# -eq 3 ] || { echo "usage: py314.sh [--run COMMAND OUTDIR]" >&2; exit 2; }
    run_command=$2
    run_out=$(mkdir -p "$3" && cd "$3" && pwd)
fi
cd "$(dirname "$0")/.."
root=${TARNWICK_PY314_ROOT:-${TMPDIR:-/tmp}/tarnwick-py314-sid}
suite=sid
[ "$(id -u)" -eq 0 ] || { echo "py314.sh: needs root (debootstrap, chroot, mount)" >&2; exit 1; }
step() { printf '   %-44s %4d s\n' "$1" $((SECONDS - ${2:-0})); }

# The Debian mirror the host's apt uses (deb822 .sources or one-line .list),
# its main archive rather than the security one.
host_mirror() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -r "$f" ] && awk '/^URIs:/ { for (i = 2; i <= NF; i++) print $i }' "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -r "$f" ] && awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) { print $i; break } }' "$f"
    done
    return 0
}
mirror=${TARNWICK_DEBIAN_MIRROR:-$(host_mirror | awk '/\/debian\/?$/ && !m { m = $0; sub(/\/+$/, "", m) } END { print m }')}
[ -n "$mirror" ] || { echo "py314.sh: no Debian mirror in the host's apt sources; set TARNWICK_DEBIAN_MIRROR" >&2; exit 1; }

# One run at a time per root.
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9

# Filesystems the chroot needs, mounted for this run and undone on every exit.
# No bind mount of a host directory: a leftover one would let a later removal
# of the root reach into the host.
unmount_all() {
    local m
    for m in dev/shm sys proc; do
        if mountpoint -q "$root/$m" 2>/dev/null; then umount "$root/$m" || umount -l "$root/$m"; fi
    done
}
scratch=""
trap 'unmount_all; [ -z "$scratch" ] || rm -rf "$scratch"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# Anything a killed run left mounted inside the root (debootstrap's own too).
leftover_mounts() { awk -v r="$root/" 'index($2, r) == 1 { print $2 }' /proc/self/mounts | sort -r; }

# --- the root: debootstrap once, then reused ---------------------------------
t0=$SECONDS
echo "   sid from $mirror into $root"
if [ ! -e "$root/.tarnwick-root-complete" ]; then
    for m in $(leftover_mounts); do umount -l "$m"; done
    [ -z "$(leftover_mounts)" ] || { echo "py314.sh: mounts remain under $root" >&2; exit 1; }
    rm -rf --one-file-system "$root"
    # debootstrap from the host, or else unpacked from its package into
    # scratch space rather than installed.
    scratch=$(mktemp -d)
    debootstrap=$(command -v debootstrap || true)
    if [ -z "$debootstrap" ]; then
        fetch() { (cd "$scratch" && apt-get download -qq -o APT::Sandbox::User=root debootstrap >/dev/null 2>&1); }
        fetch || { apt-get update -qq && fetch; }
        dpkg-deb -x "$scratch"/debootstrap_*.deb "$scratch/unpacked"
        export DEBOOTSTRAP_DIR="$scratch/unpacked/usr/share/debootstrap"
        debootstrap="$scratch/unpacked/usr/sbin/debootstrap"
    fi
    mkdir -p "$root"
    log=$scratch/debootstrap.log
    if ! "$debootstrap" --variant=minbase --include=ca-certificates "$suite" "$root" "$mirror" >"$log" 2>&1; then
        tail -n 20 "$log"
        echo "py314.sh: debootstrap failed" >&2
        exit 1
    fi
    touch "$root/.tarnwick-root-complete"
    step "debootstrap" "$t0"
fi

# The mirror may serve a frozen snapshot whose Release files are past their
# Valid-Until date.
echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99no-check-valid-until"
echo "deb $mirror $suite main" >"$root/etc/apt/sources.list"
rm -f "$root/etc/apt/sources.list.d/debian.sources"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# No package starts a service in there (it would outlive the run).
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"
# The host's own certificate authorities (a TLS-inspecting proxy on the way to
# PyPI, say) are trusted inside too.
mkdir -p "$root/usr/local/share/ca-certificates"
find "$root/usr/local/share/ca-certificates" -name '*.crt' -delete
if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
    cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
fi

unmount_all
mount -t proc proc "$root/proc"
mount -t sysfs -o ro sysfs "$root/sys"
mkdir -p "$root/dev/shm"
mount -t tmpfs -o mode=1777,size=1g tmpfs "$root/dev/shm"
for node in null zero full random urandom tty; do
    [ -c "$root/dev/$node" ] || { echo "py314.sh: $root/dev/$node is missing" >&2; exit 1; }
done

# A command in the chroot, with a clean environment: the host's variables name
# paths that do not exist there.
in_root() {
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1 \
        PIP_CERT=/etc/ssl/certs/ca-certificates.crt SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt \
        CMAKE_ARGS="${CMAKE_ARGS:-}" chroot "$root" /bin/bash -euo pipefail -c "$1"
}

t1=$SECONDS
in_root 'apt-get update -qq
         apt-get install -y -qq -o Dpkg::Use-Pty=0 --no-install-recommends python3.14-dev python3.14-venv g++ >/dev/null
         update-ca-certificates >/dev/null 2>&1'
step "packages" "$t1"
echo "   $(in_root 'python3.14 -VV'), g++ $(in_root 'g++ -dumpfullversion')"

# The working tree as git sees it (committed and uncommitted, not ignored).
rm -rf --one-file-system "$root/src/tarnwick"
mkdir -p "$root/src/tarnwick"
git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$root/src/tarnwick"

if [ -n "$run_command" ]; then
    t=$SECONDS
    rm -rf --one-file-system "$root/out"
    mkdir "$root/out"
    in_root "cd /src/tarnwick && $run_command"
    cp -R "$root/out/." "$run_out/"
    step "command" "$t"
    exit 0
fi

# suite NAME INTERPRETER: a fresh venv, then the README's test command.
suite_on() {
    local t=$SECONDS
    in_root "rm -rf /opt/$1 && $2 -m venv /opt/$1 && cd /src/tarnwick && PYTHON=/opt/$1/bin/python bash tools/test.sh"
    step "test suite ($1)" "$t"
}
suite_on py314 python3.14

step "stage total" "$t0"
