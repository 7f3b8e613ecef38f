"""Runs every benchmark in this folder, each in its own interpreter.

Run from the repository root:

    python3 -m pip install ".[bench]" && python3 bench/run_all.py --quick

With ``--quick`` (what CI runs) every benchmark runs at tiny sizes, once,
without judging its figures: it only proves that the benchmarks still run.
numba and the metric libraries are optional; their contestants are skipped
when missing. Any other option is passed on to every benchmark. The exit
status is that of the first benchmark that failed, or 0.
"""

import subprocess
import sys
import time
from pathlib import Path


def main():
    here = Path(__file__).resolve().parent
    failed = 0
    for script in sorted(here.glob("bench_*.py")):
        print(f"== {script.name}", flush=True)
        start = time.perf_counter()
        status = subprocess.call([sys.executable, str(script), *sys.argv[1:]])
        print(
            f"== {script.name}: exit {status} after {time.perf_counter() - start:.1f} s\n",
            flush=True,
        )
        failed = failed or status
    sys.exit(failed)


if __name__ == "__main__":
    main()
