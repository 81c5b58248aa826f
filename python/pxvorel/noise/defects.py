"""Defective pixels: hot, dead and flickering, found, and repaired before denoising.

A camera's hot pixel reads far above its neighbours in every frame, a dead one far below,
a flickering one (random telegraph noise) jumps in some frames. Optics image even the
smallest point source over several pixels, so a pixel that stands far beyond all eight of
its neighbours while they stay close together is not signal. Such pixels are found at a
fixed position: in a stack or series, in at least STUCK of the planes (hot or dead) or in
at least FLICKER of them (flickering); in a single plane only much further out, and only
where those outliers stand apart from the noise's own tail.

They are kept out of the noise measurement (:mod:`pxvorel.noise.measurement`), and the run
replaces them by the median of their eight neighbours before denoising
(:func:`repair_defects`): kept, a hot pixel stays as hot in the result and disturbs the
denoising around it (docs/decisions/0013-defective-pixels-repaired.md).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from pxvorel.noise.blocks import _planes, plane_groups
from pxvorel.noise.residuals import MAX_PLANES, Observed

#: A position (Y, X) in a channel's planes.
Position = tuple[int, int]

#: A pixel stands out of a plane when it lies this many noise sd (at the brighter of its
#: own intensity and its neighbours' mean) beyond all eight of its neighbours, and the
#: nearest of them lies less than ISOLATED of the way from their mean to it: a point source,
#: however small, spreads a good part of its light onto its neighbours.
OUTLIER_SD = 8.0
ISOLATED = 0.25
#: In a single plane nothing tells a defect from a rare large noise sample but its size: an
#: outlier counts as a defect there only this far out, and only when the outliers stand
#: apart from the noise: at least SEPARATE of those beyond OUTLIER_SD lie beyond this too.
#: Heavy-tailed noise (sparse photon counts, an EMCCD's gain) has many more outliers at 8 sd
#: than at 14; a few hot pixels in normal noise are beyond both.
SINGLE_PLANE_SD = 14.0
SEPARATE = 0.4
#: With several planes, a position that stands out in at least STUCK of them is hot (above)
#: or dead (below); one that stands out in at least FLICKER of them, and at least twice, but
#: fewer than STUCK, flickers.
STUCK = 0.5
FLICKER = 0.1


@dataclass(frozen=True)
class Defects:
    """Defective pixels of one channel: positions (Y, X) in its planes."""

    hot: tuple[Position, ...] = ()
    dead: tuple[Position, ...] = ()
    flickering: tuple[Position, ...] = ()

    @classmethod
    def none(cls) -> Defects:
        return cls()

    @classmethod
    def of(cls, hot: np.ndarray, dead: np.ndarray, flickering: np.ndarray) -> Defects:
        """From (n, 2) arrays of positions."""

        def listed(at: np.ndarray) -> tuple[Position, ...]:
            return tuple((int(y), int(x)) for y, x in at)

        return cls(listed(hot), listed(dead), listed(flickering))

    @property
    def count(self) -> int:
        return len(self.hot) + len(self.dead) + len(self.flickering)

    def positions(self) -> npt.NDArray[np.intp]:
        """All defective positions, (n, 2) as (Y, X)."""
        return np.asarray([*self.hot, *self.dead, *self.flickering], dtype=np.intp).reshape(-1, 2)

    def to_dict(self) -> dict[str, list[list[int]]]:
        return {name: [list(p) for p in getattr(self, name)] for name in ("hot", "dead", "flickering")}

    def describe(self) -> str:
        """ "3 hot, 1 flickering pixels" (empty when there are none)."""
        parts = [
            f"{n} {name}"
            for name, n in (("hot", len(self.hot)), ("dead", len(self.dead)), ("flickering", len(self.flickering)))
            if n
        ]
        return f"{', '.join(parts)} pixel{'s' if self.count > 1 else ''}" if parts else ""


def _extremes(planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Lowest and highest of the eight neighbours of every interior pixel of (planes, Y, X)
    data: of the three pixels above, the three below and the two beside it."""
    _, y, x = planes.shape
    left, middle, right = planes[:, :, : x - 2], planes[:, :, 1 : x - 1], planes[:, :, 2:]
    extremes = []
    for pick in (np.minimum, np.maximum):
        rows = pick(pick(left, middle), right)  # of three neighbouring pixels in a row
        beside = pick(left[:, 1 : y - 1], right[:, 1 : y - 1])
        extremes.append(pick(pick(rows[:, : y - 2], rows[:, 2:]), beside))
    return extremes[0], extremes[1]


