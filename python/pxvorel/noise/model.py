"""Noise models: the per-channel Poisson-Gaussian line, its estimation and the choice made by ``denoise``."""

from __future__ import annotations

import math
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Literal

import numpy as np

from pxvorel.core.axes import AxisPlan
from pxvorel.noise.estimate import NoiseProfile, VarianceLine, fit_line, noise_profile, signal_low
from pxvorel.core.image import as_image

NOISE_MODES = ("auto", "gaussian", "poisson-gaussian")

#: "auto" treats a channel as Gaussian when its fitted noise standard deviation changes by
#: less than this fraction over the channel's intensity range: the Poisson part is then
#: negligible, and a near-zero gain would only cost precision in the stabilising transform.
NEGLIGIBLE_STD_CHANGE = 0.05
#: A fitted line is trusted only when the standard deviation it predicts at the darkest
#: measured intensity and at the median intensity is within this factor of the one
#: measured there; otherwise the line misdescribes the noise where most samples lie.
LINE_MISMATCH = 1.3
#: Below this variance (a standard deviation of half a count), noise in whole-number data
#: is mostly rounded away, and a measurement of it is no test of a fitted line.
QUANTISED_VARIANCE = 0.25


@dataclass(frozen=True)
class NoiseModel:
    """Per-channel noise model: variance = ``gain[c]`` * intensity + ``offset[c]``.

    A channel whose gain is 0 has signal-independent (Gaussian) noise with standard
    deviation ``sqrt(offset[c])`` (a channel with gain and offset 0 has no noise and is
    left as it is); a channel whose gain is positive has Poisson-Gaussian
    noise and is denoised after a variance-stabilising transform. Intensities are in the
    units of the image (e.g. camera ADU), so for a camera with a baseline ``b``, a gain
    ``g`` in ADU per photo-electron and read noise ``r`` ADU, ``gain = g`` and
    ``offset = r**2 - g * b``.

    Parameters
    ----------
    gain, offset : sequence of float
        One entry per channel, in the order of the image's C axis. A model with one
        entry applies to every channel of an image.

    Examples
    --------
    >>> from pxvorel import NoiseModel
    >>> model = NoiseModel(gain=[2.0], offset=[-175.0])
    >>> float(model.std(200.0)[0])
    15.0
    >>> NoiseModel.gaussian(3.0)
    NoiseModel(gain=(0.0,), offset=(9.0,))
    """

    gain: tuple[float, ...]
    offset: tuple[float, ...]

    def __post_init__(self) -> None:
        gain = tuple(float(g) for g in np.atleast_1d(self.gain))
        offset = tuple(float(o) for o in np.atleast_1d(self.offset))
        if not gain or len(gain) != len(offset):
            raise ValueError(
                f"a noise model needs one gain and one offset per channel; got {len(gain)} gain(s) "
                f"and {len(offset)} offset(s)"
            )
        object.__setattr__(self, "gain", gain)
        object.__setattr__(self, "offset", offset)

    @classmethod
    def gaussian(cls, sigma: float | Sequence[float]) -> NoiseModel:
        """Signal-independent noise of standard deviation `sigma` (one value, or one per channel)."""
        sigmas = [float(s) for s in np.atleast_1d(sigma)]
        return cls(gain=tuple(0.0 for _ in sigmas), offset=tuple(s * s for s in sigmas))

    @property
    def channels(self) -> int:
        """Number of channels the model describes."""
        return len(self.gain)

    def is_gaussian(self, channel: int = 0) -> bool:
        """True when `channel` has signal-independent noise (gain 0)."""
        return self.gain[channel] == 0.0

    def std(self, intensity: float | np.ndarray, channel: int = 0) -> np.ndarray:
        """Noise standard deviation at `intensity` in `channel` (0 where the model's variance is negative)."""
        variance = self.gain[channel] * np.asarray(intensity, dtype=np.float64) + self.offset[channel]
        return np.sqrt(np.maximum(np.atleast_1d(variance), 0.0))

    def for_channels(self, channels: int) -> NoiseModel:
        """This model for an image of `channels` channels (a one-channel model is repeated)."""
        if self.channels == channels:
            return self
        if self.channels == 1:
            return NoiseModel(self.gain * channels, self.offset * channels)
        raise ValueError(f"the noise model has {self.channels} channels but the image has {channels}")

    def validate(self) -> None:
        """Raise ValueError unless every channel can be denoised with this model."""
        for c, (g, o) in enumerate(zip(self.gain, self.offset, strict=True)):
            if not (math.isfinite(g) and math.isfinite(o)):
                raise ValueError(f"channel {c}: the noise model has no finite gain and offset (gain {g}, offset {o})")
            if g < 0:
                raise ValueError(f"channel {c}: gain must be >= 0 (0 means Gaussian noise), not {g}")
            if g == 0 and o < 0:
                raise ValueError(f"channel {c}: a Gaussian channel (gain 0) needs offset = sigma**2 >= 0, not {o}")

    def describe(self) -> str:
        """One human-readable line per channel."""
        lines = []
        for c, (g, o) in enumerate(zip(self.gain, self.offset, strict=True)):
            if g == 0:
                lines.append(f"channel {c}: Gaussian, sigma {math.sqrt(max(o, 0.0)):.4g}")
            else:
                lines.append(f"channel {c}: Poisson-Gaussian, gain {g:.4g}, offset {o:.4g}")
        return "\n".join(lines)

    def to_dict(self) -> dict[str, list[float | None]]:
        """``{"gain": [...], "offset": [...]}`` with None for a value that could not be estimated (JSON-safe)."""

        def clean(values: tuple[float, ...]) -> list[float | None]:
            return [v if math.isfinite(v) else None for v in values]

        return {"gain": clean(self.gain), "offset": clean(self.offset)}


