"""The model of one channel: which description fits the noise measured in it, and why.

The choice reads only the channel's measurement (:class:`~pxvorel.noise.measurement.ChannelMeasurement`):
the relation of noise and intensity in unclipped cells (its ``blocks``, to which lines are
fitted), the noise of the recorded samples at each intensity (its ``residuals``, against
which every candidate is checked at the dark end and the median), its clip facts and its
defective pixels. In order:

1. a Poisson-Gaussian line (with a variance floor where it reaches 0 just inside the
   image's range), clipped where the channel is clipped, when it agrees with the
   recorded noise at both ends; a Gaussian sigma when that line hardly rises;
2. otherwise the measured variance curve, increasing and smoothed, and (where the dark
   end's noise is measured, neither clipped nor rounded away) rising above the median no
   faster than linearly (as shot noise does);
3. a single sigma when that curve is flat.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace

import numpy as np
import numpy.typing as npt

from pxvorel.noise.blocks import NoiseProfile, VarianceLine, fit_line
from pxvorel.noise.censored import censored_moments, normal_cdf
from pxvorel.noise.fit import FitFigure, fit_figure
from pxvorel.noise.measurement import CLIPPED_SHARE, ChannelMeasurement
from pxvorel.noise.model import NoiseModel
from pxvorel.noise.residuals import Observed, monotone, shot_limited, smooth_curve

#: A candidate is accepted when its noise sd is within this factor of the recorded one at
#: the dark end (the 5 % quantile of the pixels by local intensity) and at the median.
AGREEMENT = 1.2
#: Nowhere between the 5 % and 95 % quantiles may a model's sd exceed the recorded one by
#: more than this factor.
EXCESS = 1.33
#: A line that reaches 0 inside the image's range is taken, with a variance floor, only
#: when it fits this closely at both ends (5 %, plus the error of the measurement itself).
FLOORED_AGREEMENT = 1.1
#: Noise whose sd changes by less than this fraction over the channel is flat: one sigma.
FLAT = 0.1
#: "auto" treats a line as Gaussian when its sd changes by less than this fraction.
NEGLIGIBLE_STD_CHANGE = 0.05
#: Below this variance (half a count), rounding hides noise: no test at that end.
QUANTISED_VARIANCE = 0.25
#: A clipped model is not judged by the recorded noise where more than this share of its
#: samples sit at the clip (see _near_clip).
NEAR_CLIP = 0.5


@dataclass(frozen=True)
class Choice:
    """One channel's model, the reason for it, and whether to warn or (mode
    "poisson-gaussian") fail."""

    model: NoiseModel
    reason: str
    warning: bool = False
    error: bool = False


def combine(models: list[NoiseModel]) -> NoiseModel:
    """One model of all channels from one-channel models."""
    return NoiseModel(
        *(
            tuple(getattr(m, name)[0] for m in models)
            for name in ("gain", "offset", "floor", "low", "high", "curve", "span", "reasons", "correlation")
        )
    )


def _with_reason(model: NoiseModel, reason: str) -> NoiseModel:
    return replace(model, reasons=(reason,))


def _above(profile: NoiseProfile, level: float) -> NoiseProfile:
    """The profile of the blocks brighter than `level` only."""
    keep = profile.block_intensity > level
    return replace(
        profile, block_intensity=profile.block_intensity[keep], block_variance=profile.block_variance[keep]
    ).binned(None)


def _near_clip(model: NoiseModel, intensity: npt.ArrayLike, channel: int = 0) -> npt.NDArray[np.bool_]:
    """Where more than NEAR_CLIP of a clipped channel's recorded samples sit at the clip.

    There the recorded noise is sparse (most samples at the clip, a few far from it), and
    bins by local intensity read it low: a window whose mean is low is one whose samples,
    the residual's among them, happen to sit at the clip. The measurement does not judge
    the model there: it would reject clipped models that match the recorded sd wherever most
    samples are clear of the clip (see docs/decisions/0012-noise-tails-and-transform-slopes.md)."""
    x = np.atleast_1d(np.asarray(intensity, dtype=np.float64))
    if not model.clipped(channel):
        return np.zeros(x.shape, dtype=bool)
    low, high = model.low[channel], model.high[channel]
    ends = [v for v in (low, high, float(x.min()), float(x.max())) if math.isfinite(v)]
    reach = 8.0 * math.sqrt(float(model.latent_variance([min(ends), max(ends)], channel).max()) + 1e-12)
    latent = np.linspace(min(ends) - reach, max(ends) + reach, 1024)
    sd = np.sqrt(np.maximum(model.latent_variance(latent, channel), 1e-300))
    mean = np.maximum.accumulate(censored_moments(latent, sd, low, high)[0])
    at_clip = np.zeros_like(latent)
    if math.isfinite(low):
        at_clip += normal_cdf((low - latent) / sd)
    if math.isfinite(high):
        at_clip += 1.0 - normal_cdf((high - latent) / sd)
    return np.asarray(np.interp(x, mean, at_clip) > NEAR_CLIP)


def _mismatch(model: NoiseModel, observed: Observed, integral: bool, agreement: float = AGREEMENT) -> str | None:
    """Where a one-channel model's sd differs from the recorded one by more than `agreement`
    at the dark end or the median, or exceeds it by more than EXCESS anywhere between the
    5 % and 95 % quantiles (the recorded noise, structure included, bounds the noise)."""
    for label, share in (("dark end", 0.05), ("median", 0.5)):
        intensity, measured = observed.at_quantile(share)
        if (integral and measured < QUANTISED_VARIANCE) or _near_clip(model, intensity)[0]:
            continue
        predicted = float(model.variance(intensity))
        if measured > 0 and not (1 / agreement**2 <= predicted / measured <= agreement**2):
            return (
                f"the line predicts a noise sd of {math.sqrt(predicted):.4g} at the {label} "
                f"({intensity:.4g}), where {math.sqrt(measured):.4g} is measured"
            )
    inner = (observed.quantile >= 0.05) & (observed.quantile <= 0.95) & (observed.variance > 0)
    if integral:
        inner &= observed.variance >= QUANTISED_VARIANCE
    inner &= ~_near_clip(model, observed.intensity)
    if not inner.any():
        return "the clip leaves no intensity at which the recorded noise can check the model"
    predictions = model.variance(observed.intensity[inner])
    excess = predictions / observed.variance[inner]
    if excess.size and float(excess.max()) > EXCESS**2:
        i = int(np.argmax(excess))
        return (
            f"the line predicts a noise sd of {math.sqrt(float(predictions[i])):.4g} at "
            f"{float(observed.intensity[inner][i]):.4g}, more than the "
            f"{math.sqrt(float(observed.variance[inner][i])):.4g} recorded there"
        )
    return None


def _line_candidate(measured: ChannelMeasurement) -> tuple[NoiseModel | None, str]:
    """The line model of a channel, clipped and floored as its data need, or None and why not."""
    profile, observed, span = measured.blocks, measured.residuals, measured.span
    low, high = measured.low, measured.high
    first = fit_line(profile)
    sd_typical = math.sqrt(max(float(observed.variance_at(measured.typical)), 0.0))
    line = first
    clip_note = ""
    if math.isfinite(low) or math.isfinite(high):
        # fit to the blocks well clear of the clip: their noise is not cut off
        clear = 3.0 * max(
            sd_typical, math.sqrt(max(float(first.variance(low)), 0.0)) if first and math.isfinite(low) else 0.0
        )
        line = fit_line(_above(profile, low + clear)) or first
        shares = [
            f"{100 * share:.3g} % of samples at {v:g}"
            for v, share in ((low, measured.low_share), (high, measured.high_share))
            if math.isfinite(v)
        ]
        clip_note = f", clipped ({', '.join(shares)}): the model describes the clipped samples"
    if line is None:
        return None, "the noise could not be measured at more than one intensity (image too small or too flat)"
    if not line.gain > 0:
        if not clip_note or not profile.measured:
            return None, f"the fitted gain {line.gain:.4g} is not positive (noise does not grow with intensity)"
        # flat noise under the clip: one sigma before clipping, measured clear of it
        clear_profile = _above(profile, low + clear) if math.isfinite(low) else profile
        variance = float(np.median(clear_profile.variance)) if clear_profile.measured else 0.0
        if not variance > 0:
            return None, "the noise clear of the clip could not be measured"
        line = VarianceLine(0.0, variance)
    floor = 0.0
    # the dark end of the signal: the lowest bin of local intensities (a small black box or
    # label, not a clip, does not pull it down to 0)
    bottom = low if math.isfinite(low) else max(profile.low, float(observed.intensity[0]))
    if line.gain > 0 and line.zero > bottom:
        floor = max(
            float(observed.at_quantile(0.05)[1]),
            float(line.variance(profile.low)),
            1e-6 * float(line.variance(span[1])),
        )
    model = NoiseModel((line.gain,), (line.offset,), floor=(floor,), low=(low,), high=(high,), span=(span,))
    problem = _mismatch(model, observed, profile.integral, FLOORED_AGREEMENT if floor > 0 else AGREEMENT)
    if problem is not None:
        if floor > 0:
            problem = f"{problem} (it reaches 0 at {line.zero:.4g}, inside the range, and must then fit within 10 %)"
        return None, problem
    where = "at the dark end and the median"
    if _near_clip(model, observed.at_quantile(0.5)[0])[0]:
        where = "where most samples are clear of the clip"
    text = (
        f"a Poisson-Gaussian line fits the noise {where}{clip_note}"
        if line.gain > 0
        else f"Gaussian noise, sigma {math.sqrt(line.offset):.4g} clear of the clip, fits {where}{clip_note}"
    )
    if floor > 0:
        text += f"; it reaches 0 at {line.zero:.4g}, inside the range, so its variance is kept above {floor:.4g}"
    return model, text


def _flat(profile: NoiseProfile, line: VarianceLine) -> bool:
    low, high = float(profile.intensity[0]), float(profile.intensity[-1])
    var_low, var_high = float(line.variance(low)), float(line.variance(high))
    return var_low > 0 and math.sqrt(var_high / var_low) - 1.0 < NEGLIGIBLE_STD_CHANGE


def median_level(observed: Observed) -> tuple[float, float]:
    """Intensity and recorded noise variance at the median local intensity of the pixels
    not in a flat background at the channel's lowest value when those are many (a clipped
    background: the signal, and the noise that matters, are elsewhere)."""
    share = observed.floor_share if observed.floor_share > CLIPPED_SHARE else 0.0
    return observed.at_quantile(share + 0.5 * (1.0 - share))


def dark_level(observed: Observed) -> tuple[float, float]:
    """Intensity and recorded noise variance at the dark end (the 5 % quantile of the local
    intensities), outside a clipped background as in :func:`median_level`."""
    share = observed.floor_share if observed.floor_share > CLIPPED_SHARE else 0.0
    return observed.at_quantile(share + 0.05 * (1.0 - share))


def sigma_at_median(observed: Observed) -> float:
    """The recorded noise sd at the channel's median local intensity (see :func:`median_level`)."""
    if not observed.measured:
        return 0.0
    return math.sqrt(max(median_level(observed)[1], 0.0))


