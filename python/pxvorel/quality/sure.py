"""Monte-Carlo Stein's unbiased risk estimate (SURE) of a denoiser's mean squared error.

For noise of variance s_i**2 at sample i, the error of a result h(y) against the unknown
clean image u satisfies, in expectation,

    E ||h(y) - u||**2 = E [ ||h(y) - y||**2 - sum s_i**2 + 2 sum s_i**2 dh_i/dy_i ].

The divergence term comes from one extra run on the unit-noise input plus a random
probe: with b_i = +-1, dh_i/dz_i is about b_i (h_i(z + eps b) - h_i(z)) / eps (an unbiased
estimate of the trace, whose cross terms average out over the image).

The estimate is made in intensities, for every channel after the stabilising transform
T that the run applies: dh_i/dy_i = dh_i/dz_i * T'(y_i). For spatially correlated noise, which
the run whitens after T (z = W T(y), unit white noise), the divergence term is twice the trace
of the noise covariance times the Jacobian; the probe b, white in the unit-noise domain,
estimates it as the sum of s_i**2 T'(y_i) (W^-1 b)_i (h_i(z + eps b) - h_i(z)) / eps: the same
term with the probe coloured back. The observed image is then the unit-noise image taken back
(the input itself, but on a tile, whose colouring stops at its edges, like the result's). The
variance s_i**2 is the noise model's at sample i (:meth:`NoiseModel.variance`): in the first term its value at the
noisy sample (unbiased for the variance at the clean intensity where the model is a
line, nearly so where it curves gently), in the divergence term its value at the
denoised intensity (a smooth plug-in). For a Gaussian
channel both are sigma**2 and this is the classical estimate. A Poisson-Gaussian channel
estimated at variance 1 in the stabilised domain instead would miss the transform's
residual variance and its curvature, and over-estimate the error (see
docs/decisions/0011-quality-estimate.md).
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from pxvorel.noise.model import NoiseModel
from pxvorel.run.unit import UnitImage

#: A denoiser of (T, C, Z, Y, X) float32 arrays of unit noise, shape for shape.
UnitDenoiser = Callable[[npt.NDArray[np.float32]], npt.NDArray[np.float32]]

#: Size of the probe in units of the noise: small enough for a local derivative, large
#: enough that float32 rounding in the engine does not dominate the difference.
PROBE = 0.05
#: Tiles (TILE samples along Y and X, PLANES along Z and T) whose mean terms give the
#: estimate's standard error: the terms of neighbouring samples are correlated through
#: the shared patches and the second stage's blocks.
TILE = 16
PLANES = 4


@dataclass(frozen=True)
class RiskEstimate:
    """Estimated mean squared error of a denoised image in intensities, per noisy channel."""

    channels: tuple[int, ...]
    """The image's channels that were estimated (those with noise)."""
    mse: tuple[float, ...]
    """Estimated mean squared error against the clean image, per channel."""
    spread: tuple[float, ...]
    """Standard error of each `mse` (from the scatter of its tiles)."""
    input_variance: tuple[float, ...]
    """The noise model's mean variance over the input: the noisy image's own expected error."""
    denoised: npt.NDArray[np.float32]
    """The denoised image in intensities, (T, C, Z, Y, X)."""

    @property
    def relative(self) -> float:
        """Mean over the channels of the estimated error relative to the input's: what tuning minimises."""
        return float(np.mean([m / v for m, v in zip(self.mse, self.input_variance, strict=True)]))


def _variance(model: NoiseModel, c: int, values: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    return model.variance(values, channel=c)


def _slope(unit: UnitImage, i: int, model: NoiseModel, c: int, values: np.ndarray) -> npt.NDArray[np.float64]:
    """T'(values) of the channel's transform, by a central difference a thousandth of the noise wide."""
    step = 1e-3 * np.sqrt(np.maximum(_variance(model, c, values), 0.0) + 0.375 * model.gain[c] ** 2)
    transform = unit.transforms[i]
    slope: npt.NDArray[np.float64] = (transform.forward(values + step) - transform.forward(values - step)) / (2 * step)
    return slope


def _tile_means(terms: np.ndarray) -> npt.NDArray[np.float64]:
    """Mean of the terms over tiles of TILE x TILE along Y and X and PLANES along Z and T
    (the whole extent of an axis shorter than two tiles)."""
    lengths = [PLANES, PLANES, TILE, TILE]
    counts = [max(1, n // k) for n, k in zip(terms.shape, lengths, strict=True)]
    cut = terms[tuple(slice(0, c * (n // c)) for c, n in zip(counts, terms.shape, strict=True))]
    shape = [x for c, n in zip(counts, terms.shape, strict=True) for x in (c, n // c)]
    tiles: npt.NDArray[np.float64] = cut.reshape(shape).mean(axis=(1, 3, 5, 7)).ravel()
    return tiles


def estimate_risk(
    unit: UnitImage,
    model: NoiseModel,
    denoiser: UnitDenoiser,
    *,
    seed: int = 0,
    denoised_unit: npt.NDArray[np.float32] | Callable[[], npt.NDArray[np.float32]] | None = None,
) -> RiskEstimate:
    """Estimated mean squared error, in intensities, of ``unit.back(denoiser(unit.work))``.

    Costs one run of `denoiser` on the probed input (two when `denoised_unit`, its
    result on ``unit.work``, is not given). `denoised_unit` may also be a function that
    returns that result, called once the probed run is done (a run going on beside it).
    `model` is the noise model `unit` was made with.
    """
    if denoised_unit is None:
        denoised_unit = denoiser(unit.work)
    probe = np.random.default_rng(seed).integers(0, 2, unit.work.shape, dtype=np.int8).astype(np.float32) * 2 - 1
    probed = denoiser((unit.work + np.float32(PROBE) * probe).astype(np.float32))
    if callable(denoised_unit):
        denoised_unit = denoised_unit()
    result = unit.back(denoised_unit)
    moved = unit.back(probed)
    observed = unit.back(unit.work) if unit.correlated() else unit.engine
    mse, spread, base = [], [], []
    for i, c in enumerate(unit.channels):
        y = observed[:, c].astype(np.float64)
        h = result[:, c].astype(np.float64)
        correlation = unit.correlations[i] if unit.correlations else None
        # correlated noise is whitened before the denoiser: the probe, drawn white there, has
        # the noise's correlation in intensities (the trace is of the covariance times the Jacobian)
        spread_probe = probe[:, i] if correlation is None else correlation.colour(probe[:, i])
        divergence = spread_probe * (moved[:, c].astype(np.float64) - h) / PROBE * _slope(unit, i, model, c, y)
        noisy_variance = _variance(model, c, y)
        terms = (h - y) ** 2 - noisy_variance + 2.0 * np.maximum(_variance(model, c, h), 0.0) * divergence
        tiles = _tile_means(terms)
        mse.append(float(terms.mean()))
        spread.append(float(tiles.std(ddof=1) / math.sqrt(tiles.size)) if tiles.size > 1 else math.inf)
        base.append(float(noisy_variance.mean()))
    return RiskEstimate(unit.channels, tuple(mse), tuple(spread), tuple(base), result)
