"""The noise of the recorded samples at each intensity, as the denoiser meets it.

Unlike :func:`~pxvorel.noise.blocks.noise_profile`, which leaves out clipped cells and
flat blocks to keep the relation of noise and intensity undistorted, this measures every
block as it is: a clipped background shows the little noise it has, a black box none.
Each pixel's unit-gain Laplacian residual (4 c - its four neighbours) / sqrt(20), which
has the pixel noise's variance and ignores ramps, is taken with the mean of the 5 x 5
window around the pixel (its local intensity, hardly moved by the pixel's own noise);
pixels are sorted by local intensity into bins of equal counts, and each bin's variance
is the 3.5-sigma-clipped variance of its residuals (clipping drops the residuals on
strong edges and spots).

Sparse noise (photon counting at a fraction of a photon per pixel: most samples at the
background, a few a whole photon's height above it) has a tail that such clipping takes
for outliers, keeping a small part of the variance. Where the clipping drops far more
residuals than a few edges and spots would (:data:`HEAVY_SHARE`), the tail is the noise's
own, and the bin keeps its plain variance: such large residuals are single pixels, not the
extended blobs that optics image (see docs/decisions/0012-noise-tails-and-transform-slopes.md).
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from pxvorel.noise.blocks import _planes, plane_groups
from pxvorel.noise.censored import normal_cdf, normal_pdf
from pxvorel.noise.ordering import (
    bin_rows,
    bin_sizes,
    median,
    sorted_median,
    sorted_quotients,
    stable_order,
    whole_keys,
)

#: Side of the window whose mean is a pixel's local intensity.
WINDOW = 5
#: Pixels per bin at least, bins at most (each 2.5 % of the pixels), and pixels measured at
#: most (evenly spaced).
PIXELS_PER_BIN = 1000
MAX_BINS = 40
MAX_PIXELS = 4_000_000
#: Planes measured at most (evenly spaced); a plane's rows and columns are not subsampled.
MAX_PLANES = 48
#: Median absolute deviation of a standard normal variable.
MAD_TO_SD = 0.6744897501960817
#: Share of a bin's residuals the 3.5-sigma clipping may drop before they count as
#: heavy-tailed noise: above what normal noise and the edges, filaments and spots of real
#: images lose, below what sparse photon counts lose (see
#: docs/decisions/0012-noise-tails-and-transform-slopes.md).
HEAVY_SHARE = 0.03


@dataclass(frozen=True)
class Observed:
    """Noise variance of the recorded samples per intensity bin of one channel."""

    intensity: npt.NDArray[np.float64]
    """Mean local intensity of each bin, increasing."""
    variance: npt.NDArray[np.float64]
    spread: npt.NDArray[np.float64]
    """Standard error of each bin's variance (for plots and weights)."""
    counts: npt.NDArray[np.float64]
    """Pixels behind each bin."""
    quantile: npt.NDArray[np.float64]
    """Share of the pixels below each bin's middle (its position in the channel)."""
    floor_share: float = 0.0
    """Share of the pixels whose whole window sits at the channel's lowest value."""

    @property
    def measured(self) -> bool:
        return bool(self.intensity.size > 0 and np.any(self.variance > 0))

    def at_quantile(self, share: float) -> tuple[float, float]:
        """Intensity and variance at the bin nearest the `share` quantile of the pixels."""
        i = int(np.argmin(np.abs(self.quantile - share)))
        return float(self.intensity[i]), float(self.variance[i])

    def variance_at(self, intensity: npt.ArrayLike) -> npt.NDArray[np.float64]:
        return np.interp(np.asarray(intensity, dtype=np.float64), self.intensity, self.variance)


