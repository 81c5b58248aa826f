"""The noise model ``denoise`` uses, for each form of its ``noise`` argument, and its estimation."""

from __future__ import annotations

import math
import warnings
from dataclasses import replace
from typing import Literal

import numpy as np

from pxvorel.core.axes import AxisPlan
from pxvorel.core.image import as_image
from pxvorel.noise.blocks import signal_low
from pxvorel.noise.channel_choice import choose_channel, combine, fit_of
from pxvorel.noise.correlation import NoiseCorrelation, Probe, measure_correlation
from pxvorel.noise.measurement import ChannelMeasurement, measure_channel
from pxvorel.noise.model import NOISE_MODES, NoiseModel
from pxvorel.noise.parallel import each
from pxvorel.noise.residuals import typical_sigma
from pxvorel.noise.table import unit_transform
from pxvorel.noise.whole_numbers import tabulated
from pxvorel.run.threads import run_threads


def check_model_against_image(model: NoiseModel, engine: np.ndarray) -> None:
    """Raise ValueError when a given Poisson-Gaussian channel's variance line is negative inside
    the image's range.

    An estimated model (one that records the span of the image it came from) is not checked
    again: its line was judged on that image, and a part of it (a crop, a block of a chunked
    run) reaches darker 4 x 4 means than the whole's 0.1th percentile without being
    any less described by it (below the line's zero the transform continues straight)."""
    for c, (g, o) in enumerate(zip(model.gain, model.offset, strict=True)):
        if g <= 0 or not model.plain(c) or model.span[c] is not None:
            continue
        low = signal_low(engine[:, c])
        if -o / g > low:
            raise ValueError(
                f"channel {c}: the noise model (gain {g:g}, offset {o:g}) predicts no noise below intensity "
                f"{-o / g:.4g}, but the image's signal reaches down to {low:.4g}; "
                "variance = gain * intensity + offset must be positive there"
            )


def level_probe(model: NoiseModel, channel: int) -> Probe:
    """The probe a channel's estimated level came from: the 2 x 2 details of the line fit,
    or the Laplacian residual of the recorded noise (a single sigma, a measured curve)."""
    return "laplacian" if model.kind(channel) in ("gaussian", "curve") else "cells"


def with_correlation(engine: np.ndarray, model: NoiseModel, workers: int = 1) -> NoiseModel:
    """`model` of a (T, C, Z, Y, X) array with the spatial correlation of each noisy channel's
    noise, where it is not negligible (:func:`~pxvorel.noise.correlation.measure_correlation`).

    Channels described by a measured variance curve stay white: their noise is one no line
    describes (sparse photon counts, mostly at a clipped background), far from the normal
    noise the measurement and the whitening assume; their blocks' covariances show its
    sparsity as much as any correlation (whitening a Golgi stack's so lifted its darkest
    tenth by two noise sd)."""

    def measured(c: int) -> NoiseCorrelation | None:
        forward = tabulated(unit_transform(model, c).forward, engine[:, c])
        return measure_correlation(engine[:, c], forward, level_probe(model, c), stack=engine.shape[2] > 1)

    noisy = [c for c in range(model.channels) if model.has_noise(c) and model.kind(c) != "curve"]
    # each channel's correlation is measured with its own transform, which the others' do not change
    for c, correlation in zip(noisy, each(measured, noisy, workers), strict=True):
        if correlation is not None:
            model = model.with_correlation(c, correlation)
    return model


def choose_model(
    engine: np.ndarray, noise: object, *, stacklevel: int, correlation: bool = True, threads: int | None = None
) -> NoiseModel:
    """The noise model ``denoise`` uses for a (T, C, Z, Y, X) array, for each form of its `noise`
    argument; an estimated one (a mode) with its spatial correlation unless `correlation` is False.
    An estimate runs its independent parts on up to `threads` threads (None: the count in force,
    see :func:`~pxvorel.run.threads.run_threads`); the model is the same on any number."""
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
    workers = run_threads(threads)
    # the channels side by side where there are several, else the parts of the one
    inner = 1 if channels > 1 else workers
    measured = each(lambda c: measure_channel(engine[:, c], inner), range(channels), workers)
    chosen = [choose_channel(m, mode) for m in measured]
    for c, choice in enumerate(chosen):
        if choice.warning:
            warnings.warn(f"channel {c}: {choice.reason}", UserWarning, stacklevel=stacklevel + 1)
        if choice.error:
            raise ValueError(f"channel {c}: {choice.reason}; use noise='auto' or noise='gaussian'")
    model = replace(
        combine([choice.model for choice in chosen]),
        saturation=tuple(m.saturation for m in measured),
        defects=tuple(m.defects if m.defects.count else None for m in measured),
    )
    if correlation:
        model = with_correlation(engine, model, workers)
    return with_fit(model, measured, warn=mode != "gaussian", stacklevel=stacklevel + 1)


