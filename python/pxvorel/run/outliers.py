"""Single samples far from every neighbour in their plane: dark ones repaired before the engine,
bright ones kept out of the second stage.

A fluorescence image holds no structure darker than its surroundings at the scale of one
pixel: light spreads over neighbours, it is never subtracted from one pixel alone. A sample
that lies more than ``DARK`` noise sds below the second lowest of its eight neighbours in the
(Y, X) plane (so that two such samples side by side are found; the lowest of the two
neighbours along a line) is therefore a defect: a dead camera pixel, a dropped or clipped
value. Left in, it finds no similar patch, the engine keeps it, and the second stage turns it
into a speck ringing over a block. It is replaced by the median of those neighbours.

A bright sample as far above its neighbours is a hot pixel or an undersampled spot, which
cannot be told apart: the engine keeps it (no patch is like it), and so does the run. The
second stage, however, would spread its energy thinly over a block's coefficients, keep part
of each and ring around it; :func:`bright_samples` finds such samples that the engine kept,
so that the stage filters the image without them and leaves the engine's value there.

The tests run on one channel at unit noise; the dark one after the stabilising transform and
before any whitening (correlated noise has a per-sample sd above 1 there, which the threshold
follows).
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
import numpy.typing as npt

#: How far (noise sds) beyond the second most extreme neighbour a sample must lie to count:
#: unit Gaussian noise goes there about once in 1e9 samples even before that neighbour's own
#: extreme value (about 1 sd) is taken into account.
DARK = 6.0
BRIGHT = 6.0

Index = tuple[npt.NDArray[np.intp], ...]


def _offsets(shape: tuple[int, ...]) -> list[tuple[int, int]]:
    """The (Y, X) offsets of a sample's neighbours in a (Z, Y, X) volume of `shape`: the
    3 x 3 square without its centre, along the axes longer than one."""
    along_y = (-1, 0, 1) if shape[1] > 1 else (0,)
    along_x = (-1, 0, 1) if shape[2] > 1 else (0,)
    return [(dy, dx) for dy in along_y for dx in along_x if (dy, dx) != (0, 0)]


def _neighbours(volume: npt.NDArray[np.float32]) -> Callable[[int, int], npt.NDArray[np.float32]]:
    """The (Z, Y, X) volume shifted by (dy, dx), mirrored at its faces (sample -1 is sample 1)."""
    pad = [(0, 0), (1, 1) if volume.shape[1] > 1 else (0, 0), (1, 1) if volume.shape[2] > 1 else (0, 0)]
    mirrored = np.pad(volume, pad, mode="reflect")
    y0, x0 = pad[1][0], pad[2][0]
    height, width = volume.shape[1:]

    def shifted(dy: int, dx: int) -> npt.NDArray[np.float32]:
        return mirrored[:, y0 + dy : y0 + dy + height, x0 + dx : x0 + dx + width]

    return shifted


def _beyond(volume: npt.NDArray[np.float32], threshold: float, sign: float) -> Index:
    """The samples of a (Z, Y, X) volume more than `threshold` below (`sign` -1) or above (+1)
    the second most extreme of their in-plane neighbours (the most extreme along a line),
    found a plane at a time (the neighbours are in-plane), in the order of ``np.nonzero``."""
    offsets = _offsets(volume.shape)
    if not offsets:
        return (np.zeros(0, np.intp),) * 3
    found = [_beyond_in_plane(volume[z : z + 1], offsets, threshold, sign) for z in range(volume.shape[0])]
    return (
        np.concatenate([np.full(len(f[0]), z, np.intp) for z, f in enumerate(found)]),
        np.concatenate([f[0] for f in found]),
        np.concatenate([f[1] for f in found]),
    )


def _beyond_in_plane(
    plane: npt.NDArray[np.float32], offsets: list[tuple[int, int]], threshold: float, sign: float
) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]:
    """The (Y, X) indices of :func:`_beyond` in a (1, Y, X) volume, its work done in a few
    plane-sized buffers written in place."""
    shifted = _neighbours(plane)
    flipped = np.float32(-sign)  # the test below looks for the lowest of the flipped values
    first = np.full(plane.shape, np.inf, np.float32)
    second = first.copy()
    value = np.empty(plane.shape, np.float32)
    larger = np.empty(plane.shape, np.float32)
    for dy, dx in offsets:
        np.multiply(shifted(dy, dx), flipped, out=value)
        np.minimum(second, np.maximum(first, value, out=larger), out=second)
        np.minimum(first, value, out=first)
    del larger
    reference = second if len(offsets) > 2 else first
    np.subtract(reference, np.float32(threshold), out=reference)
    _, y, x = np.nonzero(np.multiply(plane, flipped, out=value) < reference)
    return y, x


def _ring_median(volume: npt.NDArray[np.float32], where: Index) -> npt.NDArray[np.float32]:
    """The median of the in-plane neighbours of the samples `where` of a (Z, Y, X) volume."""
    shifted = _neighbours(volume)
    around = np.stack([shifted(dy, dx)[where] for dy, dx in _offsets(volume.shape)])
    median: npt.NDArray[np.float32] = np.median(around, axis=0).astype(np.float32)
    return median


def repair_dark(stack: npt.NDArray[np.float32], sd: float = 1.0) -> int:
    """Replace in place the dark outliers of a (T, Z, Y, X) channel whose noise has the sd `sd`
    by the median of their in-plane neighbours; returns their count.

    Examples
    --------
    >>> rng = np.random.default_rng(0)
    >>> plane = rng.standard_normal((1, 1, 32, 32)).astype(np.float32)
    >>> plane[0, 0, 10, 12] = -20.0
    >>> repair_dark(plane), bool(abs(plane[0, 0, 10, 12]) < 3)
    (1, True)
    """
    count = 0
    for volume in stack:
        where = _beyond(volume, DARK * sd, -1.0)
        if len(where[0]):
            volume[where] = _ring_median(volume, where)
            count += len(where[0])
    return count


def bright_samples(stack: npt.NDArray[np.float32], kept: npt.NDArray[np.float32]) -> Index:
    """The (T, Z, Y, X) indices of the samples of a unit-noise channel more than ``BRIGHT`` above
    the second highest of their in-plane neighbours both in `stack` and in `kept`, the engine's
    result on it: those the engine kept as they were. Where it found similar samples (single
    photon counts in a sparse image) it averaged them down, and the stage may go on."""
    parts = []
    for t, (volume, result) in enumerate(zip(stack, kept, strict=True)):
        z, y, x = np.nonzero(_mark(volume, _beyond(volume, BRIGHT, 1.0)) & _mark(result, _beyond(result, BRIGHT, 1.0)))
        parts.append((np.full(len(z), t, np.intp), z, y, x))
    return tuple(np.concatenate([p[a] for p in parts]) if parts else np.zeros(0, np.intp) for a in range(4))


def _mark(volume: npt.NDArray[np.float32], where: Index) -> npt.NDArray[np.bool_]:
    marks = np.zeros(volume.shape, bool)
    marks[where] = True
    return marks


def ring_medians(stack: npt.NDArray[np.float32], where: Index) -> npt.NDArray[np.float32]:
    """The median of the in-plane neighbours of each sample `where` of a (T, Z, Y, X) channel
    (what :func:`bright_samples` are replaced by), in the order of `where`."""
    values = np.empty(len(where[0]), np.float32)
    for t in np.unique(where[0]):
        mine = where[0] == t
        values[mine] = _ring_median(stack[t], (where[1][mine], where[2][mine], where[3][mine]))
    return values
