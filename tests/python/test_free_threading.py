"""Threads running the module at the same time, on a free-threaded CPython.

With the global interpreter lock the calls below take turns and nothing can
overlap, so these tests are skipped there. Without it, they race for real: the
access guard of LinearReservoir, instances shared between threads, the first
use of every class in a fresh process, and the per-thread buffer cache.
"""

import itertools
import os
import shutil
import subprocess
import sys
import sysconfig
import threading
import time

import numpy as np
import pytest

from conftest import HOUR, Continuous, Incremental, LinearReservoir, run_linear_reservoir
from test_buffer_cache import FAKE_CGROUP, cgroup_files

free_threaded_build = sysconfig.get_config_var("Py_GIL_DISABLED") == 1
gil_enabled = getattr(sys, "_is_gil_enabled", lambda: True)()
needs_no_gil = pytest.mark.skipif(gil_enabled, reason="the GIL is on: threads take turns")


def run_threads(count, work, *args):
    """Runs work(k, *args) on `count` threads started together; re-raises a failure."""
    start = threading.Barrier(count)
    failures = []

    def body(k):
        try:
            start.wait()
            work(k, *args)
        except BaseException as error:  # noqa: B036 - reported to the main thread
            failures.append(error)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]


@pytest.mark.skipif(not free_threaded_build, reason="not a free-threaded build")
def test_the_gil_stays_off_after_import():
    # A fresh process with the interpreter's own default (PYTHON_GIL=0 would
    # keep the GIL off whatever the module declares): importing the module and
    # each standalone entry must neither enable the GIL nor warn.
    script = (
        "import sys, tarnwick\n"
        "from conftest import load_entry\n"
        "for entry in ('reach', 'reservoir', 'transform', 'loss', 'baseflow', 'metrics'):\n"
        "    load_entry('init_' + entry)\n"
        "print(sys._is_gil_enabled())\n"
    )
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    run = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        env=env,
        cwd=os.path.dirname(__file__),
    )
    assert (run.returncode, run.stdout, run.stderr) == (0, "False\n", "")


SETTINGS = {"gw_fraction": (0.25, 0.75), "initial_q": (1.0, 3.0), "num_reservoir": (1, 2)}


@needs_no_gil
def test_contention_on_one_linear_reservoir_raises_only_the_borrow_errors():
    rain = Incremental(np.linspace(0.0, 0.2, 50), HOUR, "rainfall")

    def outflow(reservoir):
        return np.asarray(run_linear_reservoir(100.0, rain, {"a": reservoir})[0]).tobytes()

    # Every combination a reader may meet, as its routed outflow.
    possible = {
        outflow(LinearReservoir(48 * HOUR, f, q, num_reservoir=n))
        for f, q, n in itertools.product(*SETTINGS.values())
    }
    shared = LinearReservoir(48 * HOUR, 0.25, 1.0)
    raised = {"write": [], "read": []}
    done = threading.Event()

    def work(k):
        role = "write" if k % 2 else "read"
        seen = raised[role]
        for i in itertools.count():
            if done.is_set():
                return
            try:
                if role == "write":
                    for name, pair in SETTINGS.items():
                        setattr(shared, name, pair[(i + k) % 2])
                elif i % 4:
                    for name, pair in SETTINGS.items():
                        assert getattr(shared, name) in pair, name
                else:
                    assert outflow(shared) in possible
            except RuntimeError as error:
                seen.append(str(error))

    # Until each side met the other many times (in well under a second unless
    # the guard lets overlapping accesses through).
    def enough():
        return min(len(raised["write"]), len(raised["read"])) >= 50

    def watch():
        deadline = time.monotonic() + 20
        while not enough() and not done.is_set() and time.monotonic() < deadline:
            time.sleep(0.01)
        done.set()

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        run_threads(4, work)
    finally:
        done.set()
        watcher.join()
    assert set(raised["write"]) == {"Already borrowed"}
    assert set(raised["read"]) == {"Already mutably borrowed"}
    # Nothing stays borrowed afterwards.
    shared.gw_fraction, shared.num_reservoir = 0.5, 3
    assert (shared.gw_fraction, shared.num_reservoir) == (0.5, 3)


@needs_no_gil
def test_instances_shared_by_threads_read_the_same_values():
    rng = np.random.default_rng(5)
    series = [
        cls(rng.random(n), HOUR, kind)
        for n in (1, 7, 1000, 29_224, 100_000)
        for cls, kind in ((Continuous, "discharge"), (Incremental, "rainfall"))
    ]
    layer = LinearReservoir(24 * HOUR, 0.5, 2.0, num_reservoir=2)
    rain = series[-1]
    expected = [(s.data, np.array(s)) for s in series]
    expected_flow = np.asarray(run_linear_reservoir(10.0, rain, {"a": layer})[0]).copy()

    def work(k):
        for i in range(60):
            for s, (data, values) in zip(series, expected, strict=True):
                view = np.asarray(s)
                assert view.shape == values.shape and np.array_equal(view, values)
                if (i + k) % 10 == 0:
                    assert s.data == data
            # Shared reads of the one mutable class overlap but never conflict.
            for _ in range(200):
                assert (layer.gw_fraction, layer.initial_q, layer.num_reservoir) == (0.5, 2.0, 2)
            flow = run_linear_reservoir(10.0, rain, {"a": layer, "b": layer})[1]["a"]
            assert np.array_equal(np.asarray(flow), expected_flow)

    run_threads(4, work)


