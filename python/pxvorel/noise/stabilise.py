"""Bringing every channel to unit noise and back.

The engine assumes noise of one standard deviation everywhere. A Gaussian channel is
divided by its sigma. A Poisson-Gaussian channel (variance = gain * intensity + offset)
goes through the generalised Anscombe transform

    f(v) = (2 / gain) * sqrt(gain * v + 3/8 * gain**2 + offset),

whose noise has a standard deviation close to 1, and comes back through the closed-form
approximation of its exact unbiased inverse: a plain algebraic inverse is biased at low
photon counts, because the mean of f over the noise is not f of the mean.

Below the knee, the intensity at which the model's variance reaches 0, f continues as
the straight line tangent to it there. So no sample is clamped, however dark, and the
inverse continues along the same line: nothing is lifted to a floor. (The models that
``denoise`` accepts have their knee below the signal's dark end; only samples that noise
pulled below it take the straight part.) The transform depends on the model alone, so
that any part of an image is transformed as it is within the whole. All arithmetic is in
double precision, so that scaling an image and its noise model by k scales the result by k,
to float32 rounding.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

_ROOT_3_2 = math.sqrt(1.5)


def _unbiased_photons(d: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Closed-form unbiased inverse of the Anscombe transform, in photons (sigma terms excluded)."""
    return 0.25 * d * d + 0.25 * _ROOT_3_2 / d - 1.375 / (d * d) + 0.625 * _ROOT_3_2 / (d * d * d) - 0.125


@dataclass(frozen=True)
class ChannelTransform:
    """Forward and inverse transform of one channel to and from unit noise."""

    gain: float
    offset: float

    @classmethod
    def for_channel(cls, gain: float, offset: float) -> ChannelTransform:
        if gain < 0 or not (math.isfinite(gain) and math.isfinite(offset)):
            raise ValueError(f"no unit-noise transform for gain {gain!r} and offset {offset!r}")
        if gain == 0 and not offset > 0:
            raise ValueError(f"a Gaussian noise model needs a standard deviation > 0, not {math.sqrt(max(offset, 0))}")
        return cls(float(gain), float(offset))

    @property
    def knee(self) -> float:
        """Intensity below which the transform is a straight line (where the variance is 0)."""
        return -self.offset / self.gain

    @property
    def _argument_at_knee(self) -> float:
        return 0.375 * self.gain * self.gain  # gain * knee + offset is 0

    def forward(self, values: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """Unit-noise values (float64) of intensities `values`."""
        v = np.asarray(values, dtype=np.float64)
        if self.gain == 0:
            return v / math.sqrt(self.offset)
        g = self.gain
        a_knee = self._argument_at_knee
        f_knee = 2.0 / g * math.sqrt(a_knee)
        argument = g * v + 0.375 * g * g + self.offset
        curved = 2.0 / g * np.sqrt(np.maximum(argument, a_knee))
        return np.where(v >= self.knee, curved, f_knee + (v - self.knee) / math.sqrt(a_knee))

    def inverse(self, values: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """Intensities (float64) of denoised unit-noise values."""
        d = np.asarray(values, dtype=np.float64)
        if self.gain == 0:
            return d * math.sqrt(self.offset)
        g = self.gain
        a_knee = self._argument_at_knee
        d_knee = 2.0 / g * math.sqrt(a_knee)
        at_knee = g * float(_unbiased_photons(np.asarray(d_knee, dtype=np.float64))) - self.offset / g
        curved = g * _unbiased_photons(np.maximum(d, d_knee)) - self.offset / g
        return np.where(d >= d_knee, curved, at_knee + (d - d_knee) * math.sqrt(a_knee))