def _lowest_sd(residuals: Observed, least_sd: float) -> float:
    """A lower bound of the noise sd :func:`_outliers` takes at any intensity (`least_sd` at
    least): from the lowest measured variance, less the rounding of the interpolation
    between bins."""
    variance = residuals.variance
    lowest = max(float(variance.min()) - 1e-9 * float(np.abs(variance).max()), 0.0)
    return math.sqrt(max(lowest, least_sd * least_sd)) * (1.0 - 1e-9)


def _outliers(
    samples: np.ndarray, residuals: Observed, limit: float, ends: tuple[float, float], least_sd: float
) -> tuple[np.ndarray, np.ndarray, int]:
    """Interior pixels of (planes, Y, X) `samples` that stand above (first) or below
    (second) all their neighbours by `limit` noise sd, isolated (see OUTLIER_SD), none of
    none of them beside or at the channel's clipped `ends` (lowest, highest); and the number
    that stand out by OUTLIER_SD, isolated or not.

    Only the pixels that stand out by OUTLIER_SD times the lowest noise sd of any intensity
    can stand out by OUTLIER_SD times their own: the rest are left out at once. The extremes
    of the neighbours are found in the samples' own type (exact), the rest in float64."""
    lowest, highest = (extreme.astype(np.float64, copy=False) for extreme in _extremes(samples))
    data = samples.astype(np.float64, copy=False)
    centre = data[:, 1:-1, 1:-1]
    least = OUTLIER_SD * _lowest_sd(residuals, least_sd)
    flags = []
    near = 0
    for beyond, sign in ((centre - highest, 1.0), (lowest - centre, -1.0)):
        at = np.nonzero(beyond > least)  # all of them beyond their neighbours: `least` is not negative
        p, r, c = at[0], at[1] + 1, at[2] + 1
        around = sum(data[p, r + dy, c + dx] for dy in (-1, 0, 1) for dx in (-1, 0, 1) if dy or dx)
        mean = np.asarray(around, dtype=np.float64) / 8.0
        value = data[p, r, c]
        nearest = highest[at] if sign > 0 else lowest[at]
        # the noise sd at the brighter of the pixel and its neighbours: a bright sample of
        # heavy-tailed noise is judged by the noise of its own intensity
        sd = np.sqrt(np.maximum(residuals.variance_at(np.maximum(mean, value)), least_sd * least_sd))
        gap = sign * (value - nearest)
        near += int(np.sum(gap > OUTLIER_SD * sd))
        isolated = sign * (nearest - mean) < ISOLATED * sign * (value - mean)
        out = np.zeros(centre.shape, dtype=bool)
        # at a clip the noise is cut off: a sample there, or beside neighbours all there, is
        # measured against noise that the clip hides, and cannot be judged
        clear = (value != ends[0]) & (value != ends[1]) & (nearest != ends[0]) & (nearest != ends[1])
        out[at] = (gap > limit * sd + 1e-12) & isolated & clear
        flags.append(out)
    return flags[0], flags[1], near


