"""The noise model of an image: for each channel, its noise variance at every intensity."""

from __future__ import annotations

import math
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field, replace
from typing import Literal, SupportsIndex, overload

import numpy as np
import numpy.typing as npt

from pxvorel.noise.censored import censored_moments
from pxvorel.noise.correlation import NoiseCorrelation, Probe
from pxvorel.noise.defects import Defects
from pxvorel.noise.fit import FitFigure

#: The modes of estimating the noise that ``noise=`` accepts.
NOISE_MODES = ("auto", "gaussian", "poisson-gaussian")
#: A measured variance curve: intensities (increasing) and the noise variance at each.
Curve = tuple[tuple[float, ...], tuple[float, ...]]
#: Knots of the latent grid on which a clipped channel's recorded variance is computed.
_GRID = 1024


class ModelValue(float):
    """A variance or sd of one intensity: a plain float that still answers ``value[0]``.

    Code that indexes the value as a one-element array keeps working and is warned
    (DeprecationWarning), so that it neither breaks nor goes on unnoticed; any other index
    raises IndexError.

    Examples
    --------
    >>> value = ModelValue(2.5)
    >>> value + 1.0
    3.5
    """

    def __getitem__(self, index: SupportsIndex) -> float:
        if int(index) not in (0, -1):
            raise IndexError(f"a noise model's value at one intensity is a float, not a sequence (index {index})")
        warnings.warn(
            "NoiseModel.variance and NoiseModel.std return a float for one intensity; drop the [0]",
            DeprecationWarning,
            stacklevel=2,
        )
        return float(self)


def _per_channel(values: Sequence[object], channels: int, default: object, name: str) -> tuple[object, ...]:
    if len(values) == 0:
        return (default,) * channels
    if len(values) != channels:
        raise ValueError(f"a noise model needs one {name} per channel; got {len(values)} for {channels} channel(s)")
    return tuple(values)