# In a fresh process, threads load the module and each standalone entry at
# once, in different orders: the class objects are created during those
# loads, and each class must come out as one object.
# In a fresh process, threads run the initialisation of the module and of each
# standalone entry at once: the class objects are created there, and each
# class must come out as one object. Each thread first creates its modules
# (the library's code runs only once they are executed), then waits for the
# others by spinning rather than sleeping on a barrier, so that the threads,
# one per core, meet in the first module's execution.
FIRST_USE = r"""
import importlib.machinery, importlib.util, os, sys, threading

path = sys.argv[1]
ENTRIES = ["tarnwick", "init_reach", "init_reservoir", "init_transform", "init_loss",
           "init_baseflow", "init_metrics"]


def created(name):
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    return loader, importlib.util.module_from_spec(spec)


def classes(module, seen):
    for name in module.__all__:
        value = getattr(module, name)
        if isinstance(value, type):
            seen.append((name, value))
        elif type(value) is type(sys):
            classes(value, seen)


count = max(2, min(len(ENTRIES), os.cpu_count() or 2))
arrived, found = [], []


def work(k):
    # All start with the entry that has the most classes, then go on in turn.
    modules = [created(name) for name in ["init_reservoir"] + ENTRIES[k:] + ENTRIES[:k]]
    seen = []
    arrived.append(k)
    while len(arrived) < count:
        pass
    for loader, module in modules:
        loader.exec_module(module)
        classes(module, seen)
    found.extend(seen)


threads = [threading.Thread(target=work, args=(k,)) for k in range(count)]
for t in threads:
    t.start()
for t in threads:
    t.join()
objects = {}
for name, cls in found:
    objects.setdefault(name, set()).add(id(cls))
print(len(objects), max(len(ids) for ids in objects.values()))
"""


@needs_no_gil
def test_first_use_of_every_class_raced_by_threads_gives_one_type_object():
    import tarnwick

    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    # One process at a time, so that its threads have the cores to meet on.
    outcomes = {
        (run.stdout, run.stderr, run.returncode)
        for run in (
            subprocess.run(
                [sys.executable, "-c", FIRST_USE, tarnwick.__file__],
                capture_output=True,
                text=True,
                env=env,
                timeout=120,
            )
            for _ in range(40)
        )
    }
    # Eleven classes, each seen as one object in every process.
    assert outcomes == {("11 1\n", "", 0)}


# Four threads run the chain of calls on sizes drawn from a shared set, with
# the memory cgroup faked at 1 GiB (so the caches of all threads together may
# park an eighth of it, 128 MiB) and results read through the buffer protocol.
# While every thread is still alive, its cache intact, the resident memory they
# added must stay within that bound (with room for what the interpreter's own
# allocators keep); their results must equal those of a thread of their own.
CACHE_UNDER_THREADS = r"""
import hashlib, os, threading
from datetime import timedelta
import numpy as np
import tarnwick

HOUR = timedelta(hours=1)
SIZES = [9_000, 40_001, 150_000] + [100_000 * k + 7 for k in range(2, 11)]


def digest(n, seed):
    rng = np.random.default_rng(seed)
    rain = rng.random(n) * (rng.random(n) < 0.4)
    gross = tarnwick.utils.IncrementalTimeSeries(rain, HOUR, "rainfall")
    losses = tarnwick.rainfall_loss.run_deficit_and_constant(gross, 0.5, 1.5, 0.05, 48 * HOUR)
    direct = tarnwick.rainfall_transform.run_clark_uh(losses.excess, 5000.0, 9 * HOUR, 7 * HOUR)
    layers = {"a": tarnwick.baseflow.LinearReservoir(48 * HOUR, 0.4, 1.0, num_reservoir=2)}
    base, parts = tarnwick.baseflow.run_linear_reservoir(5000.0, losses.loss, layers)
    routed = tarnwick.reach.run_muskingum_routing(direct, 2 * HOUR, 0.2, 2, 1.0)
    hashed = hashlib.sha1()
    for series in (losses.excess, losses.deficit, direct, base, parts["a"], routed):
        hashed.update(memoryview(series))  # in place: no copy the interpreter's heap keeps
    return hashed.hexdigest()


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def on_thread(work, *args):
    thread = threading.Thread(target=work, args=args)
    thread.start()
    return thread


expected = {}
on_thread(lambda: expected.update((n, digest(n, n)) for n in SIZES)).join()
before = resident()
worked, finish, wrong = threading.Barrier(5), threading.Event(), []


def work(k):
    try:
        for n in np.random.default_rng(k).choice(SIZES, 24):
            if digest(int(n), int(n)) != expected[n]:
                wrong.append(int(n))
    finally:
        worked.wait()
        finish.wait()


threads = [on_thread(work, k) for k in range(4)]
worked.wait()
held = resident() - before
finish.set()
for thread in threads:
    thread.join()
print(held >> 20, sorted(set(wrong)))
"""


@needs_no_gil
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer holds freed memory in quarantine",
)
def test_buffer_cache_under_threads_stays_within_its_bound(tmp_path):
    files = cgroup_files() if sys.platform.startswith("linux") else None
    if files is None or os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("needs root, unshare and a memory cgroup")
    # Large blocks go back to the system when freed, so that what stays
    # resident is what the caches hold.
    env = dict(os.environ, TMP=str(tmp_path), PYTHON=sys.executable, PROBE=CACHE_UNDER_THREADS)
    env.update(LIMIT_FILE=files[0], USAGE_FILE=files[1], MALLOC_MMAP_THRESHOLD_="65536")
    run = subprocess.run(
        ["unshare", "-m", "sh", "-c", FAKE_CGROUP], env=env, capture_output=True, text=True
    )
    if run.returncode != 0 and "unshare" in run.stderr:
        pytest.skip(f"no private mount namespace: {run.stderr.strip()}")
    assert run.returncode == 0, run.stderr
    held_mib, wrong = run.stdout.split(maxsplit=1)
    assert wrong.strip() == "[]"
    assert int(held_mib) <= 128 + 64
