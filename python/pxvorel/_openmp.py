"""The OpenMP runtime of the native modules, loaded with waiting threads that sleep.

libgomp reads its wait policy once, from the environment, when it is loaded. By default a
thread that waits for work (at the end of a parallel region, at a barrier) spins for a while
first. On a desktop where another program keeps a core busy, the engine's threads then burn
the CPU time that a descheduled team mate needs, and two threads run slower than one. Passive
waiting puts them to sleep at once; the engine's parallel regions are few and long, so waking
them costs little.

So the native module `_engine` is loaded here, first of all of the package's imports, with
``OMP_WAIT_POLICY=passive`` unless the user chose a wait policy or spin count of their own;
the process environment is restored right after, so that nothing else sees a change. Where
the runtime was loaded before pxvorel (by another library), its settings stand.
See docs/decisions/0015-passive-waiting-threads.md.
"""

from __future__ import annotations

import os

#: The environment variables with which a user sets libgomp's waiting; any of them set: left alone.
USER_SETTINGS = ("OMP_WAIT_POLICY", "GOMP_SPINCOUNT")


def load_engine() -> None:
    """Import the native module `_engine` (and with it libgomp) with passive waiting where the user set none."""
    chosen = any(name in os.environ for name in USER_SETTINGS)
    if not chosen:
        os.environ["OMP_WAIT_POLICY"] = "passive"
    try:
        # Both native modules link the same libgomp: the first one loaded starts it.
        import pxvorel._engine  # noqa: F401
    finally:
        if not chosen:
            del os.environ["OMP_WAIT_POLICY"]


load_engine()
