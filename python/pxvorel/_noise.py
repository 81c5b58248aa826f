"""Noise models: the per-channel Poisson-Gaussian line, its estimation and the choice made by ``denoise``."""

from __future__ import annotations

import ctypes
import math
import os
import sys
import tempfile
import warnings
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass

import numpy as np

from pxvorel import _px
from pxvorel._axes import AxisPlan
from pxvorel._image import as_image

NOISE_MODES = ("auto", "gaussian", "poisson-gaussian")

#: "auto" treats a channel as Gaussian when its fitted noise standard deviation changes by
#: less than this fraction over the channel's intensity range: the Poisson part is then
#: negligible, and a near-zero gain would only cost precision in the stabilising transform.
NEGLIGIBLE_STD_CHANGE = 0.05


@dataclass(frozen=True)
class NoiseModel:
    """Per-channel noise model: variance = ``gain[c]`` * intensity + ``offset[c]``.

    A channel whose gain is 0 has signal-independent (Gaussian) noise with standard
    deviation ``sqrt(offset[c])``; a channel whose gain is positive has Poisson-Gaussian
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


@contextmanager
def _native_stdout_silenced() -> Iterator[None]:
    """Send the process's standard output (file descriptor 1) to a scratch file meanwhile.

    The native fit writes a diagnostic straight to the C stdout when a channel cannot be
    fitted. The caller turns that case into a warning, and the text would otherwise end
    up among a program's own output (for instance in front of a JSON line). The native
    call holds the interpreter lock, so no other Python thread writes while fd 1 is
    redirected.
    """
    libc = ctypes.CDLL(None)
    sys.stdout.flush()
    libc.fflush(None)
    saved = os.dup(1)
    try:
        with tempfile.TemporaryFile() as scratch:
            os.dup2(scratch.fileno(), 1)
            try:
                yield
            finally:
                libc.fflush(None)
                os.dup2(saved, 1)
    finally:
        os.close(saved)


def fit_channels(engine: np.ndarray) -> list[tuple[float, float] | None]:
    """Per-channel (gain, offset) of a (T, C, Z, Y, X) array; None where the fit is degenerate."""
    with _native_stdout_silenced():
        gains, offsets = _px._calibrate_poisson_gaussian(engine)
    # The native fit reports a degenerate channel as exactly gain 1, offset 0.
    return [None if (g, o) == (1.0, 0.0) else (g, o) for g, o in zip(gains, offsets, strict=True)]


def channel_sigma(engine: np.ndarray, channel: int) -> float:
    """Robust Gaussian noise standard deviation of one channel of a (T, C, Z, Y, X) array."""
    return float(_px._calibrate_gaussian(engine[:, channel : channel + 1]))


def _intensity_range(engine: np.ndarray, channel: int) -> tuple[float, float]:
    """1st and 99th percentile of a channel (on a subsample of at most about a million samples)."""
    values = engine[:, channel].ravel()
    step = max(1, values.size // 1_000_000)
    low, high = np.percentile(values[::step], [1.0, 99.0])
    return float(low), float(high)


def _poisson_part_negligible(engine: np.ndarray, channel: int, gain: float, offset: float) -> bool:
    low, high = _intensity_range(engine, channel)
    var_low, var_high = gain * low + offset, gain * high + offset
    if var_low <= 0:
        return False
    return math.sqrt(var_high / var_low) - 1.0 < NEGLIGIBLE_STD_CHANGE


def choose_model(engine: np.ndarray, noise: object, *, stacklevel: int) -> NoiseModel:
    """The noise model ``denoise`` uses for a (T, C, Z, Y, X) array, for each form of its `noise` argument."""
    channels = engine.shape[1]
    if isinstance(noise, NoiseModel):
        model = noise.for_channels(channels)
        model.validate()
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
    if mode == "gaussian":
        return NoiseModel.gaussian([channel_sigma(engine, c) for c in range(channels)])
    gains: list[float] = []
    offsets: list[float] = []
    for c, fit in enumerate(fit_channels(engine)):
        problem = None
        if fit is None:
            problem = "the Poisson-Gaussian noise fit is degenerate (image too small or too flat)"
        elif fit[0] <= 0:
            problem = f"the fitted gain {fit[0]:.4g} is not positive (noise does not grow with intensity)"
        if problem is not None and mode == "poisson-gaussian":
            raise ValueError(f"channel {c}: {problem}; use noise='auto' or noise='gaussian'")
        negligible = problem is None and mode == "auto" and _poisson_part_negligible(engine, c, *fit)
        if problem is None and not negligible:
            gains.append(fit[0])
            offsets.append(fit[1])
            continue
        sigma = channel_sigma(engine, c)
        if problem is not None:
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
    fitted robustly from local statistics of the image itself.

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
    for c, fit in enumerate(fit_channels(engine)):
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

    A robust estimate (median absolute deviation of local pseudo-residuals) pooled over
    all channels and frames. For channels of very different noise levels, estimate each
    channel on its own or use :func:`estimate_noise`.

    Parameters
    ----------
    image : array_like
        Image of 1 to 5 dimensions.
    axes : str, optional
        The image's axes (see :func:`estimate_noise`).

    Returns
    -------
    float
        The noise standard deviation in the units of the image.

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
    return float(_px._calibrate_gaussian(engine))
