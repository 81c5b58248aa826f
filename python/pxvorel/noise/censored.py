"""Clipped (censored) normal observations: their mean and variance in closed form.

A sample z = clip(x, low, high) of x ~ N(mu, sigma**2) (a background cut at 0, a
saturated detector) has the mean and variance below; a noise model of a clipped channel
describes z as it is recorded, while its line describes x.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

_SQRT2 = math.sqrt(2.0)
_SQRT2PI = math.sqrt(2.0 * math.pi)


def _erf(x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Error function (Numerical Recipes' Chebyshev fit of erfc, fractional error < 1.2e-7)."""
    sign = np.sign(x)
    a = np.abs(x)
    t = 1.0 / (1.0 + 0.5 * a)
    poly = (
        -a * a
        - 1.26551223
        + t
        * (
            1.00002368
            + t
            * (
                0.37409196
                + t
                * (
                    0.09678418
                    + t
                    * (
                        -0.18628806
                        + t * (0.27886807 + t * (-1.13520398 + t * (1.48851587 + t * (-0.82215223 + t * 0.17087277))))
                    )
                )
            )
        )
    )
    erfc = t * np.exp(poly)
    result: npt.NDArray[np.float64] = sign * (1.0 - erfc)
    return result


def normal_cdf(x: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Standard normal cumulative distribution function."""
    v = np.clip(np.asarray(x, dtype=np.float64), -40.0, 40.0)
    return 0.5 * (1.0 + _erf(v / _SQRT2))


def normal_pdf(x: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Standard normal density."""
    v = np.clip(np.asarray(x, dtype=np.float64), -40.0, 40.0)  # beyond, the density is 0 in double precision
    return np.exp(-0.5 * v * v) / _SQRT2PI


def censored_moments(
    mu: npt.ArrayLike, sigma: npt.ArrayLike, low: float = -math.inf, high: float = math.inf
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Mean and variance of clip(x, low, high) for x ~ N(mu, sigma**2).

    Examples
    --------
    >>> mean, variance = censored_moments(0.0, 1.0, low=0.0)
    >>> round(float(mean), 4), round(float(variance), 4)
    (0.3989, 0.3408)
    """
    m = np.asarray(mu, dtype=np.float64)
    s = np.maximum(np.asarray(sigma, dtype=np.float64), 1e-300)
    a = (low - m) / s if math.isfinite(low) else np.full_like(m, -np.inf)
    b = (high - m) / s if math.isfinite(high) else np.full_like(m, np.inf)
    fa, fb = np.where(np.isfinite(a), a, 0.0), np.where(np.isfinite(b), b, 0.0)
    pa = np.where(np.isfinite(a), normal_pdf(fa), 0.0)
    pb = np.where(np.isfinite(b), normal_pdf(fb), 0.0)
    ca, cb = normal_cdf(a), normal_cdf(b)
    inside = cb - ca
    # E[u 1(a<u<b)] and E[u^2 1(a<u<b)] for the standardised u, then the clipped tails
    first = pa - pb
    second = inside + fa * pa - fb * pb
    lo = low if math.isfinite(low) else 0.0
    hi = high if math.isfinite(high) else 0.0
    mean = ca * lo + (1.0 - cb) * hi + inside * m + s * first
    raw2 = ca * lo * lo + (1.0 - cb) * hi * hi + inside * m * m + 2.0 * m * s * first + s * s * second
    variance = np.maximum(raw2 - mean * mean, 0.0)
    return mean, variance