def clipped_variance(
    values: npt.NDArray[np.float64], k: float = 3.5, ordered: npt.NDArray[np.float64] | None = None
) -> float:
    """Variance after iterative k-sigma clipping about the median, corrected for the share
    of a normal variable's variance the clipping removes; where that clipping drops more
    than HEAVY_SHARE of the values (heavy-tailed noise), the plain variance.

    `ordered`, the values in increasing order where the caller has them, gives the medians
    without a partition of the values each round: the values kept are those of a range of
    it (those within k sd of the median, below and above).

    Examples
    --------
    >>> rng = np.random.default_rng(0)
    >>> round(clipped_variance(rng.normal(0.0, 2.0, 100_000)), 1)
    4.0
    >>> photons = rng.random(100_000) < 0.3                 # a photon in 3 pixels of 10,
    >>> sparse = photons * rng.exponential(40.0, 100_000)   # of a random height
    >>> round(clipped_variance(sparse) / float(sparse.var()), 2)
    1.0
    """
    v = values
    start, stop = 0, values.size  # the range of `ordered` that `v` holds
    variance: float | None = None
    for _ in range(10):
        if v.size < 2:
            return 0.0
        variance = _variance(v)
        centre = median(v) if ordered is None else sorted_median(ordered, start, stop)
        offset, limit = v - centre, k * math.sqrt(variance)
        kept = v[np.abs(offset) <= limit]
        if kept.size == v.size:
            break
        if ordered is not None:
            start += int(np.count_nonzero(offset < -limit))
            stop = start + kept.size
        v, variance = kept, None
    if v.size < (1.0 - HEAVY_SHARE) * values.size:
        return float(values.var())
    if variance is None:
        variance = _variance(v)
    return variance / _kept_share(k)


def _variance(values: npt.NDArray[np.float64]) -> float:
    """``values.var()`` of a 1-D float64 array: NumPy's own steps (the mean, the squared
    deviations from it, their mean), without its generic wrapper, called once per round
    of every bin's clipping."""
    deviations = values - np.add.reduce(values, keepdims=True) / values.size
    np.multiply(deviations, deviations, out=deviations)
    return float(np.add.reduce(deviations) / values.size)


@functools.cache
def _kept_share(k: float) -> float:
    """The share of a normal variable's variance within k sd of its mean (once per k)."""
    inside = float(2 * normal_cdf(k) - 1)
    return (inside - 2 * k * float(normal_pdf(k))) / inside


def _box(data: np.ndarray, size: int, axis: int, whole: bool = False) -> np.ndarray:
    """Sums of `size` consecutive samples along `axis` (the valid part only): exact for
    integer values, so that a window wholly at the channel's lowest value has exactly its
    local mean. Of `whole` numbers (well within float64's exact integers) the window's
    samples are added directly, which gives the same exact sums at less cost."""
    n = data.shape[axis]
    if whole:
        parts = [data[_along(axis, data.ndim, slice(k, n - size + 1 + k))] for k in range(size)]
        added: np.ndarray = parts[0] + parts[1]
        for part in parts[2:]:
            added += part
        return added
    total = np.cumsum(data, axis=axis, dtype=np.float64)
    # sums[i] = total[i + size - 1] - total[i - 1], the first window's the running total itself
    sums = total[_along(axis, data.ndim, slice(size - 1, None))].copy()
    rest = _along(axis, data.ndim, slice(1, None))
    np.subtract(sums[rest], total[_along(axis, data.ndim, slice(0, n - size))], out=sums[rest])
    return sums


def _along(axis: int, ndim: int, part: slice) -> tuple[slice, ...]:
    """The index that takes `part` along `axis` of an array of `ndim` dimensions."""
    return (slice(None),) * axis + (part,) + (slice(None),) * (ndim - axis - 1)


#: The Laplacian residual of a pixel in a plane, (4 c - its four neighbours) / LAPLACIAN,
#: and along a line, (2 c - its two neighbours) / LINE_LAPLACIAN: the pixel noise's sd.
LAPLACIAN, LINE_LAPLACIAN = float(np.sqrt(20.0)), float(np.sqrt(6.0))


class _Layout(NamedTuple):
    """How the pixels of (Y, X) planes are measured: in a plane or along a line."""

    window: int
    """The samples in a pixel's window (5 x 5 in a plane, 5 along a line)."""
    pixels: int
    """The pixels of a plane that have a full window."""
    laplacian: float
    """The divisor of the Laplacian residual."""

    @classmethod
    def of(cls, y: int, x: int) -> _Layout:
        if y >= WINDOW and x >= WINDOW:
            return cls(WINDOW**2, (y - WINDOW + 1) * (x - WINDOW + 1), LAPLACIAN)
        return cls(WINDOW, max(0, y * x - WINDOW + 1), LINE_LAPLACIAN)


