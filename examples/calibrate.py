"""Calibrating a basin model against ten years of observed flow.

The record and the model are those of `fulda.py` beside this file: daily rainfall
and discharge of the Fulda at Grebenau, 1979 to 1988, and one subbasin of
`tarnwick_basin` (loss, Clark unit hydrograph, two baseflow layers) at a three-hour
step. `scipy.optimize.differential_evolution` minimises 1 - KGE of the daily mean
flow after a one-year warm-up, within `--budget` model evaluations, through the
calibration problem of `tarnwick_basin.calibration`.

Run it as `python3 examples/calibrate.py [--budget N] [--seed S] [--plot FILE]`;
it needs the optional dependencies: `pip install "tarnwick[examples]"`.
"""

from __future__ import annotations

import sys
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import fulda  # noqa: E402
from arguments import EXTRA, check_plot  # noqa: E402

try:
    import numpy as np
    from scipy.optimize import differential_evolution
    from tqdm import tqdm

    from tarnwick_basin.calibration import Budget, BudgetSpent, Problem
except ImportError as missing:
    raise SystemExit(f"{Path(__file__).name} needs {missing.name}: {EXTRA}") from None


@dataclass(frozen=True)
class Calibration:
    x: fulda.FloatArray  # the best parameter vector found
    value: float  # its 1 - KGE
    evaluations: int  # evaluations spent, at most the budget
    converged: bool  # the search stopped on its own before the budget


def calibrate(problem: Problem, budget: int, seed: int = 1, progress: bool = True) -> Calibration:
    """Differential evolution on 1 - KGE, stopped after `budget` evaluations at most."""
    with tqdm(total=budget, disable=not progress, unit="eval", desc="calibrating") as bar:

        def show(spent: Budget) -> None:
            bar.set_postfix(kge=f"{1.0 - spent.best:.4f}", refresh=False)
            bar.update()

        # The optimiser has no hard limit on evaluations of its own (maxiter
        # counts generations, and it may evaluate more): the budget stops it.
        counted = Budget(problem, budget, show)
        try:
            differential_evolution(
                counted,
                problem.bounds,
                maxiter=budget,
                popsize=10,  # 90 sets a generation: more generations within the budget
                polish=False,
                rng=np.random.default_rng(seed),
            )
            converged = True
        except BudgetSpent:
            converged = False
    return Calibration(counted.best_x, counted.best, counted.count, converged)


def main(argv: Sequence[str] | None = None) -> None:
    parser = fulda.search_parser(__doc__)
    args = parser.parse_args(argv)
    if args.plot:
        check_plot(parser, args.plot)
    record = fulda.load_record()
    problem = fulda.problem(record)
    print(fulda.introduce(record, problem))
    result = calibrate(problem, args.budget, args.seed)
    fulda.report(problem, result.x, result.evaluations, result.converged)
    if args.plot:
        fulda.plot(args.plot, record, problem, result.x)


if __name__ == "__main__":
    main()