def _profiles(engine: np.ndarray) -> list[NoiseProfile]:
    return [noise_profile(engine[:, c]) for c in range(engine.shape[1])]


def _gaussian_sigma(profile: NoiseProfile, channel: int, *, stacklevel: int) -> float:
    """The channel's Gaussian sigma, the noise at its median intensity; 0, with a warning,
    when it has no measurable noise."""
    sigma = profile.gaussian_sigma()
    if not sigma > 0:
        warnings.warn(
            f"channel {channel}: no noise can be measured (the channel is flat, or clipped wherever it is not); "
            "it is returned unchanged",
            UserWarning,
            stacklevel=stacklevel + 1,
        )
        return 0.0
    return sigma


def _poisson_part_negligible(profile: NoiseProfile, line: VarianceLine) -> bool:
    """The line's standard deviation changes by less than NEGLIGIBLE_STD_CHANGE over the measured intensities."""
    low, high = float(profile.intensity[0]), float(profile.intensity[-1])
    var_low, var_high = float(line.variance(low)), float(line.variance(high))
    return var_low > 0 and math.sqrt(var_high / var_low) - 1.0 < NEGLIGIBLE_STD_CHANGE


def _line_problem(profile: NoiseProfile, line: VarianceLine | None) -> str | None:
    """Why a fitted variance line cannot be used for a channel, or None when it can."""
    if profile.clipped:
        return (f"{100 * profile.floor_share:.3g} % of its samples sit at its lowest value {profile.floor:g} "
                "(a clipped background), which the stabilising transform's low-light correction would lift")
    if line is None:
        return "the noise could not be measured at more than one intensity (image too small or too flat)"
    if not line.gain > 0:
        return f"the fitted gain {line.gain:.4g} is not positive (noise does not grow with intensity)"
    if line.zero > profile.low:
        return (f"the fitted variance line (gain {line.gain:.4g}, offset {line.offset:.4g}) predicts no noise "
                f"below intensity {line.zero:.4g}, inside the image's range (its signal reaches down to "
                f"{profile.low:.4g})")
    for label, intensity in (("darkest", float(profile.intensity[0])), ("median", profile.median)):
        measured = profile.variance_at(intensity)
        predicted = float(line.variance(intensity))
        if profile.integral and measured < QUANTISED_VARIANCE:
            continue  # rounding to whole counts hides noise this weak: nothing to compare with
        if measured > 0 and not (1 / LINE_MISMATCH**2 <= predicted / measured <= LINE_MISMATCH**2):
            return (f"the fitted variance line predicts a noise standard deviation of "
                    f"{math.sqrt(max(predicted, 0)):.4g} at the {label} intensity {intensity:.4g}, where "
                    f"{math.sqrt(measured):.4g} is measured")
    return None


def check_model_against_image(model: NoiseModel, engine: np.ndarray) -> None:
    """Raise ValueError when a Poisson-Gaussian channel's variance line is negative inside the image's range."""
    for c, (g, o) in enumerate(zip(model.gain, model.offset, strict=True)):
        if g <= 0:
            continue
        low = signal_low(engine[:, c])
        if -o / g > low:
            raise ValueError(
                f"channel {c}: the noise model (gain {g:g}, offset {o:g}) predicts no noise below intensity "
                f"{-o / g:.4g}, but the image's signal reaches down to {low:.4g}; "
                "variance = gain * intensity + offset must be positive there"
            )


#: What ``noise=`` accepts: a mode, a known Gaussian sigma, or a known model.
NoiseSpec = Literal["auto", "gaussian", "poisson-gaussian"] | float | NoiseModel


