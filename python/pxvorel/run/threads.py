"""The OpenMP thread count of native calls, and leaving it as it was found.

The native denoiser sets the OpenMP thread count of the calling thread and leaves it set.
A library must not change the process it runs in, so a run with an explicit thread count
restores the count in force afterwards, and a run without one uses the count in force
(``OMP_NUM_THREADS``, threadpoolctl's limits, a dask worker's setting) untouched.

OpenMP's thread pool does not survive ``fork``: in a child process the pool's threads
are gone, and a parallel region of more than one thread waits for them forever. Native
calls in a forked child therefore run on one thread.
"""

from __future__ import annotations

import functools
import os
from collections.abc import Iterator
from contextlib import contextmanager

from threadpoolctl import ThreadpoolController

import pxvorel._engine  # noqa: F401  (loads the OpenMP runtime that the native modules use)

#: The process that imported pxvorel; any other process running this code was forked from it.
_IMPORTING_PROCESS = os.getpid()


@functools.cache
def _openmp() -> ThreadpoolController:
    """threadpoolctl's handle on the OpenMP runtime that the native modules loaded (found once:
    the search goes through every loaded library)."""
    controller = ThreadpoolController().select(prefix="libgomp")
    if not controller.lib_controllers:
        raise RuntimeError("the OpenMP runtime of pxvorel's native modules (libgomp) is not loaded")
    return controller


def available_cores() -> int:
    """Number of cores this process may run on."""
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def current_threads() -> int:
    """The OpenMP thread count in force for the calling thread."""
    return int(_openmp().info()[0]["num_threads"])


def forked() -> bool:
    """True in a process forked from the one that imported pxvorel."""
    return os.getpid() != _IMPORTING_PROCESS


def run_threads(threads: int | None) -> int:
    """The threads a run asked for `threads` (None: the count in force) gets: one in a forked child."""
    return 1 if forked() else threads if threads is not None else current_threads()


@contextmanager
def native_threads(threads: int | None) -> Iterator[int]:
    """Yield the thread argument for native calls; restore the caller's count on exit.

    `threads` None yields 0, which the native calls read as "the count in force", and
    changes nothing. A count yields itself; the native call sets it, and it is undone
    here. In a forked child the count is 1.
    """
    if forked():
        threads = 1
    if threads is None:
        yield 0
        return
    with _openmp().limit(limits=current_threads()):  # the count in force now, restored on exit
        yield threads