def find_defects(
    channel: np.ndarray, residuals: Observed, ends: tuple[float, float] = (-math.inf, math.inf)
) -> Defects:
    """Hot, dead and flickering pixels of a (T, Z, Y, X) channel (see :class:`Defects`);
    a pixel at a clipped end of the range (`ends`: a background cut at its lowest value, a
    saturated detector), or beside neighbours all at it, is not judged: the clip cuts the
    noise there.
    In a channel of whole numbers the noise sd is taken as half a count at least: where the
    measured noise rounds away, a step of a count or two is noise, not a defect."""
    planes = _planes(np.asarray(channel))
    n, y, x = planes.shape
    if y < 3 or x < 3 or not residuals.measured:
        return Defects.none()
    chosen = np.arange(n)
    if n > MAX_PLANES:
        chosen = np.linspace(0, n - 1, MAX_PLANES).round().astype(int)
    single = chosen.size < 3
    limit = SINGLE_PLANE_SD if single else OUTLIER_SD
    above = np.zeros((y - 2, x - 2), np.int32)
    below = np.zeros((y - 2, x - 2), np.int32)
    near = 0
    sample = planes.ravel()[:: max(1, planes.size // 1_000_000)]
    least_sd = 0.5 if planes.dtype.kind in "biu" or bool(np.all(np.mod(sample, 1) == 0)) else 0.0
    for group in plane_groups(planes[: chosen.size]):
        up, down, close = _outliers(planes[chosen[group]], residuals, limit, ends, least_sd)
        above += np.sum(up, axis=0, dtype=np.int32)
        below += np.sum(down, axis=0, dtype=np.int32)
        near += close
    if single:
        if int(above.sum() + below.sum()) < SEPARATE * near:
            return Defects.none()
        return Defects.of(np.argwhere(above >= 1) + 1, np.argwhere(below >= 1) + 1, np.empty((0, 2), np.intp))
    stuck = max(1, math.ceil(STUCK * chosen.size))
    flicker = max(2, math.ceil(FLICKER * chosen.size))
    hot, dead = above >= stuck, below >= stuck
    flickering = ~hot & ~dead & (above + below >= flicker)
    return Defects.of(np.argwhere(hot) + 1, np.argwhere(dead) + 1, np.argwhere(flickering) + 1)


def repaired(channel: np.ndarray, defects: Defects) -> np.ndarray:
    """A copy of a (T, Z, Y, X) channel whose defective pixels hold the median of their
    eight neighbours, plane by plane."""
    fixed = np.array(channel, copy=True)
    at = defects.positions()
    if at.size == 0:
        return fixed
    y, x = at[:, 0], at[:, 1]
    around = np.stack([channel[:, :, y + dy, x + dx] for dy in (-1, 0, 1) for dx in (-1, 0, 1) if dy or dx])
    fixed[:, :, y, x] = np.median(around, axis=0).astype(fixed.dtype)
    return fixed


def repair_defects(engine: np.ndarray, defects: Sequence[Defects | None], origin: Sequence[int] = ()) -> np.ndarray:
    """A (T, C, Z, Y, X) array with each channel's defective pixels repaired (a copy where
    any is; `engine` itself where none is). `origin` places a part of a larger image in it
    (its last two entries are the part's Y and X offsets); defects outside the part, or on
    its edge, are left as they are (a part's edges lie in its halo)."""
    if not any(d is not None and d.count for d in defects):
        return engine
    fixed = np.array(engine, copy=True)
    top, left = (int(origin[-2]), int(origin[-1])) if len(origin) >= 2 else (0, 0)
    _, _, _, y, x = engine.shape
    for c, found in enumerate(defects):
        if found is None or not found.count:
            continue
        at = found.positions() - np.array([top, left])
        inside = (at[:, 0] >= 1) & (at[:, 0] < y - 1) & (at[:, 1] >= 1) & (at[:, 1] < x - 1)
        if inside.any():
            fixed[:, c] = repaired(engine[:, c], Defects.of(at[inside], np.empty((0, 2)), np.empty((0, 2))))
    return fixed