def choose_model(engine: np.ndarray, noise: object, *, stacklevel: int) -> NoiseModel:
    """The noise model ``denoise`` uses for a (T, C, Z, Y, X) array, for each form of its `noise` argument."""
    channels = engine.shape[1]
    if isinstance(noise, NoiseModel):
        model = noise.for_channels(channels)
        model.validate()
        check_model_against_image(model, engine)
        return model
    if isinstance(noise, (int, float, np.integer, np.floating)) and not isinstance(noise, bool):
        sigma = float(noise)
        if not (math.isfinite(sigma) and sigma > 0):
            raise ValueError(f"a known noise sigma must be a finite number > 0, not {noise!r}")
        return NoiseModel.gaussian([sigma] * channels)
    if not isinstance(noise, str) or noise.lower() not in NOISE_MODES:
        raise ValueError(
            f"noise must be 'auto', 'gaussian', 'poisson-gaussian', a sigma (number) or a NoiseModel, not {noise!r}"
        )
    mode = noise.lower()
    profiles = _profiles(engine)
    if mode == "gaussian":
        return NoiseModel.gaussian([_gaussian_sigma(p, c, stacklevel=stacklevel + 1) for c, p in enumerate(profiles)])
    gains: list[float] = []
    offsets: list[float] = []
    for c, profile in enumerate(profiles):
        line = fit_line(profile)
        problem = _line_problem(profile, line)
        if problem is not None and mode == "poisson-gaussian":
            raise ValueError(f"channel {c}: {problem}; use noise='auto' or noise='gaussian'")
        if problem is None and line is not None and not (mode == "auto" and _poisson_part_negligible(profile, line)):
            gains.append(line.gain)
            offsets.append(line.offset)
            continue
        if problem is not None and not profile.measured:
            problem = None  # the warning below says why
        sigma = _gaussian_sigma(profile, c, stacklevel=stacklevel + 1)
        if problem is not None and sigma > 0:
            warnings.warn(
                f"channel {c}: {problem}; using Gaussian noise with sigma {sigma:.4g} instead",
                UserWarning,
                stacklevel=stacklevel + 1,
            )
        gains.append(0.0)
        offsets.append(sigma * sigma)
    return NoiseModel(tuple(gains), tuple(offsets))


def estimate_noise(image: np.typing.ArrayLike, *, axes: str | None = None) -> NoiseModel:
    """Estimate the per-channel Poisson-Gaussian noise model of an image.

    The noise variance is modelled as ``gain * intensity + offset`` for each channel and
    fitted robustly to the noise measured within each (Y, X) plane, pooled over the planes
    of a stack or movie: neighbouring slices and frames differ by signal as well as noise.
    Flat blocks (clipped background, saturation) are left out.

    Parameters
    ----------
    image : array_like
        Image of 1 to 5 dimensions (integer or floating point).
    axes : str, optional
        The image's axes, e.g. ``"TYX"`` or ``"CZYX"``; by default ``"X"``, ``"YX"``,
        ``"ZYX"``, ``"CZYX"`` or ``"TCZYX"`` by dimension count.

    Returns
    -------
    NoiseModel
        One gain and one offset per channel. A channel that cannot be fitted (too small
        or flat) gets NaN for both, with a warning.

    Warns
    -----
    UserWarning
        For each channel whose fit is degenerate.

    Examples
    --------
    >>> import numpy as np
    >>> import pxvorel
    >>> rng = np.random.default_rng(0)
    >>> clean = np.linspace(50, 500, 128)[None, :] * np.ones((128, 1))
    >>> noisy = rng.poisson(clean).astype(np.float32)  # gain 1, offset 0
    >>> model = pxvorel.estimate_noise(noisy)
    >>> round(model.gain[0], 1)
    1.0
    """
    array = as_image(image)
    engine = AxisPlan.for_array(array.shape, axes).to_engine(array)
    gains: list[float] = []
    offsets: list[float] = []
    for c, profile in enumerate(_profiles(engine)):
        line = fit_line(profile)
        fit = None if line is None else (line.gain, line.offset)
        if fit is None:
            warnings.warn(
                f"channel {c}: the noise fit is degenerate (image too small or too flat); gain and offset are NaN",
                UserWarning,
                stacklevel=2,
            )
            fit = (math.nan, math.nan)
        gains.append(fit[0])
        offsets.append(fit[1])
    return NoiseModel(tuple(gains), tuple(offsets))


def estimate_sigma(image: np.typing.ArrayLike, *, axes: str | None = None) -> float:
    """Estimate the standard deviation of Gaussian noise in an image.

    The noise standard deviation at the image's median intensity (over the samples
    above the minimum when most sit at the minimum), measured within (Y, X) planes and
    pooled over all channels, slices and frames. For channels of very different noise
    levels, estimate each channel on its own or use :func:`estimate_noise`.

    Parameters
    ----------
    image : array_like
        Image of 1 to 5 dimensions.
    axes : str, optional
        The image's axes (see :func:`estimate_noise`).

    Returns
    -------
    float
        The noise standard deviation in the units of the image; 0.0 when no noise can be
        measured (a flat image).

    Examples
    --------
    >>> import numpy as np
    >>> import pxvorel
    >>> noisy = 100 + np.random.default_rng(0).normal(0, 5, (256, 256))
    >>> round(pxvorel.estimate_sigma(noisy))
    5
    """
    array = as_image(image)
    engine = AxisPlan.for_array(array.shape, axes).to_engine(array)
    t, c, z, y, x = engine.shape
    return noise_profile(engine.reshape(t * c, z, y, x)).gaussian_sigma()
