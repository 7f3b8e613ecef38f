"""Reused buffers: results, memory held after calls and threads, and the memory guard."""

import os
import shutil
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from datetime import timedelta

import numpy as np
import pytest

import tarnwick

HOUR = timedelta(hours=1)
MB = 1 << 20

# The chain on n rainfall values drawn from `seed`, each result as an array.
CHAIN = """
import numpy as np
import tarnwick
from concurrent.futures import ThreadPoolExecutor
from datetime import timedelta

HOUR = timedelta(hours=1)


def chain(n, seed):
    rng = np.random.default_rng(seed)
    rain = rng.random(n) * (rng.random(n) < 0.4)
    gross = tarnwick.utils.IncrementalTimeSeries(rain, HOUR, "rainfall")
    losses = tarnwick.rainfall_loss.run_deficit_and_constant(gross, 0.5, 1.5, 0.05, 48 * HOUR)
    direct = tarnwick.rainfall_transform.run_clark_uh(losses.excess, 5000.0, 9 * HOUR, 7 * HOUR)
    layers = {
        "fast": tarnwick.baseflow.LinearReservoir(48 * HOUR, 0.4, 1.0),
        "slow": tarnwick.baseflow.LinearReservoir(900 * HOUR, 0.5, 20.0, num_reservoir=3),
    }
    base, parts = tarnwick.baseflow.run_linear_reservoir(5000.0, losses.loss, layers)
    routed = tarnwick.reach.run_muskingum_routing(direct, 2 * HOUR, 0.2, 2, 1.0)
    series = [losses.excess, losses.loss, losses.deficit, direct, base, routed]
    return [np.array(s.data) for s in series + list(parts.values())]
"""
_chain_module: dict = {}
exec(CHAIN, _chain_module)
chain = _chain_module["chain"]

# Lengths of one, two or several size classes of reused blocks.
SIZES = [9_000, 40_000, 40_001, 41_000, 150_000]


def test_reused_buffers_leave_results_unchanged():
    # Reference: each chain first thing in a fresh process, on fresh memory.
    script = CHAIN + (
        "import sys\n"
        "n, seed = map(int, sys.argv[1:])\n"
        "sys.stdout.buffer.write(np.concatenate(chain(n, seed)).tobytes())\n"
    )
    fresh = {}
    for seed, n in enumerate(SIZES):
        out = subprocess.run(
            [sys.executable, "-c", script, str(n), str(seed)], capture_output=True, check=True
        ).stdout
        fresh[n] = np.frombuffer(out)
    # Here, in an order that parks blocks of every size and reuses them while
    # other results are alive, after buffers were filled with NaN.
    junk = tarnwick.utils.IncrementalTimeSeries(np.full(150_000, np.nan), HOUR, "rainfall")
    tarnwick.rainfall_loss.run_deficit_and_constant(junk, 0.5, 1.5, 0.05, HOUR)
    kept = []
    for n in SIZES + SIZES[::-1] + SIZES:
        got = np.concatenate(chain(n, SIZES.index(n)))
        assert np.array_equal(got, fresh[n]), n
        kept = kept[-2:] + [got]


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def large_call(n=10_000_000):
    rain = tarnwick.utils.IncrementalTimeSeries(np.full(n, 0.01), HOUR, "rainfall")
    layers = {"a": tarnwick.baseflow.LinearReservoir(24 * HOUR, 0.5, 1.0)}
    tarnwick.baseflow.run_linear_reservoir(100.0, rain, layers)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer holds freed memory in quarantine",
)
@pytest.mark.parametrize("where", ["thread that ends", "small calls after"])
def test_large_buffers_are_not_held(where):
    # One call on 10^7 values parks three 80 MB blocks (input, total, layer).
    before = resident()
    if where == "thread that ends":
        worker = threading.Thread(target=large_call)
        worker.start()
        worker.join()
        # join() returns before the thread has finished exiting.
        deadline = time.monotonic() + 10
        while resident() - before >= 60 * MB and time.monotonic() < deadline:
            time.sleep(0.01)
    else:
        large_call()
        for _ in range(300):
            large_call(10_000)
    assert resident() - before < 60 * MB


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer holds freed memory in quarantine",
)
def test_blocks_parked_by_a_waiting_thread_are_returned():
    # A pool thread parks five 100 MB blocks, then waits for work that does
    # not come while the main thread goes on with small calls.
    parked, resume = threading.Event(), threading.Event()

    def calls_then_waits():
        rain = np.full(12_500_000, 0.01)
        held = [tarnwick.utils.IncrementalTimeSeries(rain, HOUR, "rainfall") for _ in range(5)]
        del held, rain
        parked.set()
        resume.wait()

    before = resident()
    worker = threading.Thread(target=calls_then_waits)
    worker.start()
    try:
        parked.wait()
        if resident() - before < 400 * MB:  # an eighth of the memory limit is less
            pytest.skip("the cache may not hold 400 MB on this machine")
        small = np.full(10_000, 0.01)
        for _ in range(300):
            tarnwick.utils.IncrementalTimeSeries(small, HOUR, "rainfall")
        assert resident() - before < 128 * MB
    finally:
        resume.set()
        worker.join()


