"""The independent parts of the noise measurement side by side on threads.

The channels of an image are measured independently of each other, and within a channel
the blocks' noise independently of the residuals' (:mod:`pxvorel.noise.measurement`). Their
work is NumPy's on whole arrays, which releases the GIL, so a run given more than one
thread runs them side by side; each part computes exactly what it computes alone, so the
model is the same on any number of threads.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from concurrent.futures import Future, ThreadPoolExecutor
from typing import TypeVar

T = TypeVar("T")
R = TypeVar("R")


def each(function: Callable[[T], R], items: Iterable[T], workers: int) -> list[R]:
    """``[function(item) for item in items]``, on up to `workers` threads side by side."""
    found = list(items)
    if workers <= 1 or len(found) <= 1:
        return [function(item) for item in found]
    with ThreadPoolExecutor(max_workers=min(workers, len(found)), thread_name_prefix="pxvorel-noise") as pool:
        return list(pool.map(function, found))


def beside(function: Callable[[], R], workers: int) -> Callable[[], R]:
    """`function` started on a thread of its own where `workers` allows more than one (run
    when asked for otherwise): the returned call gives its result."""
    if workers <= 1:
        return function
    pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="pxvorel-noise")
    future: Future[R] = pool.submit(function)
    pool.shutdown(wait=False)

    def result() -> R:
        return future.result()

    return result
