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
from pathlib import Path
from typing import NoReturn

EXTRA = 'pip install "tarnwick[examples]"'


class ArgumentParser(argparse.ArgumentParser):
    """argparse, with its errors on one line (without the usage block)."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def natural(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must be at least 0")
    return value


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