@dataclass(frozen=True, repr=False)
class NoiseModel:
    """Per-channel noise model: variance = ``gain[c]`` * intensity + ``offset[c]``.

    A channel whose gain is 0 has signal-independent (Gaussian) noise with standard
    deviation ``sqrt(offset[c])`` (a channel with gain and offset 0 has no noise and is
    left as it is); a channel whose gain is positive has Poisson-Gaussian
    noise and is denoised after a variance-stabilising transform. Intensities are in the
    units of the image (e.g. camera ADU), so for a camera with a baseline ``b``, a gain
    ``g`` in ADU per photo-electron and read noise ``r`` ADU, ``gain = g`` and
    ``offset = r**2 - g * b``.

    An estimated model (:func:`pxvorel.estimate_noise`) can describe a channel further:

    - ``floor``: a variance below which the line is not taken (a line that reaches 0
      just inside the image's range but fits the data at both ends);
    - ``low`` and ``high``: the values at which the channel is clipped (a background cut
      at 0, saturation); the line then describes the noise before the clipping, and
      :meth:`variance` the noise of the recorded, clipped samples;
    - ``curve``: the noise variance measured per intensity (increasing, smoothed), where
      no line describes the channel; ``gain`` is then 0 and ``offset`` the variance at
      the median local intensity (outside a clipped background), where the stabilising
      transform follows the curve exactly;
    - ``span``: the intensity range of the image the model was estimated from;
    - ``correlation``: the spatial correlation of the noise (a
      :class:`~pxvorel.noise.correlation.NoiseCorrelation`), where neighbouring pixels'
      noise correlates (cameras that resample or filter, scanning detectors); None for
      white noise. The variance is then the per-pixel one, above what differences of
      neighbouring pixels show, and the run whitens the noise before denoising;
    - ``reasons``: why each channel's model was chosen;
    - ``saturation``: the value at which the detector saturated (the channel's highest
      value where it is a clip, or the top of a whole-number range such as 255 or 4095 that
      some samples reach); inf where none is seen. The run keeps its output at or below it
      and saturated samples at it (:func:`~pxvorel.noise.recorded_range.keep_recorded_range`);
    - ``defects``: each channel's defective pixels (hot, dead, flickering: a
      :class:`~pxvorel.noise.defects.Defects`), which the run replaces by the median of their
      neighbours before denoising; None where none were found or looked for;
    - ``fit``: how well each estimated channel's model follows the noise measured in it (a
      :class:`~pxvorel.noise.fit.FitFigure`, also quoted in its reason); None for a model
      made by hand.

    Parameters
    ----------
    gain, offset : sequence of float
        One entry per channel, in the order of the image's C axis. A model with one
        entry applies to every channel of an image.

    Examples
    --------
    >>> from pxvorel import NoiseModel
    >>> model = NoiseModel(gain=[2.0], offset=[-175.0])
    >>> model.std(200.0)
    15.0
    >>> float(model.variance([100.0, 200.0])[1])
    225.0
    >>> NoiseModel.gaussian(3.0)
    NoiseModel(gain=(0.0,), offset=(9.0,))
    """

    gain: tuple[float, ...]
    offset: tuple[float, ...]
    floor: tuple[float, ...] = ()
    low: tuple[float, ...] = ()
    high: tuple[float, ...] = ()
    curve: tuple[Curve | None, ...] = ()
    span: tuple[tuple[float, float] | None, ...] = ()
    reasons: tuple[str, ...] = field(default=(), compare=False)
    correlation: tuple[NoiseCorrelation | None, ...] = ()
    fit: tuple[FitFigure | None, ...] = field(default=(), compare=False)
    saturation: tuple[float, ...] = ()
    defects: tuple[Defects | None, ...] = ()

    def __post_init__(self) -> None:
        gain = tuple(float(g) for g in np.atleast_1d(self.gain))
        offset = tuple(float(o) for o in np.atleast_1d(self.offset))
        if not gain or len(gain) != len(offset):
            raise ValueError(
                f"a noise model needs one gain and one offset per channel; got {len(gain)} gain(s) "
                f"and {len(offset)} offset(s)"
            )
        n = len(gain)
        object.__setattr__(self, "gain", gain)
        object.__setattr__(self, "offset", offset)
        object.__setattr__(self, "floor", tuple(float(v) for v in _per_channel(self.floor, n, 0.0, "floor")))  # type: ignore[arg-type]
        object.__setattr__(self, "low", tuple(float(v) for v in _per_channel(self.low, n, -math.inf, "low")))  # type: ignore[arg-type]
        object.__setattr__(self, "high", tuple(float(v) for v in _per_channel(self.high, n, math.inf, "high")))  # type: ignore[arg-type]
        curves: list[Curve | None] = []
        for curve in _per_channel(self.curve, n, None, "curve"):
            if curve is None:
                curves.append(None)
                continue
            x, v = (tuple(float(a) for a in part) for part in curve)  # type: ignore[attr-defined]
            if len(x) < 1 or len(x) != len(v) or np.any(np.diff(x) <= 0) or not np.all(np.isfinite(v + x)):
                raise ValueError("a variance curve needs increasing, finite intensities and one variance each")
            curves.append((x, v))
        object.__setattr__(self, "curve", tuple(curves))
        spans = [
            None if s is None else (float(s[0]), float(s[1]))  # type: ignore[index]
            for s in _per_channel(self.span, n, None, "span")
        ]
        object.__setattr__(self, "span", tuple(spans))
        object.__setattr__(self, "reasons", tuple(str(r) for r in _per_channel(self.reasons, n, "given", "reason")))
        correlations = _per_channel(self.correlation, n, None, "correlation")
        if any(c is not None and not isinstance(c, NoiseCorrelation) for c in correlations):
            raise ValueError("a noise model's correlation must be a NoiseCorrelation (or None) per channel")
        object.__setattr__(self, "correlation", correlations)
        object.__setattr__(self, "fit", _per_channel(self.fit, n, None, "fit figure"))
        object.__setattr__(self, "defects", _per_channel(self.defects, n, None, "defect list"))
        saturation = _per_channel(self.saturation, n, math.inf, "saturation")
        object.__setattr__(self, "saturation", tuple(float(v) for v in saturation))  # type: ignore[arg-type]

    def __repr__(self) -> str:
        extra = [
            f"{name}={getattr(self, name)!r}"
            for name, empty in (
                ("floor", (0.0,)),
                ("low", (-math.inf,)),
                ("high", (math.inf,)),
                ("curve", (None,)),
                ("correlation", (None,)),
            )
            if getattr(self, name) != empty * self.channels
        ]
        return f"NoiseModel({', '.join([f'gain={self.gain!r}', f'offset={self.offset!r}', *extra])})"

    @classmethod
    def gaussian(cls, sigma: float | Sequence[float]) -> NoiseModel:
        """Signal-independent noise of standard deviation `sigma` (one value, or one per channel)."""
        sigmas = [float(s) for s in np.atleast_1d(sigma)]
        return cls(gain=tuple(0.0 for _ in sigmas), offset=tuple(s * s for s in sigmas))

    @property
    def channels(self) -> int:
        """Number of channels the model describes."""
        return len(self.gain)

    def kind(self, channel: int = 0) -> str:
        """``"none"``, ``"gaussian"``, ``"line"``, ``"clipped line"`` or ``"curve"``."""
        if self.curve[channel] is not None:
            return "curve"
        if self.gain[channel] == 0.0:
            return "gaussian" if self.offset[channel] > 0 else "none"  # clipped or not: see clipped()
        return "clipped line" if self.clipped(channel) else "line"

    def clipped(self, channel: int = 0) -> bool:
        """True when the model describes `channel` as clipped at a low or high value."""
        return math.isfinite(self.low[channel]) or math.isfinite(self.high[channel])

    def is_gaussian(self, channel: int = 0) -> bool:
        """True when `channel` has signal-independent noise (gain 0 and no measured curve)."""
        return self.gain[channel] == 0.0 and self.curve[channel] is None

    def has_noise(self, channel: int = 0) -> bool:
        """False for a channel without noise (gain and offset 0, no curve): it is left as it is."""
        return self.kind(channel) != "none"

    def plain(self, channel: int = 0) -> bool:
        """True when `channel` is a bare line or sigma (no floor, clipping or curve)."""
        return self.curve[channel] is None and self.floor[channel] == 0.0 and not self.clipped(channel)

    def correlated(self, channel: int = 0) -> bool:
        """True when the noise of `channel` is spatially correlated (see ``correlation``)."""
        return self.correlation[channel] is not None

    def probe_share(self, channel: int = 0, probe: Probe = "laplacian") -> float:
        """The share of the model's variance that `probe` sees (a Laplacian of neighbouring
        pixels by default, as the measurements of recorded noise use): 1 for white noise."""
        correlation = self.correlation[channel]
        return 1.0 if correlation is None else correlation.probe_share(probe)

    def with_correlation(self, channel: int, correlation: NoiseCorrelation) -> NoiseModel:
        """This model with `channel`'s noise correlated as measured: its variance (line,
        floor or curve) raised by ``correlation.level`` to the per-pixel variance."""
        c, k = channel, correlation.level

        def scaled(values: tuple[float, ...]) -> tuple[float, ...]:
            return tuple(v * k if i == c else v for i, v in enumerate(values))

        curves = tuple(
            curve if i != c or curve is None else (curve[0], tuple(v * k for v in curve[1]))
            for i, curve in enumerate(self.curve)
        )
        return replace(
            self,
            gain=scaled(self.gain),
            offset=scaled(self.offset),
            floor=scaled(self.floor),
            curve=curves,
            correlation=tuple(correlation if i == c else v for i, v in enumerate(self.correlation)),
        )

    def fits(self, channel: int = 0) -> bool:
        """False when `channel`'s estimated model does not follow the measured noise (see ``fit``)."""
        figure = self.fit[channel]
        return figure is None or figure.fits

    def reason(self, channel: int = 0) -> str:
        """Why this model was chosen for `channel` ("given" for a model made by hand)."""
        return self.reasons[channel]

    def latent_variance(self, intensity: npt.ArrayLike, channel: int = 0) -> npt.NDArray[np.float64]:
        """Noise variance before any clipping, at mean intensity `intensity` (not below 0)."""
        x = np.atleast_1d(np.asarray(intensity, dtype=np.float64))
        curve = self.curve[channel]
        if curve is not None:
            return np.interp(x, curve[0], curve[1])
        line = self.gain[channel] * x + self.offset[channel]
        return np.maximum(np.maximum(line, self.floor[channel]), 0.0)

    @overload
    def variance(self, intensity: float | np.floating, channel: int = 0) -> float: ...  # type: ignore[overload-overlap]
    @overload
    def variance(self, intensity: npt.ArrayLike, channel: int = 0) -> npt.NDArray[np.float64]: ...
    def variance(self, intensity: npt.ArrayLike, channel: int = 0) -> float | npt.NDArray[np.float64]:
        """Noise variance of the recorded samples whose mean is `intensity`: a float for one
        intensity (a number or a 0-d array), an array of its shape for several.

        For a clipped channel this is the variance of the clipped samples (lower than the
        line's near the clip, 0 at it); otherwise :meth:`latent_variance`.
        """
        values = self._recorded_variance(intensity, channel)
        return ModelValue(values[0]) if np.ndim(intensity) == 0 else values

    def _recorded_variance(self, intensity: npt.ArrayLike, channel: int) -> npt.NDArray[np.float64]:
        x = np.atleast_1d(np.asarray(intensity, dtype=np.float64))
        if not self.clipped(channel) or self.curve[channel] is not None:
            return self.latent_variance(x, channel)
        low, high = self.low[channel], self.high[channel]
        ends = [v for v in (low, high, float(x.min()), float(x.max())) if math.isfinite(v)]
        bottom, top = min(ends), max(ends)
        reach = 8.0 * math.sqrt(float(self.latent_variance([bottom, top], channel).max()) + 1e-12)
        mu = np.linspace(bottom - reach, top + reach, _GRID)
        mean, var = censored_moments(mu, np.sqrt(self.latent_variance(mu, channel)), low, high)
        mean = np.maximum.accumulate(mean)
        recorded: npt.NDArray[np.float64] = np.interp(np.clip(x, low, high), mean, var)
        return recorded

    @overload
    def std(self, intensity: float | np.floating, channel: int = 0) -> float: ...  # type: ignore[overload-overlap]
    @overload
    def std(self, intensity: npt.ArrayLike, channel: int = 0) -> npt.NDArray[np.float64]: ...
    def std(self, intensity: npt.ArrayLike, channel: int = 0) -> float | npt.NDArray[np.float64]:
        """Noise standard deviation at `intensity` in `channel` (0 where the model's variance
        is negative): a float for one intensity, an array for several (see :meth:`variance`)."""
        values = np.sqrt(self._recorded_variance(intensity, channel))
        return ModelValue(values[0]) if np.ndim(intensity) == 0 else values

    def for_channels(self, channels: int) -> NoiseModel:
        """This model for an image of `channels` channels (a one-channel model is repeated)."""
        if self.channels == channels:
            return self
        if self.channels == 1:
            return NoiseModel(
                self.gain * channels,
                self.offset * channels,
                self.floor * channels,
                self.low * channels,
                self.high * channels,
                self.curve * channels,
                self.span * channels,
                self.reasons * channels,
                self.correlation * channels,
                self.fit * channels,
                self.saturation * channels,
                self.defects * channels,
            )
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
            curve = self.curve[c]
            if curve is not None and not min(curve[1]) > 0:
                raise ValueError(f"channel {c}: a measured variance curve must be > 0 everywhere")
            if not self.floor[c] >= 0 or not self.low[c] < self.high[c]:
                raise ValueError(f"channel {c}: the variance floor must be >= 0 and the clip low below high")

    def describe_channel(self, channel: int) -> str:
        """The model of one channel in a few words."""
        text = self._describe_variance(channel)
        correlation = self.correlation[channel]
        return text if correlation is None else f"{text}; {correlation.describe()}"

    def _describe_variance(self, channel: int) -> str:
        c = channel
        g, o, kind = self.gain[c], self.offset[c], self.kind(c)
        if kind == "none":
            return "no noise"
        if kind == "gaussian":
            return f"Gaussian, sigma {math.sqrt(max(o, 0.0)):.4g}" + self._clip_text(c)
        if kind == "curve":
            curve = self.curve[c]
            assert curve is not None
            sd = np.sqrt(curve[1])
            text = (
                f"measured variance curve ({len(curve[0])} knots), sd {sd[0]:.4g} at {curve[0][0]:.4g} "
                f"to {sd[-1]:.4g} at {curve[0][-1]:.4g}"
            )
            return text + self._clip_text(c)
        text = f"Poisson-Gaussian, gain {g:.4g}, offset {o:.4g}"
        if self.floor[c] > 0:
            text += f", variance floor {self.floor[c]:.4g}"
        return text + self._clip_text(c)

    def _clip_text(self, c: int) -> str:
        saturated = math.isfinite(self.saturation[c]) and self.saturation[c] != self.high[c]
        text = f", saturated at {self.saturation[c]:g}" if saturated else ""
        if not self.clipped(c):
            return text
        ends = [f"{name} {v:g}" for name, v in (("below", self.low[c]), ("above", self.high[c])) if math.isfinite(v)]
        return ", clipped " + " and ".join(ends) + text

    def describe(self) -> str:
        """One human-readable line per channel."""
        return "\n".join(f"channel {c}: {self.describe_channel(c)}" for c in range(self.channels))

    def to_dict(self) -> dict[str, object]:
        """``{"gain": [...], "offset": [...], ...}`` with None for a value that could not be
        estimated or is absent (JSON-safe)."""

        def clean(values: tuple[float, ...]) -> list[float | None]:
            return [v if math.isfinite(v) else None for v in values]

        result: dict[str, object] = {"gain": clean(self.gain), "offset": clean(self.offset)}
        if not all(self.plain(c) for c in range(self.channels)):
            result.update(
                floor=list(self.floor),
                low=clean(self.low),
                high=clean(self.high),
                curve=[None if k is None else [list(k[0]), list(k[1])] for k in self.curve],
            )
        if any(d is not None for d in self.defects):
            result["defects"] = [None if d is None else d.to_dict() for d in self.defects]
        if any(math.isfinite(v) for v in self.saturation):
            result["saturation"] = clean(self.saturation)
        if any(c is not None for c in self.correlation):
            result["correlation"] = [None if c is None else c.to_dict() for c in self.correlation]
        if any(r != "given" for r in self.reasons):
            result["reasons"] = list(self.reasons)
        return result


#: What ``noise=`` accepts: a mode, a known Gaussian sigma, or a known model.
NoiseSpec = Literal["auto", "gaussian", "poisson-gaussian"] | float | NoiseModel
