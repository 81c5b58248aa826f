"""Unit noise for any noise model: a stabilising transform built from the model's variance.

A channel described by a bare line or a single sigma goes through
:class:`~pxvorel.noise.stabilise.ChannelTransform` (in closed form). Any other channel (a
line with a variance floor, a clipped line, a measured variance curve) goes through

    f(v) = integral of 1 / sd(u) du,

tabulated on a fine grid over the model's intensity range and continued as straight lines
beyond it; where the sd changes too steeply for a pointwise transform, f follows it exactly
at one intensity (the median, for a measured curve) and gently away from it (`_gentle`). Its
inverse keeps the mean: for each true intensity mu the table holds the mean of f over the
noise there, E[f(z)], and the mean of the recorded sample, E[z] (for a clipped channel, z is
clipped, and E[z] is the clipped mean); a denoised value d is mapped to the E[z] whose
E[f(z)] is d. The tables depend on the model alone, so that any
part of an image is transformed as it is within the whole.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass
from typing import Protocol

import numpy as np
import numpy.typing as npt
from numpy.polynomial.hermite_e import hermegauss

from pxvorel.noise.censored import censored_moments
from pxvorel.noise.model import NoiseModel
from pxvorel.noise.stabilise import ChannelTransform

#: Grid points of the tables, and Gauss-Hermite nodes for the mean over the noise.
GRID = 4096
NODES = 32
#: Largest change of the noise sd per unit of intensity the transform follows above its
#: anchor, and below it (see _gentle). Poisson noise rises at 0.5 per unit at one photon,
#: 0.25 at four. Below the anchor, samples of brighter pixels reach 2 sd down, where a fall
#: of 0.4 per unit still leaves the transform a fifth of the sd (at 0.5, none); a channel
#: clipped at its low end has no samples below the clip, and there 0.6 keeps the mean of a
#: sparse stack where a gentler or a steeper fall moves it or leaves it noisy (see
#: docs/decisions/0012-noise-tails-and-transform-slopes.md).
SLOPE = 0.5
DARK_SLOPE = 0.4
DARK_SLOPE_CLIPPED = 0.6
#: The tables reach this many noise sd beyond the model's intensity range.
MARGIN = 8.0


class UnitTransform(Protocol):
    """What :func:`unit_transform` returns: forward to unit noise and back."""

    def forward(self, values: npt.ArrayLike) -> npt.NDArray[np.float64]: ...

    def inverse(self, values: npt.ArrayLike) -> npt.NDArray[np.float64]: ...


def _extended_interp(
    x: npt.NDArray[np.float64], xp: npt.NDArray[np.float64], fp: npt.NDArray[np.float64]
) -> npt.NDArray[np.float64]:
    """np.interp continued beyond both ends along the end segments' slopes."""
    y = np.interp(x, xp, fp)
    slope_low = (fp[1] - fp[0]) / max(xp[1] - xp[0], 1e-300)
    slope_high = (fp[-1] - fp[-2]) / max(xp[-1] - xp[-2], 1e-300)
    y = np.where(x < xp[0], fp[0] + (x - xp[0]) * slope_low, y)
    return np.where(x > xp[-1], fp[-1] + (x - xp[-1]) * slope_high, y)


@functools.cache
def _normal_nodes() -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The NODES Gauss-Hermite nodes of a standard normal variable and their weights (summing
    to 1), made once per process (read only)."""
    nodes, weights = hermegauss(NODES)
    weights = weights / weights.sum()
    nodes.flags.writeable = False
    weights.flags.writeable = False
    return nodes, weights


def _gentle(
    sd: npt.NDArray[np.float64], step: float, anchor: int = 0, fall: float = DARK_SLOPE
) -> npt.NDArray[np.float64]:
    """`sd` followed from index `anchor` outwards, changing by at most SLOPE per unit of
    intensity above the anchor and `fall` below it: equal to `sd` at the anchor and
    wherever `sd` changes gently enough.

    Where the noise sd rises steeply (just above a clip, a floor or the dark end of a
    sparse image), no pointwise transform makes the noise uniform: a sample and its
    neighbours a few sd away see very different slopes, and samples the denoiser leaves
    unaveraged come back shifted. The transform then follows the noise exactly at the
    anchor (for a measured curve, the median local intensity, where the samples that
    matter lie; for a line, its dark end) and changes its sd gently away from it: above
    the anchor it takes a lower sd than the noise (a little less smoothing), below it a
    higher one (the dark part is smoothed a little more)."""
    result = sd.tolist()  # Python floats: the same arithmetic, without a NumPy scalar per step
    anchor = int(np.clip(anchor, 0, len(result) - 1))
    for indices, rise in (
        (range(anchor + 1, len(result)), SLOPE * step),
        (range(anchor - 1, -1, -1), fall * step),
    ):
        previous = result[anchor]
        for i in indices:
            # the value kept within `rise` of the previous one (min and max of the comparisons)
            value, low, high = result[i], previous - rise, previous + rise
            if low > value:
                value = low
            if high < value:
                value = high
            result[i] = previous = value
    return np.asarray(result, dtype=np.float64)


def _increasing(mean: npt.NDArray[np.float64], stabilised: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The table of E[f(z)], made strictly increasing so that it can be inverted.

    Where the noise sd changes much within one sd (just above a variance floor), a normal
    model of the noise reaches into the steep part of f and E[f(z)] can dip as the
    intensity rises; up to the last such dip the table takes f itself (the algebraic
    inverse). Where the clip makes it flat, a step far below any use keeps it increasing."""
    result = mean.copy()
    span = float(stabilised[-1] - stabilised[0])
    dips = np.flatnonzero(result < np.maximum.accumulate(result) - 1e-9 * span)
    if dips.size:
        result[: dips[-1] + 1] = stabilised[: dips[-1] + 1]
    result = np.maximum.accumulate(result)
    return result + np.arange(result.size) * (1e-12 * span)


