"""Progress of a denoising run: what ``progress=`` accepts, and how one run's engine calls share it."""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import TextIO

ProgressCallback = Callable[[float], object]
ProgressSpec = bool | ProgressCallback | None


def part_of(progress: ProgressCallback | None, start: float, stop: float) -> ProgressCallback | None:
    """A callback for a step that covers [start, stop] of what `progress` reports (None stays None)."""
    if progress is None:
        return None
    return lambda fraction: progress(start + (stop - start) * min(max(fraction, 0.0), 1.0))


class Fractions:
    """Passes fractions on to a callback, never decreasing and with 1.0 passed exactly once at the end.

    A run made of several engine calls gives each call a share of [0, 1] with :meth:`share`.
    """

    def __init__(self, callback: ProgressCallback) -> None:
        self._callback = callback
        self._last = 0.0

    def __call__(self, fraction: float) -> None:
        fraction = min(max(float(fraction), self._last), 1.0)
        if fraction == 1.0 and self._last == 1.0:
            return
        self._last = fraction
        self._callback(fraction)

    def share(self, start: float, stop: float) -> ProgressCallback:
        """A callback for one engine call that covers [start, stop] of the whole run."""
        return lambda fraction: self(start + (stop - start) * min(max(fraction, 0.0), 1.0))

    def finish(self) -> None:
        self(1.0)


@contextmanager
def bar(stream: TextIO | None = None, description: str = "denoising") -> Iterator[ProgressCallback]:
    """A tqdm bar with elapsed and remaining time, for the duration of the block (a widget in a
    notebook, through tqdm.auto)."""
    from tqdm.auto import tqdm

    steps = 1000
    with tqdm(
        total=steps,
        desc=description,
        file=stream if stream is not None else sys.stderr,
        bar_format="{desc}: {percentage:3.0f}%|{bar}| [{elapsed}<{remaining}]",
        leave=True,
        dynamic_ncols=True,
    ) as progress_bar:

        def update(fraction: float) -> None:
            progress_bar.update(round(fraction * steps) - progress_bar.n)

        yield update


@contextmanager
def reporting(progress: ProgressSpec) -> Iterator[Fractions | None]:
    """Turn a ``progress=`` argument into a :class:`Fractions` (None for no reports).

    Raises
    ------
    ValueError
        When `progress` is neither None, a bool nor a callable.
    """
    if progress is None or progress is False:
        yield None
    elif progress is True:  # a bar in a terminal or a notebook, percentage lines in a log
        shown = bar() if is_terminal(sys.stderr) or "ipykernel" in sys.modules else percentage_lines(sys.stderr)
        with shown as update:
            yield Fractions(update)
    elif callable(progress):
        yield Fractions(progress)
    else:
        raise ValueError(f"progress must be True, False, None or a callable taking a fraction, not {progress!r}")


@contextmanager
def percentage_lines(stream: TextIO, description: str = "denoising", every: int = 10) -> Iterator[ProgressCallback]:
    """One line per `every` per cent with the elapsed and the remaining time, for logs and pipes."""
    start = time.perf_counter()
    printed = -every

    def update(fraction: float) -> None:
        nonlocal printed
        percent = int(fraction * 100)
        if percent < printed + every:
            return
        printed = percent - percent % every
        elapsed = time.perf_counter() - start
        left = f", about {elapsed * (1 - fraction) / fraction:.0f} s left" if 0 < fraction < 1 and elapsed > 1 else ""
        print(f"pxvorel: {description}: {printed:3d} % after {elapsed:.0f} s{left}", file=stream, flush=True)

    yield update


def is_terminal(stream: TextIO) -> bool:
    """Whether a stream is an interactive terminal."""
    try:
        return bool(stream.isatty()) and os.environ.get("TERM") != "dumb"
    except (AttributeError, ValueError):
        return False


@contextmanager
def on_stream(stream: TextIO, description: str, *, quiet: bool) -> Iterator[Fractions | None]:
    """A bar on a terminal, percentage lines elsewhere, nothing when quiet."""
    if quiet:
        yield None
        return
    shown = bar(stream, description) if is_terminal(stream) else percentage_lines(stream, description)
    with shown as update:
        yield Fractions(update)
