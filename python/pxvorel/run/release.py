"""Freed memory given back to the system between the steps of a run.

The C library keeps the memory a step frees for later use by the same thread's heap, and the
steps allocate from different threads (the engine's worker, the tiles' pool), so memory one
step freed is often not the memory the next one takes: the process would hold the sum of
their peaks. Where the C library can (glibc's ``malloc_trim``), :func:`release` returns the
free pages of every heap to the system; elsewhere it does nothing. Memory still in use is
untouched, so results do not depend on it.
"""

from __future__ import annotations

import ctypes
import functools
from collections.abc import Callable


@functools.cache
def _trim() -> Callable[[int], int] | None:
    """glibc's ``malloc_trim`` from the symbols the process has loaded, or None where the C
    library has none."""
    try:
        function: Callable[[int], int] = ctypes.CDLL(None).malloc_trim
    except (OSError, AttributeError):
        return None
    return function


def release() -> None:
    """Give the free pages of the process's heaps back to the system (glibc only)."""
    trim = _trim()
    if trim is not None:
        trim(0)
