"""A library call leaves the process as it found it: thread counts, forked children."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

SCRIPT_HEAD = """
import os, numpy as np, pxvorel
from pxvorel.run.threads import current_threads
image = np.random.default_rng(0).normal(100, 5, (48, 48))
"""


def run(body: str, env: dict[str, str] | None = None, timeout: float = 120) -> str:
    """Run a script in a fresh interpreter (the thread count is per process) and return its output."""
    import os

    environment = {**os.environ, **(env or {})}
    done = subprocess.run(
        [sys.executable, "-c", SCRIPT_HEAD + textwrap.dedent(body)],
        capture_output=True,
        text=True,
        env=environment,
        timeout=timeout,
        check=True,
    )
    return done.stdout.strip()


@pytest.mark.parametrize("limit", ["environment", "threadpoolctl"])
def test_the_count_in_force_is_used_and_kept(limit: str) -> None:
    body = """
        import threadpoolctl
        def runs():
            pxvorel.denoise(image, noise=5.0, iterations=1)
            a = current_threads()
            pxvorel.denoise(image, noise=5.0, iterations=1, threads=2)
            return a, current_threads()
    """
    if limit == "environment":
        out = run(body + "    print(*runs())", env={"OMP_NUM_THREADS": "1"})
    else:
        out = run(
            body
            + """
        with threadpoolctl.threadpool_limits(1, user_api="openmp"):
            inside = runs()
        print(*inside)
        """,
            env={"OMP_NUM_THREADS": "2"},
        )
    assert out == "1 1"


def test_a_forked_child_runs_instead_of_hanging() -> None:
    out = run(
        """
        pxvorel.denoise(image, noise=5.0, iterations=2, threads=2)
        pid = os.fork()
        if pid == 0:
            result = pxvorel.denoise(image, noise=5.0, iterations=2, threads=2)
            os._exit(0 if np.isfinite(result).all() else 3)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status), current_threads())
    """,
        env={"OMP_NUM_THREADS": "2"},
        timeout=60,
    )
    assert out == "0 2"
