"""Dark outliers: samples far below every neighbour in their plane, repaired before the engine.

A fluorescence image holds no structure darker than its surroundings at the scale of one
pixel: light spreads over neighbours, it is never subtracted from one pixel alone. A sample
that lies more than ``DARK`` noise sds below the second lowest of its eight neighbours in the
(Y, X) plane (so that two such samples side by side are found; the lowest of the two
neighbours along a line) is therefore a defect: a dead camera pixel, a dropped or clipped
value. Left in, it finds no similar patch, the engine keeps it, and the second stage turns it
into a speck ringing over a block. It is replaced by the median of those neighbours.

Bright single samples are left alone: an undersampled spot looks the same as a hot pixel.

The test runs on one channel at unit noise, after the stabilising transform and before any
whitening (correlated noise has a per-sample sd above 1 there, which the threshold follows).
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

#: How far (noise sds) below the second lowest neighbour a sample must lie to be repaired:
#: unit Gaussian noise goes there about once in 1e9 samples even before that neighbour's
#: own low value (about -1 sd) is taken into account.
DARK = 6.0


def _offsets(shape: tuple[int, ...]) -> list[tuple[int, int]]:
    """The (Y, X) offsets of a sample's neighbours in a (Z, Y, X) volume of `shape`: the
    3 x 3 square without its centre, along the axes longer than one."""
    along_y = (-1, 0, 1) if shape[1] > 1 else (0,)
    along_x = (-1, 0, 1) if shape[2] > 1 else (0,)
    return [(dy, dx) for dy in along_y for dx in along_x if (dy, dx) != (0, 0)]


def repair_dark(stack: npt.NDArray[np.float32], sd: float = 1.0) -> int:
    """Replace in place the dark outliers of a (T, Z, Y, X) channel whose noise has the sd `sd`;
    returns their count. Neighbours beyond a face are mirrored (sample -1 is sample 1).

    Examples
    --------
    >>> rng = np.random.default_rng(0)
    >>> plane = rng.standard_normal((1, 1, 32, 32)).astype(np.float32)
    >>> plane[0, 0, 10, 12] = -20.0
    >>> repair_dark(plane), bool(abs(plane[0, 0, 10, 12]) < 3)
    (1, True)
    """
    offsets = _offsets(stack.shape[1:])
    if not offsets:
        return 0
    count = 0
    threshold = np.float32(DARK * sd)
    for volume in stack:
        pad = [(0, 0), (1, 1) if volume.shape[1] > 1 else (0, 0), (1, 1) if volume.shape[2] > 1 else (0, 0)]
        mirrored = np.pad(volume, pad, mode="reflect")
        y0, x0 = pad[1][0], pad[2][0]
        height, width = volume.shape[1:]

        def neighbour(dy: int, dx: int, mirrored: npt.NDArray[np.float32] = mirrored) -> npt.NDArray[np.float32]:
            return mirrored[:, y0 + dy : y0 + dy + height, x0 + dx : x0 + dx + width]

        # the second lowest neighbour, so that two dark samples side by side are found too
        lowest = np.full(volume.shape, np.inf, np.float32)
        second = lowest.copy()
        for dy, dx in offsets:
            value = neighbour(dy, dx)
            np.minimum(second, np.maximum(lowest, value), out=second)
            np.minimum(lowest, value, out=lowest)
        reference = second if len(offsets) > 2 else lowest
        where = np.nonzero(volume < reference - threshold)
        if len(where[0]) == 0:
            continue
        around = np.stack([neighbour(dy, dx)[where] for dy, dx in offsets])
        volume[where] = np.median(around, axis=0)
        count += len(where[0])
    return count