def test_blocks_freed_on_another_thread_are_reused():
    # A pool thread computes, the caller drops the results: the thread's next
    # result takes the block the last one left.
    rain = np.full(100_000, 0.01)

    def make():
        return tarnwick.utils.IncrementalTimeSeries(rain, HOUR, "rainfall")

    with ThreadPoolExecutor(1) as pool:
        addresses = []
        for _ in range(3):
            result = pool.submit(make).result()
            addresses.append(np.asarray(result).ctypes.data)
            del result
    assert addresses[1] == addresses[2]


def test_a_thread_takes_back_its_own_block_before_another_thread_s():
    # Two threads free a block of one size each, one after the other: the
    # first thread's next result takes its own block (likelier to be in its
    # core's cache), not the one freed last.
    rain = np.full(100_000, 0.01)
    held = {}

    def make(key):
        held[key] = tarnwick.utils.IncrementalTimeSeries(rain, HOUR, "rainfall")
        return np.asarray(held[key]).ctypes.data

    def drop(key):
        del held[key]

    with ThreadPoolExecutor(1) as first, ThreadPoolExecutor(1) as second:
        own = first.submit(make, "a").result()
        second.submit(make, "b").result()
        first.submit(drop, "a").result()
        second.submit(drop, "b").result()
        assert first.submit(make, "a").result() == own


# A disaggregation whose result needs a little less, or a little more, than
# an address-space limit leaves: the first must pass, the second be refused
# with the guard's MemoryError, whatever the size classes round to.
ADDRESS_SPACE = """
import os, resource, sys
from concurrent.futures import ThreadPoolExecutor
from datetime import timedelta
import tarnwick

def address_space():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")

resource.setrlimit(resource.RLIMIT_AS, (address_space() + (1 << 30), resource.RLIM_INFINITY))
for change in (-4 << 20, 4 << 20):
    room = resource.getrlimit(resource.RLIMIT_AS)[0] - address_space()
    pieces = (room + change) // 8 // 1000
    step = timedelta(seconds=30 * pieces)
    rain = tarnwick.utils.IncrementalTimeSeries([1.0] * 1000, step, "rainfall")
    try:
        result = rain.disaggregate(30)
    except MemoryError as error:
        print("refused", repr(str(error)))
    else:
        print("admitted", len(memoryview(result)) == 1000 * pieces)
        del result
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer maps shadow memory"
)
def test_address_space_limit_admits_what_fits():
    run = subprocess.run(
        [sys.executable, "-c", ADDRESS_SPACE], capture_output=True, text=True, timeout=120
    )
    assert run.stdout.split("\n")[:2] == ["admitted True", "refused ''"], run.stderr


# Runs `probe` with the process's memory cgroup faked at a 1 GiB limit of
# which 600 MiB are in use: files bind-mounted over the group's own, in a
# mount namespace of the child's.
FAKE_CGROUP = """
set -e
mount --make-rprivate /
printf 1073741824 > "$TMP/limit"
printf 629145600 > "$TMP/usage"
mount --bind "$TMP/limit" "$LIMIT_FILE"
mount --bind "$TMP/usage" "$USAGE_FILE"
exec "$PYTHON" -c "$PROBE"
"""

PROBE = """
import threading
from datetime import timedelta as seconds
import numpy as np
import tarnwick
ts, ru = tarnwick.utils, tarnwick.reservoir.reservoir_utils