def choose_channel(measured: ChannelMeasurement, mode: str) -> Choice:
    """The model of one channel, from its measurement, for noise mode `mode` ("auto",
    "gaussian" or "poisson-gaussian")."""
    observed, span, profile = measured.residuals, measured.span, measured.blocks
    low, high = measured.low, measured.high
    if not observed.measured:
        return Choice(
            NoiseModel((0.0,), (0.0,), reasons=("no noise can be measured",)),
            "no noise can be measured (the channel is flat, or clipped wherever it is not); it is returned unchanged",
            warning=True,
        )
    if mode == "gaussian":
        sigma = sigma_at_median(observed)
        reason = f"Gaussian noise asked for: sigma {sigma:.4g}, the noise at the median intensity"
        return Choice(_with_reason(NoiseModel.gaussian(sigma), reason), reason)
    line, why = _line_candidate(measured)
    if line is not None:
        plain = VarianceLine(line.gain[0], line.offset[0])
        if mode == "auto" and line.plain() and profile.measured and _flat(profile, plain):
            sigma = sigma_at_median(observed)
            reason = f"{why}; its sd changes by < {100 * NEGLIGIBLE_STD_CHANGE:g} %: Gaussian, sigma {sigma:.4g}"
            return Choice(_with_reason(NoiseModel.gaussian(sigma), reason), reason)
        return Choice(_with_reason(line, why), why)
    if mode == "poisson-gaussian":
        return Choice(NoiseModel((0.0,), (0.0,)), why, error=True)
    x, v = smooth_curve(observed)
    median = median_level(observed)[0]
    dark, dark_variance = dark_level(observed)
    if not (math.isfinite(low) or math.isfinite(high)) and dark_variance >= QUANTISED_VARIANCE:
        # the rise from the dark end bounds the growth only where the noise there is
        # measured: near a clip, or below rounding, the recorded variance is cut down
        limited = shot_limited(x, v, dark, median)
        # ... unless the blocks measure more noise there and scatter as noise does, not as
        # the structure around small bright spots: then the noise itself rises faster (a
        # detector's excess noise, a rescaled export), and the curve follows it up to the
        # recorded noise
        if profile.measured:
            lifted = np.where(profile.noise_like(x), np.minimum(v, profile.variance_at_each(x)), 0.0)
            limited = np.maximum(limited, lifted)
        v = monotone(limited, observed.counts[observed.variance > 0])
    sd = np.sqrt(v)
    if sd[-1] <= (1.0 + FLAT) * sd[0] or x.size < 2:
        sigma = sigma_at_median(observed)
        reason = (
            f"no line fits ({why}); the noise is flat (sd {sd[0]:.4g} to {sd[-1]:.4g}): Gaussian, sigma {sigma:.4g}"
        )
        return Choice(_with_reason(NoiseModel.gaussian(sigma), reason), reason)
    # the variance at the median local intensity: there the transform follows the noise exactly
    median_variance = float(np.interp(median, x, v))
    reason = (
        f"no line fits ({why}); the noise variance measured per intensity is used "
        f"(sd {sd[0]:.4g} at {x[0]:.4g} to {sd[-1]:.4g} at {x[-1]:.4g})"
    )
    if math.isfinite(low) or math.isfinite(high):
        reason += "; the transform's inverse models the clipping of the channel, so that its means are kept"
    knots = (tuple(float(a) for a in x), tuple(float(b) for b in v))
    model = NoiseModel(
        (0.0,), (median_variance,), low=(low,), high=(high,), curve=(knots,), span=(span,), reasons=(reason,)
    )
    return Choice(model, reason)


def fit_of(model: NoiseModel, channel: int, measured: ChannelMeasurement) -> FitFigure | None:
    """The fit figure of `channel`'s model against the recorded noise of its measurement: the
    bins whose noise can be measured (not rounded away, not mostly at a clip), the model's
    variance as the Laplacian residual sees it (see :meth:`NoiseModel.probe_share`)."""
    observed = measured.residuals
    if not model.has_noise(channel) or not observed.measured:
        return None
    judged = observed.variance > 0
    if measured.blocks.integral:
        judged &= observed.variance >= QUANTISED_VARIANCE
    judged &= ~_near_clip(model, observed.intensity, channel)
    x = observed.intensity[judged]
    predicted = model.probe_share(channel) * model.variance(x, channel)
    return fit_figure(x, predicted, observed.variance[judged])
