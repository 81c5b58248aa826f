"""Generated hostile input for the native functions and the public API, in child processes.

A crash (a signal, or a sanitizer's report) ends only the child; the test then reports the
input it was given last. PXVOREL_FUZZ_CALLS sets the number of calls (default: a quick run;
``make fuzz`` runs at least 10,000).
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

CALLS = int(os.environ.get("PXVOREL_FUZZ_CALLS", "300"))
BATCH = 1000


@pytest.mark.slow
@pytest.mark.parametrize("batch", range(max(CALLS // BATCH, 1)))
def test_generated_calls_never_crash_or_change_their_input(tmp_path, batch) -> None:
    log = tmp_path / "last-input.txt"
    script = Path(__file__).with_name("fuzz_calls.py")
    calls = min(CALLS, BATCH)
    result = subprocess.run(
        [sys.executable, script, str(calls), str(1000 * batch + 1), str(log)],
        capture_output=True,
        text=True,
        timeout=1800,
    )
    last = log.read_text() if log.exists() else "(none)"
    assert result.returncode == 0, f"status {result.returncode}\n{result.stderr[-3000:]}\nlast input: {last}"
    print(result.stdout.strip())