def outcome(call, *args):
    try:
        call(*args)
    except (MemoryError, ValueError):  # Clark refuses its ordinates with ValueError
        return "refused"
    return "admitted"

def disaggregate(step, pieces):
    series = ts.IncrementalTimeSeries([1.0] * 4, seconds(seconds=step), "rainfall")
    return outcome(series.disaggregate, step // pieces)

def baseflow(layers):
    rain = ts.IncrementalTimeSeries([0.0] * 10_000_000, seconds(hours=1), "rainfall")
    layer = tarnwick.baseflow.LinearReservoir(seconds(days=1), 0.1, 1.0)
    named = {str(k): layer for k in range(layers)}
    return outcome(tarnwick.baseflow.run_linear_reservoir, 1.0, rain, named)

def level_pool(outlets):
    inflow = ts.ContinuousTimeSeries([0.0] * 1_000_000, seconds(seconds=1), "discharge")
    curve = ru.ElevationStorage([0.0, 1.0], [0.0, 1.0])
    named = {str(k): ru.ConstantDischargeInfo(0.0) for k in range(outlets)}
    return outcome(tarnwick.reservoir.run_level_pool_routing, inflow, 0.5, curve, named)

def clark(ordinates):
    rain = ts.IncrementalTimeSeries([1.0], seconds(seconds=1), "rainfall")
    tc = seconds(seconds=ordinates)
    return outcome(tarnwick.rainfall_transform.run_clark_uh, rain, 1.0, tc, tc)

def convert(n):
    return outcome(ts.IncrementalTimeSeries, np.zeros(n), seconds(hours=1), "rainfall")

def beside_waiting_thread(pieces, parked_pieces):
    # Another thread parks a block, then waits while this one calls.
    parked, resume = threading.Event(), threading.Event()
    def park_then_wait():
        disaggregate(30 * parked_pieces, parked_pieces)
        parked.set()
        resume.wait()
    worker = threading.Thread(target=park_then_wait)
    worker.start()
    parked.wait()
    beside = disaggregate(30 * pieces, pieces)
    resume.set()
    worker.join()
    return beside, disaggregate(30 * pieces, pieces)

# 640 MB of values to convert, then 8 MB.
print(convert(80_000_000), convert(1_000_000))
# 500 MiB while another thread has 120 MiB parked, then after it ended.
print(*beside_waiting_thread(16_384_000, 3_932_160))
# 512 MB, then 32 MB; 600 MB, then 32 MiB; 664 MB, then 32 MB; 640 MB, then 160 MB.
# The blocks an admitted call parks count as room for the next: largest last.
print(clark(32_000_000), clark(2_000_000))
print(disaggregate(562_500_000, 18_750_000), disaggregate(30 << 20, 1 << 20))
print(level_pool(80), level_pool(1), baseflow(7), baseflow(1))
"""


def cgroup_files():
    """The limit and usage files of this process's memory cgroup, or None."""
    with open("/proc/self/cgroup") as groups:
        for line in groups:
            _, controllers, path = line.rstrip("\n").split(":", 2)
            if controllers == "":
                folder, names = "/sys/fs/cgroup" + path, ("memory.max", "memory.current")
            elif "memory" in controllers.split(","):
                folder = "/sys/fs/cgroup/memory" + path
                names = ("memory.limit_in_bytes", "memory.usage_in_bytes")
            else:
                continue
            files = [os.path.join(folder, name) for name in names]
            if all(os.path.exists(f) for f in files):
                return files
    return None


def test_memory_guard_counts_what_is_in_use(tmp_path):
    files = cgroup_files() if sys.platform.startswith("linux") else None
    if files is None or os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("needs root, unshare and a memory cgroup")
    env = dict(os.environ, TMP=str(tmp_path), PYTHON=sys.executable, PROBE=PROBE)
    env.update(LIMIT_FILE=files[0], USAGE_FILE=files[1])
    run = subprocess.run(
        ["unshare", "-m", "sh", "-c", FAKE_CGROUP], env=env, capture_output=True, text=True
    )
    if run.returncode != 0 and "unshare" in run.stderr:
        pytest.skip(f"no private mount namespace: {run.stderr.strip()}")
    expected = ["refused", "admitted", "admitted", "refused"] + ["refused", "admitted"] * 4
    assert run.stdout.split() == expected, run.stderr