@dataclass(frozen=True)
class TableTransform:
    """Tabulated stabilising transform of one channel (see the module's description)."""

    grid: npt.NDArray[np.float64]
    """Intensities u of the forward table."""
    stabilised: npt.NDArray[np.float64]
    """f(u)."""
    mean_stabilised: npt.NDArray[np.float64]
    """E[f(z)] for true intensity u, increasing."""
    mean_recorded: npt.NDArray[np.float64]
    """E[z] for true intensity u."""

    @classmethod
    def for_channel(cls, model: NoiseModel, channel: int) -> TableTransform:
        c = channel
        span = model.span[c]
        curve = model.curve[c]
        ends = [
            v for v in (*(span or ()), *(curve[0] if curve else ()), model.low[c], model.high[c]) if math.isfinite(v)
        ]
        if not ends:
            raise ValueError(f"channel {c}: the noise model has no intensity range to build its transform on")
        bottom, top = min(ends), max(ends)
        sd_ends = np.sqrt(model.latent_variance([bottom, top], c))
        scale = max(float(sd_ends.max()), 1e-6 * max(abs(bottom), abs(top), 1.0))
        grid = np.linspace(bottom - MARGIN * scale, top + MARGIN * scale, GRID)
        noise = np.sqrt(np.maximum(model.latent_variance(grid, c), (1e-3 * scale) ** 2))
        # a measured curve is anchored at the channel's median local intensity (where its
        # variance is the model's offset), any other model at its dark end
        anchor = 0
        if curve is not None:
            anchor = int(np.searchsorted(grid, np.interp(model.offset[c], curve[1], curve[0])))
        fall = DARK_SLOPE_CLIPPED if math.isfinite(model.low[c]) else DARK_SLOPE
        sd = _gentle(noise, float(grid[1] - grid[0]), anchor, fall)
        steps = np.diff(grid) * 0.5 * (1.0 / sd[1:] + 1.0 / sd[:-1])
        stabilised = np.concatenate([[0.0], np.cumsum(steps)])
        # f is 0 at the clip (or the range's bottom): a sample there is 0 in float32 too, exactly
        stabilised -= float(np.interp(model.low[c] if math.isfinite(model.low[c]) else bottom, grid, stabilised))
        nodes, weights = _normal_nodes()
        low, high = model.low[c], model.high[c]
        # recorded samples lie within the range the image spans: a normal model of the noise
        # must not reach below a dark end where the noise is as wide as the signal is high
        inside = (
            low if math.isfinite(low) else span[0] if span else -math.inf,
            high if math.isfinite(high) else span[1] if span else math.inf,
        )
        # the mean tables take the noise the samples have, also where the transform's sd
        # is below it (above the anchor): the denoiser averages samples of that noise, and
        # a table of the narrower noise of the transform maps their average too low
        # (0.1 noise sd on flat parts of a confocal image whose noise sd is its intensity)
        samples = np.clip(grid[:, None] + noise[:, None] * nodes[None, :], *inside)
        forward = _extended_interp(samples.ravel(), grid, stabilised).reshape(samples.shape)
        mean_stabilised = _increasing(forward @ weights, stabilised)
        mean_recorded = censored_moments(grid, noise, *inside)[0]
        if math.isfinite(low):  # a sample at the clip (its stabilised value or below) comes back at the clip
            mean_recorded = np.where(mean_stabilised <= float(np.interp(low, grid, stabilised)), low, mean_recorded)
        if math.isfinite(high):
            mean_recorded = np.where(mean_stabilised >= float(np.interp(high, grid, stabilised)), high, mean_recorded)
        return cls(grid, stabilised, mean_stabilised, mean_recorded)

    def forward(self, values: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """Unit-noise values (float64) of intensities `values`."""
        return _extended_interp(np.asarray(values, dtype=np.float64), self.grid, self.stabilised)

    def inverse(self, values: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """Intensities (float64) of denoised unit-noise values: the recorded mean whose
        stabilised mean they are."""
        return _extended_interp(np.asarray(values, dtype=np.float64), self.mean_stabilised, self.mean_recorded)


def unit_transform(model: NoiseModel, channel: int) -> UnitTransform:
    """The transform of `channel` to unit noise and back: in closed form for a bare line or
    sigma, tabulated for any other model."""
    if model.plain(channel):
        return ChannelTransform.for_channel(model.gain[channel], model.offset[channel])
    return TableTransform.for_channel(model, channel)
