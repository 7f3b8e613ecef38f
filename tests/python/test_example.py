"""The event model example runs as written."""

import subprocess
import sys
from pathlib import Path

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "event_model.py"


def test_event_model_runs():
    out = subprocess.run(
        [sys.executable, str(EXAMPLE)], capture_output=True, text=True, check=True, timeout=120
    ).stdout
    for line in ("Peak reservoir outflow", "Peak reservoir elevation", "KGE against observations"):
        assert line in out
