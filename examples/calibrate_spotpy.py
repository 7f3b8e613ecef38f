"""Calibrating the basin model with spotpy's SCE-UA sampler.

The same record, model and score as `calibrate.py` (from `fulda.py` beside this
file), searched with the Shuffled Complex Evolution algorithm of spotpy, the
calibration framework many hydrologists already use, instead of scipy's
differential evolution. The calibration problem of `tarnwick_basin` is a spotpy
setup (parameters, simulation, evaluation, objective function); spotpy keeps its
database in memory. SCE-UA's own limit on trials is loose (it finishes a loop of
the complexes past it), so a `Budget` of the problem enforces it.

Run it as `python3 examples/calibrate_spotpy.py [--budget N] [--seed S] [--plot FILE]`;
it needs the optional dependencies: `pip install "tarnwick[examples]"`.
"""

from __future__ import annotations

import contextlib
import io
import sys
from collections.abc import Sequence
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import fulda  # noqa: E402
from arguments import EXTRA, check_plot  # noqa: E402
from calibrate import Calibration  # noqa: E402

try:
    import spotpy
    from tqdm import tqdm

    from tarnwick_basin.calibration import Budget, BudgetSpent, Problem
except ImportError as missing:
    raise SystemExit(f"{Path(__file__).name} needs {missing.name}: {EXTRA}") from None

# Complexes of the search: one more than twice the parameters, as the method's
# authors advise.
COMPLEXES = 2 * len(fulda.PARAMETERS) + 1


def calibrate_sceua(
    problem: Problem, budget: int, seed: int = 1, progress: bool = True
) -> Calibration:
    """SCE-UA on 1 - KGE within `budget` model evaluations."""
    with tqdm(total=budget, disable=not progress, unit="eval", desc="calibrating") as bar:
        setup = Budget(problem, budget, lambda _: bar.update())
        sampler = spotpy.algorithms.sceua(
            setup,
            dbname="calibrate_spotpy",
            dbformat="ram",  # in memory, no file
            save_sim=False,  # the flows of every run would take 26 kB each
            random_state=seed,
        )
        # spotpy reports its progress on stdout; the bar shows it here.
        with contextlib.redirect_stdout(io.StringIO()):
            try:
                # No limit of its own: it stops on convergence or on the budget.
                sampler.sample(10**12, ngs=COMPLEXES)
                converged = True
            except BudgetSpent:
                converged = False
    return Calibration(setup.best_x, setup.best, setup.count, converged)


def main(argv: Sequence[str] | None = None) -> None:
    parser = fulda.search_parser(__doc__)
    args = parser.parse_args(argv)
    if args.plot:
        check_plot(parser, args.plot)
    record = fulda.load_record()
    problem = fulda.problem(record)
    print(
        f"{fulda.introduce(record, problem)}; SCE-UA of spotpy {spotpy.__version__} "
        f"with {COMPLEXES} complexes"
    )
    result = calibrate_sceua(problem, args.budget, args.seed)
    fulda.report(problem, result.x, result.evaluations, result.converged)
    if args.plot:
        fulda.plot(args.plot, record, problem, result.x)


if __name__ == "__main__":
    main()
