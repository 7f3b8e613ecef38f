"""Calibrating the runoff chain with spotpy's SCE-UA sampler.

The same chain, record and score as `calibrate.py` (imported from it: loss, Clark
unit hydrograph and two baseflow layers at a three-hour step against ten years of
daily flow of the Fulda at Grebenau, 1 - KGE after a one-year warm-up), searched
with the Shuffled Complex Evolution algorithm of spotpy, the calibration framework
many hydrologists already use, instead of scipy's differential evolution. spotpy
drives the model through a setup object (parameters, simulation, evaluation,
objective function) and keeps its database in memory. SCE-UA's own limit on
trials is loose (it finishes a loop of the complexes past it), so the budget is
enforced here, as in `calibrate.py`.

Run it as `python3 examples/calibrate_spotpy.py [--budget N] [--seed S]`; it needs
the optional dependencies: `pip install "tarnwick[examples]"`.
"""

from __future__ import annotations

import contextlib
import io
import math
import sys
from collections.abc import Sequence
from pathlib import Path

import tarnwick

# The chain and the record live in the calibration example beside this file.
sys.path.insert(0, str(Path(__file__).resolve().parent))
import calibrate  # noqa: E402
from arguments import EXTRA  # noqa: E402
from calibrate import (  # noqa: E402
    CATCHMENT,
    PARAMETERS,
    WARMUP_DAYS,
    Calibration,
    FloatArray,
    Record,
    load_record,
    search_parser,
    simulate,
)

try:
    import numpy as np
    import spotpy
    from tqdm import tqdm
except ImportError as missing:
    raise SystemExit(f"{Path(__file__).name} needs {missing.name}: {EXTRA}") from None

# Complexes of the search: one more than twice the parameters, as the method's
# authors advise.
COMPLEXES = 2 * len(PARAMETERS) + 1


class _BudgetSpent(Exception):
    pass


class Setup:
    """The runoff chain as spotpy's samplers expect a model, within a budget of
    evaluations, remembering the best parameter set it was run with."""

    def __init__(self, record: Record, budget: int, bar: tqdm | None = None) -> None:
        self.record = record
        self.budget = budget
        self.bar = bar
        self.evaluations = 0
        self.params = [spotpy.parameter.Uniform(p.name, p.low, p.high) for p in PARAMETERS]
        self.x: FloatArray = np.full(len(PARAMETERS), math.nan)  # of the last simulation
        self.best_x: FloatArray = self.x
        self.best = math.inf

    def parameters(self) -> object:
        return spotpy.parameter.generate(self.params)

    def simulation(self, x: Sequence[float]) -> FloatArray:
        if self.evaluations >= self.budget:
            raise _BudgetSpent
        self.evaluations += 1
        if self.bar is not None:
            self.bar.update()
        self.x = np.array(x, dtype=np.float64)
        r = self.record
        return simulate(self.x, r.rainfall, r.area, r.initial_baseflow)[WARMUP_DAYS:]

    def evaluation(self) -> FloatArray:
        return self.record.observed[WARMUP_DAYS:]

    def objectivefunction(self, simulation: FloatArray, evaluation: FloatArray) -> float:
        # SCE-UA minimises; a set that yields no number is ranked worst. The
        # sequential sampler scores each simulation right after running it.
        kge = tarnwick.metrics.calculate_kge(simulation, evaluation)
        value = 1.0 - kge if math.isfinite(kge) else math.inf
        if value < self.best or self.evaluations == 1:
            self.best, self.best_x = value, self.x
        return value


def calibrate_sceua(
    record: Record, budget: int, seed: int = 1, progress: bool = True
) -> Calibration:
    """SCE-UA on 1 - KGE within `budget` model evaluations."""
    if budget < 1:
        raise ValueError("the budget must be at least one evaluation")
    converged = False
    with tqdm(total=budget, disable=not progress, unit="eval", desc="calibrating") as bar:
        setup = Setup(record, budget, bar)
        sampler = spotpy.algorithms.sceua(
            setup,
            dbname="calibrate_spotpy",
            dbformat="ram",  # in memory, no file
            save_sim=False,  # the flows of every run would take 13 kB each
            random_state=seed,
        )
        # spotpy reports its progress on stdout; the bar shows it here.
        with contextlib.redirect_stdout(io.StringIO()):
            try:
                # No limit of its own: it stops on convergence or on the budget.
                sampler.sample(10**12, ngs=COMPLEXES)
                converged = True
            except _BudgetSpent:
                pass
    return Calibration(setup.best_x, setup.best, setup.evaluations, converged)


def main(argv: Sequence[str] | None = None) -> None:
    args = search_parser(__doc__).parse_args(argv)

    record = load_record()
    print(
        f"{CATCHMENT}: {len(record.rainfall)} days, SCE-UA of spotpy {spotpy.__version__} "
        f"with {COMPLEXES} complexes, at most {args.budget} evaluations"
    )
    result = calibrate_sceua(record, args.budget, args.seed)
    calibrate.report(record, result)


if __name__ == "__main__":
    main()
