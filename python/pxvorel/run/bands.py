"""Several cores on one in-memory image: the image cut into bands, one engine run per band.

The engine's own threads split each pass into slabs whose patches never overlap (and
fall back to atomic additions on grids too small for that); their sums are added in
another order than one thread's, so the last bits differ from the one-thread result.
Bands share nothing: each is
widened by the engine's reach and aligned to its reference grid (:mod:`pxvorel.run.halo`),
runs on one thread, and gives its core exactly as the whole image would. The result
is therefore the one-thread result, bit for bit, whatever the number of bands.

There are as many bands as threads, or fewer where more would overlap by more than
:data:`MAX_OVERLAP` of the work; where not even two pay (images up to about 600 samples along every axis at the default
settings, short axes), the engine's threads are used.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from concurrent.futures import FIRST_EXCEPTION, ThreadPoolExecutor, wait
from dataclasses import dataclass
from itertools import pairwise

import numpy as np
import numpy.typing as npt

from pxvorel.core.axes import ENGINE_AXES
from pxvorel.run.geometry import CUT_AXES
from pxvorel.run.halo import Halo

#: Largest share of extra work (the bands' overlap) for which bands are used. The engine's
#: own threads run nearly twice as fast on two cores as one thread does, so two bands
#: overlapping by more than about a tenth are slower; up to a tenth they are as fast and give
#: the one-thread bits (see docs/decisions/0009-threads-bands-and-channel-rounds.md).
MAX_OVERLAP = 0.1

#: Seconds between progress reports while bands run.
REPORT_INTERVAL = 0.1


@dataclass(frozen=True)
class Band:
    """One band: the part of the image it reads, and where its core lies in it and in the image."""

    region: tuple[slice, ...]
    core: tuple[slice, ...]
    """The core within the band."""
    target: tuple[slice, ...]
    """The core within the image."""

    def size(self, shape: tuple[int, ...]) -> int:
        return int(np.prod([len(range(*s.indices(n))) for s, n in zip(self.region, shape, strict=True)]))


def channel_bands(shape: tuple[int, ...]) -> list[Band]:
    """One band per channel of a (T, C, Z, Y, X) image, without overlap: channels denoised
    apart share nothing, so each can run on a thread of its own."""
    channel = ENGINE_AXES.index("C")
    bands = []
    for c in range(shape[channel]):
        region = tuple(slice(c, c + 1) if i == channel else slice(None) for i in range(len(shape)))
        bands.append(Band(region, tuple(slice(None) for _ in shape), region))
    return bands


def plan_bands(shape: tuple[int, ...], halo: Halo, count: int) -> list[Band] | None:
    """As many bands of a (T, C, Z, Y, X) image as pay, `count` at most.

    The most bands, from `count` down to 2, whose overlap along some axis stays within
    :data:`MAX_OVERLAP` of the image, cut along the axis where they overlap least; None
    when not even 2 bands pay (or `count` is 1). Fewer bands than threads leave cores
    idle, but a band on one thread keeps the one-thread bits, and the engine's own
    threads gain little on top.
    """
    for bands in range(count, 1, -1):
        planned = _plan(shape, halo, bands)
        if planned is not None:
            return planned
    return None


def _plan(shape: tuple[int, ...], halo: Halo, count: int) -> list[Band] | None:
    """Exactly `count` bands along the axis where they overlap least, or None."""
    best: tuple[float, int, list[tuple[int, int, int, int]]] | None = None
    for axis in CUT_AXES:
        index = ENGINE_AXES.index(axis)
        length = shape[index]
        step = halo.step[axis]
        # Cores start on the reference grid, so that each band's grid is the image's.
        starts = sorted({min(length, round(length * i / count) // step * step) for i in range(count)} | {length})
        if len(starts) <= count:  # too short for `count` distinct cores
            continue
        pieces = [(start, stop, *halo.region(axis, start, stop, length)) for start, stop in pairwise(starts)]
        overlap = sum(hi - lo for _, _, lo, hi in pieces) / length - 1
        if overlap <= MAX_OVERLAP and (best is None or overlap < best[0]):
            best = (overlap, index, pieces)
    if best is None:
        return None
    _, index, pieces = best
    bands = []
    for start, stop, lo, hi in pieces:

        def along(inner: slice) -> tuple[slice, ...]:
            return tuple(inner if i == index else slice(None) for i in range(len(shape)))

        bands.append(Band(along(slice(lo, hi)), along(slice(start - lo, stop - lo)), along(slice(start, stop))))
    return bands


class _Stopped(Exception):
    """Raised in a band's progress report once another band (or the caller) has failed."""


def run_bands(
    work: npt.NDArray[np.float32],
    bands: list[Band],
    denoise: Callable[[npt.NDArray[np.float32], Callable[[float], None]], npt.NDArray[np.float32]],
    progress: Callable[[float], object] | None,
    workers: int | None = None,
    out: npt.NDArray[np.float32] | None = None,
) -> npt.NDArray[np.float32]:
    """Denoise every band of `work` on a thread of its own and join the cores (into `out`, of
    `work`'s shape, where given); at most `workers` bands at a time (all by default), so that
    many channels run as one band each do not hold the engine's work arrays for all of them at once.

    `denoise(band, report)` runs the engine on one band, calling `report(fraction)` as
    it goes. The calling thread waits, passes the bands' joint progress on (weighted by
    their sizes) and stays interruptible: on Ctrl-C, a failing band or a progress
    callback that raises, every band is stopped, all threads are joined and the error
    is raised here.
    """
    sizes = np.array([band.size(work.shape) for band in bands], dtype=float)
    weights = sizes / sizes.sum()
    fractions = [0.0] * len(bands)
    stop = threading.Event()
    result = np.empty(work.shape, dtype=np.float32) if out is None else out

    def run(i: int) -> None:
        def report(fraction: float) -> None:
            if stop.is_set():
                raise _Stopped
            fractions[i] = fraction

        result[bands[i].target] = denoise(np.ascontiguousarray(work[bands[i].region]), report)[bands[i].core]

    with ThreadPoolExecutor(
        max_workers=min(len(bands), workers or len(bands)), thread_name_prefix="pxvorel-band"
    ) as pool:
        futures = [pool.submit(run, i) for i in range(len(bands))]
        try:
            pending = set(futures)
            while pending:
                _, pending = wait(pending, timeout=REPORT_INTERVAL, return_when=FIRST_EXCEPTION)
                if any(f.done() and f.exception() is not None for f in futures):
                    break
                if progress is not None:
                    progress(float(np.dot(weights, fractions)))
        finally:
            stop.set()  # no effect once all bands have ended
            for future in futures:
                future.cancel()  # bands still waiting for a worker do not start
            wait(futures)
    for future in futures:
        if future.cancelled():
            continue
        error = future.exception()
        if error is not None and not isinstance(error, _Stopped):
            raise error
    return result
