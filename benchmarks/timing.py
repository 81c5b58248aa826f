"""Timing: wall seconds of interleaved rounds (other load on the machine hits every contestant
alike) and process CPU seconds (what a one-thread run costs, whatever else the machine runs)."""

from __future__ import annotations

import statistics
import time
from collections.abc import Callable
from typing import TypeVar

Result = TypeVar("Result")


def wall(call: Callable[[], Result]) -> tuple[float, Result]:
    """Wall seconds of one call, and its result."""
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def cpu(call: Callable[[], Result]) -> tuple[float, Result]:
    """CPU seconds of the process during one call (all its threads), and its result."""
    start = time.process_time()
    result = call()
    return time.process_time() - start, result


def rounds(contestants: dict[str, Callable[[], Result]], count: int) -> dict[str, tuple[float, Result]]:
    """Median wall seconds of each contestant over `count` interleaved rounds, and its last result."""
    seconds: dict[str, list[float]] = {name: [] for name in contestants}
    results: dict[str, Result] = {}
    for _ in range(count):
        for name, call in contestants.items():
            elapsed, results[name] = wall(call)
            seconds[name].append(elapsed)
    return {name: (statistics.median(seconds[name]), results[name]) for name in contestants}


def best(call: Callable[[], object], repeat: int) -> float:
    """The shortest wall seconds of `repeat` calls."""
    return min(wall(call)[0] for _ in range(repeat))
