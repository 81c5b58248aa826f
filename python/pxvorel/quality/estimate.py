"""The estimated quality figure of a run: its mean squared error and gain over the input."""

from __future__ import annotations

import math
from dataclasses import dataclass

from pxvorel.quality.sure import RiskEstimate

_DB = 10.0 / math.log(10.0)


@dataclass(frozen=True)
class QualityEstimate:
    """Estimated quality of a denoised image, without the clean image (Stein's unbiased risk
    estimate, in intensities).

    The gain is ``10 log10(input noise variance / estimated MSE)``: how many dB the PSNR
    of the result exceeds the noisy input's. `spread_db` is one standard error of the
    gain (errors of the estimate are within about twice it). On a very small image, or
    one the noise model does not describe (a background clipped at 0), the estimate can
    come out at or below 0, or with no spread measurable: it is then not
    :attr:`measurable`, and the gain is NaN.

    The estimate takes the noise model as exact: a noise variance off by a fraction f
    shifts the estimated MSE by about f times the input's noise variance, which the
    spread does not include. On smooth images, whose result is far more accurate than
    the input, an estimated noise model can so dominate the estimate.

    Examples
    --------
    >>> QualityEstimate((0,), (2.5,), (0.05,), (25.0,)).describe()
    'estimated PSNR gain 10.0 dB ± 0.1 dB (estimated MSE 2.5; SURE estimate)'
    >>> small = QualityEstimate((0,), (-0.4,), (0.9,), (25.0,))   # an estimate below 0
    >>> small.measurable, math.isnan(small.gain_db)
    (False, True)
    >>> QualityEstimate((0,), (2.5,), (0.05,), (25.0,), clipped=(0,)).reliable
    False
    """

    channels: tuple[int, ...]
    """The channels estimated (those with noise)."""
    mse: tuple[float, ...]
    """Estimated mean squared error per channel, in the image's intensities."""
    mse_spread: tuple[float, ...]
    """Standard error of each `mse`."""
    input_variance: tuple[float, ...]
    """Mean noise variance of the input per channel (the input's own expected error)."""
    clipped: tuple[int, ...] = ()
    """Channels with a background clipped at their lowest value (more than 1 % of their
    samples there): the estimate takes their noise for the model's unclipped noise and can
    be far off (see docs/decisions/0011-quality-estimate.md)."""

    @classmethod
    def from_risk(cls, risk: RiskEstimate, clipped: tuple[int, ...] = ()) -> QualityEstimate:
        return cls(risk.channels, risk.mse, risk.spread, risk.input_variance, clipped)

    @property
    def reliable(self) -> bool:
        """Whether the estimate can be relied on: measurable, and no channel clipped."""
        return self.measurable and not self.clipped

    def _relative(self) -> tuple[float, float]:
        """Mean over the channels of MSE / input variance, and its standard error."""
        count = len(self.mse)
        ratio = sum(m / v for m, v in zip(self.mse, self.input_variance, strict=True)) / count
        spread = math.sqrt(sum((s / v) ** 2 for s, v in zip(self.mse_spread, self.input_variance, strict=True)))
        return ratio, spread / count

    @property
    def measurable(self) -> bool:
        """Whether every channel's estimate is above 0 with a finite spread."""
        return all(m > 0 and math.isfinite(s) for m, s in zip(self.mse, self.mse_spread, strict=True))

    @property
    def gain_db(self) -> float:
        """Estimated PSNR gain over the input in dB (channels weighing alike); NaN when not measurable."""
        ratio, _ = self._relative()
        return -_DB * math.log(ratio) if self.measurable else math.nan

    @property
    def spread_db(self) -> float:
        """One standard error of :attr:`gain_db`, in dB."""
        ratio, spread = self._relative()
        return _DB * spread / ratio if self.measurable else math.nan

    def channel_gain_db(self, index: int) -> float:
        """Estimated PSNR gain of the `index`-th estimated channel (see :attr:`channels`)."""
        ratio = self.mse[index] / self.input_variance[index]
        return -_DB * math.log(ratio) if ratio > 0 and math.isfinite(self.mse_spread[index]) else math.nan

    def describe(self) -> str:
        """One line: the gain, its spread and the estimated MSE, marked as an estimate (and
        as unreliable where a channel is clipped)."""
        text = self._describe()
        if self.clipped and self.measurable:
            listed = ", ".join(map(str, self.clipped))
            text += (
                f"; not reliable: channel(s) {listed} have a background clipped at their lowest value, "
                "whose noise the estimate does not describe"
            )
        return text

    def _describe(self) -> str:
        if not self.measurable:
            values = ", ".join(f"{m:.4g} ± {s:.2g}" for m, s in zip(self.mse, self.mse_spread, strict=True))
            return (
                f"estimated PSNR gain: not measurable on this image (the image is too small, or the noise "
                f"model does not describe it, e.g. clipped data; estimated MSE {values}; SURE estimate)"
            )
        text = f"estimated PSNR gain {self.gain_db:.1f} dB ± {self.spread_db:.1f} dB"
        if len(self.mse) == 1:
            return text + f" (estimated MSE {self.mse[0]:.4g}; SURE estimate)"
        channels = ", ".join(
            f"channel {c}: {self.channel_gain_db(i):.1f} dB, MSE {self.mse[i]:.4g}" for i, c in enumerate(self.channels)
        )
        return text + f" ({channels}; SURE estimate)"
