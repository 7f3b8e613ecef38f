"""Command-line checks shared by the examples.

Every example refuses a bad or contradictory argument in one line with a
non-zero exit status, before it does any work: before it loads data, starts a
cluster or runs the model. Needs nothing beyond the standard library; matplotlib
is imported only to check a `--plot` file.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from pathlib import Path
from typing import Any, NoReturn

EXTRA = 'pip install "tarnwick[examples]"'


class HelpFormatter(argparse.HelpFormatter):
    """Help that shows each option's default, where it has one to show."""

    def _get_help_string(self, action: argparse.Action) -> str | None:
        text = action.help or ""
        shown = action.default not in (None, False, argparse.SUPPRESS)
        if shown and "%(default)" not in text and action.option_strings:
            text += " (default: %(default)s)"
        return text


class ArgumentParser(argparse.ArgumentParser):
    """argparse, with its errors on one line (without the usage block) and the
    defaults in --help."""

    def __init__(self, **kwargs: Any) -> None:
        kwargs.setdefault("formatter_class", HelpFormatter)
        super().__init__(**kwargs)

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def count(text: str) -> int:
    """A whole number in any form Python reads: 1000, 1_000, 1e3, 1000.0."""
    try:
        return int(text)
    except ValueError:
        pass
    value = float(text)  # its ValueError is argparse's "invalid ... value"
    if not value.is_integer():
        raise argparse.ArgumentTypeError(f"{text} is not a whole number")
    return int(value)


def positive(text: str) -> int:
    value = count(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def natural(text: str) -> int:
    value = count(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must be at least 0")
    return value


def plural(number: int, noun: str, nouns: str | None = None) -> str:
    """The number and the noun it counts: 1 evaluation, 2 evaluations (and given
    `nouns`: 1 worker process, 2 worker processes)."""
    return f"{number} {noun}" if number == 1 else f"{number} {nouns or noun + 's'}"


def cores() -> int:
    """The processor cores this process may run on."""
    affinity = getattr(os, "sched_getaffinity", None)
    return len(affinity(0)) if affinity is not None else os.cpu_count() or 1


def warn_oversubscribed(what: str, asked: int, whats: str) -> None:
    """Warns on stderr when more workers than cores are asked for: they take turns."""
    available = cores()
    if asked > available:
        print(
            f"warning: {plural(asked, what, whats)} on {plural(available, 'core')}: they will take "
            "turns on the cores, and run no faster than as many as there are cores",
            file=sys.stderr,
        )


def duration(text: str) -> float:
    """A positive, finite number of seconds."""
    value = float(text)
    if not (math.isfinite(value) and value > 0.0):
        raise argparse.ArgumentTypeError("must be a positive number of seconds")
    return value


def check_plot(parser: argparse.ArgumentParser, path: str) -> None:
    """Refuses a `--plot` file that matplotlib could not write, before any work."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        from matplotlib.figure import Figure
    except ImportError:
        parser.error(f"--plot needs matplotlib: {EXTRA}")
    target = Path(path)
    folder = target.parent
    if not folder.is_dir():
        parser.error(f"--plot {path}: the folder {folder} does not exist")
    if target.is_dir():
        parser.error(f"--plot {path}: is a folder")
    if not os.access(folder, os.W_OK):
        parser.error(f"--plot {path}: the folder {folder} is not writable")
    formats = Figure().canvas.get_supported_filetypes()
    suffix = target.suffix.lower().lstrip(".")
    if suffix and suffix not in formats:  # without a suffix, matplotlib writes a PNG
        parser.error(
            f"--plot {path}: the file name must end in one of "
            f"{', '.join('.' + name for name in sorted(formats))}"
        )