def _pixels(planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Local mean (5 x 5, or 5 along a line) and Laplacian residual of every pixel that has
    a full window, flattened."""
    n, y, x = planes.shape
    data = planes.astype(np.float64, copy=False)
    whole = planes.dtype.kind in "biu" and planes.dtype.itemsize <= 4  # window sums far below 2**53
    h = WINDOW // 2
    if y >= WINDOW and x >= WINDOW:
        local = _box(_box(data, WINDOW, 1, whole), WINDOW, 2, whole)
        local /= WINDOW**2
        # the residual only where the window is full, its terms subtracted in place in turn
        rows, columns = slice(h, y - h), slice(h, x - h)
        residual = 4 * data[:, rows, columns]
        for dy, dx in ((-1, 0), (1, 0), (0, -1), (0, 1)):
            residual -= data[:, h + dy : y - h + dy, h + dx : x - h + dx]
        residual /= LAPLACIAN
        return local.ravel(), residual.ravel()
    line = data.reshape(n, -1) if x >= y else data.transpose(0, 2, 1).reshape(n, -1)
    if line.shape[1] < WINDOW:
        return np.empty(0), np.empty(0)
    local = _box(line, WINDOW, 1, whole) / WINDOW
    residual = (2 * line[:, 1:-1] - line[:, :-2] - line[:, 2:]) / LINE_LAPLACIAN
    return local.ravel(), residual[:, h - 1 : line.shape[1] - h - 1].ravel()


def _samples(channel: np.ndarray) -> tuple[np.ndarray, np.ndarray, _Layout]:
    """Local intensity and Laplacian residual of the pixels measured in one (T, Z, Y, X)
    channel: every step-th of the measured planes' pixels, taken a group of planes at a time;
    and how they were measured."""
    planes = _planes(np.asarray(channel))
    chosen = np.arange(planes.shape[0])
    if planes.shape[0] > MAX_PLANES:
        chosen = np.linspace(0, planes.shape[0] - 1, MAX_PLANES).round().astype(int)
    layout = _Layout.of(*planes.shape[1:])
    step = max(1, layout.pixels * chosen.size // MAX_PIXELS)
    groups = plane_groups(planes[: chosen.size])
    if len(groups) == 1 and step == 1:  # one group, every pixel: its arrays as they are
        return (*_pixels(planes[chosen]), layout)
    # each group's share of the whole stride, written into arrays of the final size
    # (a list of the groups' parts, joined, would hold every sample twice)
    firsts = [-(group.start * layout.pixels) % step for group in groups]  # a group's first pixel on the stride
    counts = [
        len(range(first, len(chosen[group]) * layout.pixels, step)) for group, first in zip(groups, firsts, strict=True)
    ]
    intensity, residual = np.empty(sum(counts)), np.empty(sum(counts))
    at = 0
    for group, first, count in zip(groups, firsts, counts, strict=True):
        local, detail = _pixels(planes[chosen[group]])
        intensity[at : at + count] = local[first::step]
        residual[at : at + count] = detail[first::step]
        at += count
    return intensity, residual, layout


def typical_sigma(channel: np.ndarray) -> float:
    """The typical noise sd of a (T, Z, Y, X) channel: the median absolute Laplacian
    residual, scaled to the sd of normal noise, over the pixels whose 5 x 5 window is not
    wholly at the channel's lowest value (a clipped or empty background, noiseless).

    Pooled over all intensities, it is the noise of a typical pixel where the noise grows
    with intensity, and the median ignores the large residuals of edges and spots.

    Examples
    --------
    >>> noise = np.random.default_rng(0).normal(100.0, 4.0, (1, 1, 128, 128))
    >>> round(typical_sigma(noise), 1)
    4.0
    """
    intensity, residual, _ = _samples(channel)
    if intensity.size == 0:
        return 0.0
    lowest = float(intensity.min())
    residual = residual[intensity > lowest + 1e-9 * (float(intensity.max()) - lowest)]
    if residual.size == 0:
        return 0.0
    return float(np.median(np.abs(residual - np.median(residual)))) / MAD_TO_SD


def observed_profile(channel: np.ndarray) -> Observed:
    """Measure the recorded noise of one (T, Z, Y, X) channel per intensity bin."""
    intensity, residual, layout = _samples(channel)
    if intensity.size == 0:
        nothing = np.empty(0)
        return Observed(nothing, nothing, nothing, nothing, nothing)
    order = stable_order(intensity, layout.window)
    intensity, residual = intensity[order], residual[order]
    # residuals of whole numbers are whole numbers over the Laplacian's divisor: each bin's
    # are then put in order by radix sort, for the medians of their clipping
    keys = whole_keys(residual, layout.laplacian)
    bins = int(np.clip(intensity.size // PIXELS_PER_BIN, 1, MAX_BINS))
    sizes = bin_sizes(intensity.size, bins)
    ends = np.cumsum(sizes)
    means = np.concatenate([rows.mean(axis=1) for rows in bin_rows(intensity, bins)])
    centres: list[float] = []
    variances: list[float] = []
    counts: list[float] = []
    quantiles: list[float] = []
    for size, end, mean in zip(sizes.tolist(), ends.tolist(), means.tolist(), strict=True):
        centre = mean
        members = slice(end - size, end)
        ordered = None if keys is None else sorted_quotients(keys[members], layout.laplacian)
        variance = clipped_variance(residual[members], ordered=ordered)
        if centres and centre <= centres[-1]:  # equal intensities (a flat or clipped background): one bin
            total = counts[-1] + size
            variances[-1] = (variances[-1] * counts[-1] + variance * size) / total
            counts[-1] = total
            quantiles[-1] += size / intensity.size
            continue
        centres.append(centre)
        variances.append(variance)
        counts.append(float(size))
        quantiles.append((quantiles[-1] if quantiles else 0.0) + size / intensity.size)
    count = np.asarray(counts)
    variance_array = np.asarray(variances)
    share = np.asarray(quantiles) - 0.5 * count / intensity.size  # each bin's middle
    floor_share = int(np.searchsorted(intensity, intensity[0], side="right")) / intensity.size
    return Observed(
        np.asarray(centres), variance_array, variance_array * np.sqrt(2.0 / count), count, share, floor_share
    )


def monotone(values: npt.NDArray[np.float64], weights: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The non-decreasing sequence nearest to `values` in weighted least squares (pooling
    adjacent violators)."""
    level: list[float] = []
    weight: list[float] = []
    size: list[int] = []
    for v, w in zip(values.tolist(), weights.tolist(), strict=True):
        level.append(v)
        weight.append(w)
        size.append(1)
        while len(level) > 1 and level[-2] > level[-1]:
            w2 = weight[-2] + weight[-1]
            level[-2] = (level[-2] * weight[-2] + level[-1] * weight[-1]) / w2
            weight[-2] = w2
            size[-2] += size[-1]
            del level[-1], weight[-1], size[-1]
    return np.repeat(np.asarray(level), size)


def smooth_curve(observed: Observed) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Knots (intensity, variance) of the measured curve: bins with noise, smoothed over
    three neighbours in log variance, made non-decreasing."""
    keep = observed.variance > 0
    x, v, w = observed.intensity[keep], observed.variance[keep], observed.counts[keep]
    if x.size >= 3:
        log_v = np.log(v)
        padded = np.concatenate([log_v[:1], log_v, log_v[-1:]])
        v = np.exp((padded[:-2] + padded[1:-1] + padded[2:]) / 3.0)
    return x, monotone(v, w)


def shot_limited(
    x: npt.NDArray[np.float64], v: npt.NDArray[np.float64], dark: float, median: float
) -> npt.NDArray[np.float64]:
    """Variances `v` at intensities `x` kept, above `median`, below the straight line through
    the variance at `median` that rises as the variance does from `dark` to `median`.

    Photon (shot) noise makes the variance grow linearly with intensity, never faster. At
    bright intensities of a sparse image (small bright spots, puncta) the Laplacian residual
    measures the spots' curvature rather than noise, and its variance grows with the square
    of the intensity; that excess is not noise, and a transform following it would leave the
    bright structures unsmoothed. Below the median, where the check of the model (the
    recorded noise at the dark end and the median) holds, the curve is kept as measured.

    Examples
    --------
    >>> x = np.array([0.0, 10.0, 20.0, 40.0])
    >>> shot_limited(x, np.array([1.0, 11.0, 40.0, 400.0]), dark=0.0, median=10.0).tolist()
    [1.0, 11.0, 21.0, 41.0]
    """
    v_dark, v_median = np.interp([dark, median], x, v)
    slope = max(float(v_median - v_dark) / max(median - dark, 1e-300), 0.0)
    above = x > median
    limit = v_median + slope * (x - median)
    return np.where(above, np.minimum(v, limit), v)
