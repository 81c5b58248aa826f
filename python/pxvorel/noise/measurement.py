"""Everything measured of one channel's noise, in one pass and one value.

:func:`measure_channel` reads a (T, Z, Y, X) channel once for all that the choice of its
model needs (:mod:`pxvorel.noise.channel_choice` reads only the value it returns):

- its range and its typical intensity;
- the clip facts: the values at which it is clipped (a background cut at its lowest value,
  saturation at its highest) and the share of samples at each, and the value at which its
  detector saturated (a clip, or the top of a whole-number range that samples reach);
- its defective pixels (:class:`~pxvorel.noise.defects.Defects`): hot, dead and flickering;
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

from pxvorel.noise.blocks import NoiseProfile, noise_profile
from pxvorel.noise.defects import Defects, find_defects, repaired
from pxvorel.noise.parallel import beside
from pxvorel.noise.residuals import Observed, observed_profile
from pxvorel.noise.whole_numbers import narrowest

#: Share of samples at the lowest or highest value above which that value may be a clip.
CLIPPED_SHARE = 0.01
#: The lowest value is a clip when the samples next to it lie within this many noise sd of
#: it (a noisy background cut off); a black box or label has bright neighbours instead.
CLIP_REACH = 3.0
#: Tops of whole-number ranges (8- to 16-bit detectors and their exports): a channel whose
#: highest value is one of them saturated there.
CEILINGS = frozenset(float(2**bits - 1) for bits in range(8, 17))
#: Searches for defects at most. Many defects lift the noise measured at their intensities
#: (their residuals make a heavy tail) and so hide some of themselves; each search measures
#: the noise with the defects found so far repaired.
SEARCHES = 6


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


def _is_clip(rows: np.ndarray, at: np.ndarray, value: float, sd: float) -> bool:
    """`value` is a clip when more than CLIPPED_SHARE of the samples sit on it (`at`: where
    `rows` hold it) and the samples beside those (along X) are mostly within CLIP_REACH sd of it."""
    if np.mean(at) <= CLIPPED_SHARE:
        return False
    beside = np.concatenate([rows[..., 1:][at[..., :-1] & ~at[..., 1:]], rows[..., :-1][at[..., 1:] & ~at[..., :-1]]])
    if beside.size == 0:
        return False
    return bool(np.median(np.abs(beside - value)) <= CLIP_REACH * max(sd, 0.5))


def measure_channel(channel: np.ndarray, workers: int = 1) -> ChannelMeasurement:
    """Measure one (T, Z, Y, X) channel's noise: see :class:`ChannelMeasurement`. With more
    than one of `workers`, the blocks' noise is measured beside the residuals' (again
    after them where defects were repaired)."""
    recorded = np.asarray(channel)
    channel = narrowest(recorded)  # the same values, measured faster
    span = (float(channel.min()), float(channel.max()))
    sample = channel.ravel()[:: max(1, channel.size // 4_000_000)]
    typical = typical_level(sample)
    original = channel
    # the typical intensity is the blocks' median too, unless defects are repaired first
    blocks_as_recorded = beside(lambda: noise_profile(original, typical), workers)
    residuals = observed_profile(channel)
    defects = Defects.none()
    if residuals.measured and channel.ndim == 4 and channel.shape[-1] >= 3 and channel.shape[-2] >= 3:
        ends = (
            span[0] if float(np.mean(sample == span[0])) > CLIPPED_SHARE else -math.inf,
            span[1] if span[1] in CEILINGS or float(np.mean(sample == span[1])) > CLIPPED_SHARE else math.inf,
        )
        defects = find_defects(channel, residuals, ends)
        for search in range(SEARCHES):
            if not defects.count:
                break
            channel = narrowest(repaired(recorded, defects))  # repaired in the recorded type
            residuals = observed_profile(channel)
            if search == SEARCHES - 1:  # the defects listed are those repaired for the measurement
                break
            again = find_defects(original, residuals, ends)
            if again.count <= defects.count:
                break
            defects = again
    if defects.count:
        if workers > 1:
            blocks_as_recorded()  # let the thread end; the blocks are measured in the repaired channel
        blocks = noise_profile(channel)
    else:
        blocks = blocks_as_recorded()
    rows = channel.reshape(-1, channel.shape[-1])
    at_low, at_high = rows == span[0], rows == span[1]
    sd = math.sqrt(max(float(residuals.variance_at(typical)), 0.0)) if residuals.measured else 0.0
    low = span[0] if residuals.measured and _is_clip(rows, at_low, span[0], sd) else -math.inf
    high = span[1] if residuals.measured and span[1] > span[0] and _is_clip(rows, at_high, span[1], sd) else math.inf
    return ChannelMeasurement(
        blocks=blocks,
        residuals=residuals,
        span=span,
        typical=typical,
        low=low,
        high=high,
        low_share=float(np.mean(at_low)),
        high_share=float(np.mean(at_high)),
        defects=defects,
        saturation=span[1] if math.isfinite(high) or (span[1] in CEILINGS and span[1] > span[0]) else math.inf,
    )
