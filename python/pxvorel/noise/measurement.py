"""Everything measured of one channel's noise, in one pass and one value.

:func:`measure_channel` reads a (T, Z, Y, X) channel once for all that the choice of its
model needs (:mod:`pxvorel.noise.channel_choice` reads only the value it returns):

- its range and its typical intensity;
- the clip facts: the values at which it is clipped (a background cut at its lowest value,
  saturation at its highest) and the share of samples at each, and the value at which its
  detector saturated (a clip, or the top of a whole-number range that samples reach);
- its defective pixels (:class:`Defects`): hot, dead and flickering pixels, found where a
  pixel stands far from all its eight neighbours (further than optics let a point source
  stand: a point's image spreads over its neighbours) at a fixed position;
- the noise of 2 x 2 cells in blocks (:func:`~pxvorel.noise.blocks.noise_profile`) and of
  the recorded samples' Laplacian residuals (:func:`~pxvorel.noise.residuals.observed_profile`),
  both measured with the defective pixels replaced by the median of their neighbours, so
  that a few stuck pixels neither lift the noise of their intensity nor bend the fit.

The spatial correlation of the noise is measured later, once the model is known: it is
measured in the stabilised image (:func:`~pxvorel.noise.choose.with_correlation`).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from pxvorel.noise.blocks import NoiseProfile, _planes, noise_profile, plane_groups
from pxvorel.noise.residuals import MAX_PLANES, Observed, observed_profile

#: Share of samples at the lowest or highest value above which that value may be a clip.
CLIPPED_SHARE = 0.01
#: The lowest value is a clip when the samples next to it lie within this many noise sd of
#: it (a noisy background cut off); a black box or label has bright neighbours instead.
CLIP_REACH = 3.0
#: A pixel stands out of a plane when it lies this many noise sd (at the brighter of its
#: own intensity and its neighbours' mean) beyond all eight of its neighbours, and the
#: nearest of them lies less than ISOLATED of the way from their mean to it: a point source,
#: however small, spreads a good part of its light onto its neighbours.
OUTLIER_SD = 8.0
ISOLATED = 0.25
#: Tops of whole-number ranges (8- to 16-bit detectors and their exports): a channel whose
#: highest value is one of them saturated there.
CEILINGS = frozenset(float(2**bits - 1) for bits in range(8, 17))
#: In a single plane nothing tells a defect from a rare large noise sample but its size: an
#: outlier counts as a defect there only this far out, and only when the outliers stand
#: apart from the noise: at least SEPARATE of those beyond OUTLIER_SD lie beyond this too.
#: Heavy-tailed noise (sparse photon counts, an EMCCD's gain) has many more outliers at 8 sd
#: than at 14; a few hot pixels in normal noise are beyond both.
SINGLE_PLANE_SD = 14.0
SEPARATE = 0.5
#: With several planes, a position that stands out in at least STUCK of them is hot (above)
#: or dead (below); one that stands out in at least FLICKER of them, and at least twice, but
#: fewer than STUCK, flickers.
STUCK = 0.5
FLICKER = 0.1
#: Searches for defects at most. Many defects lift the noise measured at their intensities
#: (their residuals make a heavy tail) and so hide some of themselves; each search measures
#: the noise with the defects found so far repaired.
SEARCHES = 4


@dataclass(frozen=True)
class Defects:
    """Defective pixels of one channel: positions (Y, X) in its planes."""

    hot: npt.NDArray[np.intp]
    dead: npt.NDArray[np.intp]
    flickering: npt.NDArray[np.intp]

    @classmethod
    def none(cls) -> Defects:
        empty = np.empty((0, 2), dtype=np.intp)
        return cls(empty, empty, empty)

    @property
    def count(self) -> int:
        return int(self.hot.shape[0] + self.dead.shape[0] + self.flickering.shape[0])

    def positions(self) -> npt.NDArray[np.intp]:
        """All defective positions, (n, 2) as (Y, X)."""
        return np.concatenate([self.hot, self.dead, self.flickering])

    def describe(self) -> str:
        """ "3 hot, 1 flickering pixels" (empty when there are none)."""
        parts = [
            f"{n} {name}"
            for name, n in (("hot", len(self.hot)), ("dead", len(self.dead)), ("flickering", len(self.flickering)))
            if n
        ]
        return f"{', '.join(parts)} pixel{'s' if self.count > 1 else ''}" if parts else ""


@dataclass(frozen=True)
class ChannelMeasurement:
    """All that is measured of one channel's noise (see the module's description)."""

    blocks: NoiseProfile
    residuals: Observed
    span: tuple[float, float]
    typical: float
    """Median intensity, over the samples above the minimum when most sit at the minimum."""
    low: float
    """The value at which the channel is clipped below (-inf when it is not)."""
    high: float
    """The value at which it is clipped above, saturated (inf when it is not)."""
    low_share: float
    high_share: float
    """Shares of the samples at the lowest and at the highest value."""
    defects: Defects
    saturation: float = math.inf
    """The value at which the detector saturated: the highest value where it is a clip, or
    where it is the top of a whole-number range (CEILINGS); inf where none is seen."""

    @property
    def measured(self) -> bool:
        return self.residuals.measured

    @property
    def clipped(self) -> bool:
        return math.isfinite(self.low) or math.isfinite(self.high)


def typical_level(sample: np.ndarray) -> float:
    """Median of `sample`, over the values above its minimum when most sit at the minimum."""
    median, floor = float(np.median(sample)), float(sample.min())
    if median == floor and (sample > floor).any():
        return float(np.median(sample[sample > floor]))
    return median


def _is_clip(rows: np.ndarray, value: float, sd: float) -> bool:
    """`value` is a clip when more than CLIPPED_SHARE of the samples sit on it and the
    samples beside those (along X) are mostly within CLIP_REACH sd of it."""
    at = rows == value
    if np.mean(at) <= CLIPPED_SHARE:
        return False
    beside = np.concatenate([rows[..., 1:][at[..., :-1] & ~at[..., 1:]], rows[..., :-1][at[..., 1:] & ~at[..., :-1]]])
    if beside.size == 0:
        return False
    return bool(np.median(np.abs(beside - value)) <= CLIP_REACH * max(sd, 0.5))


def _extremes(planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Lowest and highest of the eight neighbours of every interior pixel of (planes, Y, X) data."""
    _, y, x = planes.shape
    views = [planes[:, 1 + dy : y - 1 + dy, 1 + dx : x - 1 + dx] for dy in (-1, 0, 1) for dx in (-1, 0, 1) if dy or dx]
    lowest, highest = views[0].copy(), views[0].copy()
    for view in views[1:]:
        np.minimum(lowest, view, out=lowest)
        np.maximum(highest, view, out=highest)
    return lowest, highest


