"""pxvorel in child processes: the command line, its one-line errors, and Ctrl-C in a child."""

from __future__ import annotations

import signal
import subprocess
import sys
from pathlib import Path


def pxvorel_cli(*args: str | Path, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    """``python -m pxvorel ARGS`` in a child process, its output captured as text."""
    return subprocess.run(
        [sys.executable, "-m", "pxvorel", *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=300
    )


def assert_one_line_error(result: subprocess.CompletedProcess[str], *needles: str) -> None:
    """Status 2 and the error on one line, the last on stderr (progress lines may come before)."""
    assert result.returncode == 2
    lines = result.stderr.strip().splitlines()
    errors = [line for line in lines if "error:" in line]
    assert errors == lines[-1:], result.stderr
    assert "Traceback" not in result.stderr
    for needle in needles:
        assert needle in errors[0]


def restore_sigint() -> None:
    """In a child: the default SIGINT, which Python turns into KeyboardInterrupt (a background
    job, as under CI, starts with SIGINT ignored)."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