def with_fit(model: NoiseModel, measured: list[ChannelMeasurement], *, warn: bool, stacklevel: int) -> NoiseModel:
    """`model` with each channel's fit figure (:mod:`pxvorel.noise.fit`) and its defective
    pixels quoted in its reason; a warning, if `warn`, for each channel whose model does not
    fit (not for a Gaussian model asked for: its reason says whether it fits)."""
    figures = tuple(fit_of(model, c, m) for c, m in enumerate(measured))
    reasons = []
    for c, (m, figure) in enumerate(zip(measured, figures, strict=True)):
        reason = model.reason(c)
        if m.defects.count:
            reason += f"; {m.defects.describe()} left out of the measurement and repaired before denoising"
        if figure is not None:
            reason += f"; fit: {figure.describe()}"
            if not figure.fits:
                reason += " (the model does not fit)"
            if not figure.fits and warn:
                warnings.warn(
                    f"channel {c}: the noise model does not fit the measured noise: {figure.describe()}",
                    UserWarning,
                    stacklevel=stacklevel + 1,
                )
        reasons.append(reason)
    return replace(model, reasons=tuple(reasons), fit=figures)


def estimate_noise(
    image: np.typing.ArrayLike,
    *,
    axes: str | None = None,
    noise: Literal["auto", "gaussian", "poisson-gaussian"] = "auto",
    correlation: bool = True,
) -> NoiseModel:
    """Estimate the noise model of an image: exactly the model :func:`pxvorel.denoise` uses.

    The noise is measured within each (Y, X) plane, pooled over the planes of a stack or
    movie (neighbouring slices and frames differ by signal as well as noise). Per channel,
    in this order (see :mod:`pxvorel.noise.channel_choice`):

    - a Poisson-Gaussian line, variance = gain * intensity + offset, fitted robustly to
      unclipped cells, where it agrees within 20 % in noise sd with the noise of the
      recorded samples at the dark end and at the median. Where the channel is clipped
      (a background cut at its lowest value, saturation), the line is fitted to the
      cells clear of the clip and the model describes the clipped samples (their mean
      and variance are those of a clipped normal variable). Where the line reaches 0
      just inside the range but still fits, its variance is kept above a floor. A line
      whose noise sd changes by less than 5 % becomes one sigma;
    - otherwise the noise variance measured per intensity bin (increasing, smoothed),
      with a stabilising transform built from it;
    - a single sigma only where that measured noise is flat.

    Then, per channel, the spatial correlation of the noise (see
    :mod:`pxvorel.noise.correlation`): where neighbouring pixels' noise correlates by 0.4 or
    more along X, Y or (in a stack) Z, the same throughout the image, or by 0.15 or more
    along X or Y alone (the independent lines of a scanning microscope), the model carries the
    correlation and its variance is raised from what differences of neighbouring pixels see
    to the per-pixel variance; the run then whitens the noise before denoising. Elsewhere
    the model is white.

    Each channel is measured once (:func:`~pxvorel.noise.measurement.measure_channel`), its
    defective pixels (hot, dead, flickering) left out of the measurement and listed in
    ``model.defects`` (the run repairs them), the value at which its detector saturated in
    ``model.saturation`` (the run keeps its output at or below it).

    ``model.reason(c)`` says why each channel's model was chosen, with its fit figure: the
    share of intensity bins where the model's sd is within 20 % of the measured one, and the
    bin where it is furthest (``model.fit[c]``); ``model.fits(c)`` is False, and a warning
    says so, where the model does not fit (not when Gaussian noise is asked for).

    Parameters
    ----------
    image : array_like
        Image of 1 to 5 dimensions (integer or floating point).
    axes : str, optional
        The image's axes, e.g. ``"TYX"`` or ``"CZYX"``; see :func:`pxvorel.denoise` for the
        default and when it must be given.
    noise : {"auto", "gaussian", "poisson-gaussian"}, optional
        The mode, as for :func:`pxvorel.denoise`.
    correlation : bool, optional
        Measure the noise's spatial correlation (default). False gives the white model,
        whose level is what differences of neighbouring pixels show.

    Returns
    -------
    NoiseModel
        The model of every channel; ``model.variance(intensities, channel=c)`` gives its
        noise variance.

    Raises
    ------
    ValueError
        With ``noise="poisson-gaussian"``, for a channel that no line describes.

    Warns
    -----
    UserWarning
        For a channel whose noise cannot be measured, and for one whose model does not fit
        the noise measured in it.

    Examples
    --------
    >>> import numpy as np
    >>> import pxvorel
    >>> rng = np.random.default_rng(0)
    >>> clean = np.linspace(50, 500, 128)[None, :] * np.ones((128, 1))
    >>> noisy = rng.poisson(clean).astype(np.float32)  # gain 1, offset 0
    >>> model = pxvorel.estimate_noise(noisy)
    >>> round(model.gain[0], 1), model.kind(0)
    (1.0, 'line')
    """
    array = as_image(image)
    engine = AxisPlan.for_array(array.shape, axes).to_engine(array)
    return choose_model(engine, noise, stacklevel=2, correlation=correlation)


def estimate_sigma(image: np.typing.ArrayLike, *, axes: str | None = None) -> float:
    """Estimate the standard deviation of Gaussian noise in an image.

    The typical noise standard deviation of the recorded samples: the median absolute
    in-plane Laplacian residual, scaled to the standard deviation of normal noise, over the
    pixels outside a background at the image's lowest value (clipped or empty, without
    noise), pooled over all channels, slices and frames. Where the noise grows with
    intensity, this is the noise of a typical pixel; edges and small spots, whose residuals
    are large but few, do not count. For channels of very different noise levels,
    estimate each channel on its own or use :func:`estimate_noise`.

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
    return typical_sigma(engine.transpose(1, 0, 2, 3, 4).reshape(1, t * c * z, y, x))