def _outliers(
    data: np.ndarray, residuals: Observed, limit: float, floor: float, least_sd: float
) -> tuple[np.ndarray, np.ndarray, int]:
    """Interior pixels of (planes, Y, X) float data that stand above (first) or below
    (second) all their neighbours by `limit` noise sd, isolated (see OUTLIER_SD), none of
    those below at `floor`; and the number that stand out by OUTLIER_SD, isolated or not."""
    lowest, highest = _extremes(data)
    centre = data[:, 1:-1, 1:-1]
    flags = []
    near = 0
    for candidates, sign in ((centre > highest, 1.0), (centre < lowest, -1.0)):
        at = np.nonzero(candidates)
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
        out[at] = (gap > limit * sd + 1e-12) & isolated & ((sign > 0) | (value != floor))
        flags.append(out)
    return flags[0], flags[1], near


def find_defects(channel: np.ndarray, residuals: Observed, floor: float = -math.inf) -> Defects:
    """Hot, dead and flickering pixels of a (T, Z, Y, X) channel (see :class:`Defects`);
    a pixel at `floor` (a clipped background) is not dead: a clip cuts noise to it too.
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
    least_sd = 0.5 if bool(np.all(np.mod(sample, 1) == 0)) else 0.0
    for group in plane_groups(planes[: chosen.size]):
        up, down, close = _outliers(planes[chosen[group]].astype(np.float64), residuals, limit, floor, least_sd)
        above += np.sum(up, axis=0, dtype=np.int32)
        below += np.sum(down, axis=0, dtype=np.int32)
        near += close
    if single:
        if int(above.sum() + below.sum()) < SEPARATE * near:
            return Defects.none()
        return Defects(np.argwhere(above >= 1) + 1, np.argwhere(below >= 1) + 1, np.empty((0, 2), np.intp))
    stuck = max(1, math.ceil(STUCK * chosen.size))
    flicker = max(2, math.ceil(FLICKER * chosen.size))
    hot, dead = above >= stuck, below >= stuck
    flickering = ~hot & ~dead & (above + below >= flicker)
    return Defects(np.argwhere(hot) + 1, np.argwhere(dead) + 1, np.argwhere(flickering) + 1)


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


def measure_channel(channel: np.ndarray) -> ChannelMeasurement:
    """Measure one (T, Z, Y, X) channel's noise: see :class:`ChannelMeasurement`."""
    channel = np.asarray(channel)
    span = (float(channel.min()), float(channel.max()))
    sample = channel.ravel()[:: max(1, channel.size // 4_000_000)]
    typical = typical_level(sample)
    residuals = observed_profile(channel)
    defects = Defects.none()
    if residuals.measured and channel.ndim == 4 and channel.shape[-1] >= 3 and channel.shape[-2] >= 3:
        floor = span[0] if float(np.mean(sample == span[0])) > CLIPPED_SHARE else -math.inf
        defects = find_defects(channel, residuals, floor)
        original = channel
        for _ in range(SEARCHES):
            if not defects.count:
                break
            channel = repaired(original, defects)
            residuals = observed_profile(channel)
            again = find_defects(original, residuals, floor)
            if again.count <= defects.count:
                break
            defects = again
    blocks = noise_profile(channel)
    rows = channel.reshape(-1, channel.shape[-1])
    sd = math.sqrt(max(float(residuals.variance_at(typical)), 0.0)) if residuals.measured else 0.0
    low = span[0] if residuals.measured and _is_clip(rows, span[0], sd) else -math.inf
    high = span[1] if residuals.measured and span[1] > span[0] and _is_clip(rows, span[1], sd) else math.inf
    return ChannelMeasurement(
        blocks=blocks,
        residuals=residuals,
        span=span,
        typical=typical,
        low=low,
        high=high,
        low_share=float(np.mean(channel == span[0])),
        high_share=float(np.mean(channel == span[1])),
        defects=defects,
        saturation=span[1] if math.isfinite(high) or (span[1] in CEILINGS and span[1] > span[0]) else math.inf,
    )
