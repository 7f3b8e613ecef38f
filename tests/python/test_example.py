"""The event model example runs as written."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "event_model.py"


@pytest.fixture(scope="module")
def output():
    return subprocess.run(
        [sys.executable, str(EXAMPLE)], capture_output=True, text=True, check=True, timeout=120
    ).stdout


def test_event_model_runs(output):
    for line in ("Peak reservoir outflow", "Peak reservoir elevation", "KGE against observations"):
        assert line in output


@pytest.mark.parametrize(
    "summary, column",
    [
        ("Peak direct runoff", 1),
        ("Peak inflow to reservoir", 3),
        ("Peak reservoir outflow", 4),
        ("Peak reservoir elevation", 5),
    ],
)
def test_table_shows_each_peak(output, summary, column):
    # The table prints every few hours; the peak hours must not fall between.
    peak = re.search(rf"^{summary}:\s+(\S+)", output, re.MULTILINE).group(1)
    rows = [line.split() for line in output.splitlines() if re.match(r"\s*\d+\s+\d", line)]
    assert peak in [row[column] for row in rows]
