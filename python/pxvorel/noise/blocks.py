"""Noise measured inside each plane, pooled over the planes of a channel.

Neighbouring slices of a stack or frames of a movie differ by their signal as well as
by their noise, so the noise is measured only within (Y, X) planes: every 2 x 2 cell of
a plane gives one diagonal detail coefficient (a - b - c + d) / 2, whose variance is
the mean noise variance of its four pixels and which ignores constant, linear and
ramp-like signal along X or Y. Cells are grouped into blocks of 4 x 4 cells; each block
gives its mean intensity and a robust noise variance. Blocks are then sorted by
intensity into bins, and each bin keeps a low quantile of its blocks' variances, since
blocks that hold structure (edges, spots, texture) can only add variance.

Blocks whose pixels are all equal (padding, a flat channel) carry no information on the
noise and are left out; so are, for the relation of noise and intensity, cells that touch
a clipped end of the channel's range (a background cut at 0, saturation).
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field, replace
from typing import TypedDict

import numpy as np

from pxvorel.noise.ordering import bin_medians, bin_percentiles, bin_sizes

#: Cells per block side (a block is 8 x 8 pixels, 16 detail coefficients).
BLOCK_CELLS = 4
#: Fraction of a block's detail coefficients kept (the smallest in magnitude) for its
#: variance: tolerant of quantised data, where most coefficients can be exactly 0, and of
#: a few coefficients on an edge.
KEEP = 0.9
#: E|X| over the smallest 90 % of |X| for standard normal X.
TRIMMED_ABS_MEAN = 0.65744
#: Each bin's noise variance is this quantile (in percent) of its blocks' variances ...
BIN_QUANTILE = 25.0
#: ... divided by the value that quantile takes for pure Gaussian noise of variance 1
#: (measured on simulated noise; tests/python/test_noise_estimation.py checks it).
BIN_QUANTILE_OF_PURE_NOISE = 0.691
#: Ratio of the 75th to the 25th percentile of the block variances in a bin of pure Gaussian
#: noise (measured on simulated noise; tests/python/test_noise_measurement.py checks it), and
#: the ratio above which a bin's blocks scatter as structure does, not as noise: bins of
#: blocks around small bright spots scatter 10 times, the bright bins of real cells at most
#: 2.3 times (Poisson noise at every level: 1.7 to 2.1 times).
NOISE_SCATTER = 1.78
STRUCTURE_SCATTER = 1.5 * NOISE_SCATTER
#: Blocks per intensity bin, and the number of bins at most.
BLOCKS_PER_BIN = 64
MIN_BINS, MAX_BINS = 4, 48
#: Share of samples at the lowest (or highest) value above which that value is a clip.
CLIPPED_SHARE = 0.01
#: Samples measured at a time: planes go through in groups of about this many samples,
#: so that the double-precision copies and their temporaries stay small beside a
#: stack (every statistic is per block or per 4 x 4 pixels, so the result is the same).
GROUP_SAMPLES = 1 << 16


@dataclass(frozen=True)
class NoiseProfile:
    """Noise variance against intensity for one channel, measured in its planes.

    ``intensity`` and ``variance`` are per bin, sorted by intensity; ``blocks`` is the
    number of blocks behind each bin. ``low`` and ``median`` summarise the channel's
    intensities: ``low`` is the 0.1th percentile of a blurred copy (4 x 4 pixel means), the
    dark end of the range the signal spans; ``median`` is the median intensity, taken over
    the samples above the minimum when more than half of them sit at the minimum (a
    clipped background).
    """

    intensity: np.ndarray
    variance: np.ndarray
    blocks: np.ndarray
    low: float
    median: float
    integral: bool = False
    """True when every sample is a whole number (a camera's counts): a noise standard
    deviation well below 1 is then hidden by the rounding and cannot be measured well."""
    median_variance: float = 0.0
    """Noise variance present at the median intensity, clipped samples included: what
    the denoiser meets there (the bins above leave clipped cells out, to keep the
    relation of noise and intensity undistorted)."""
    floor: float = 0.0
    floor_share: float = 0.0
    """The channel's lowest value and the share of samples at it (a clipped background
    when above CLIPPED_SHARE)."""
    block_intensity: np.ndarray = field(default_factory=lambda: np.empty(0), repr=False)
    block_variance: np.ndarray = field(default_factory=lambda: np.empty(0), repr=False)
    """Mean intensity and noise variance of every non-flat block, sorted by intensity."""

    @property
    def clipped(self) -> bool:
        """True when the channel's background is cut off at its lowest value."""
        return self.floor_share > CLIPPED_SHARE

    def binned(self, trend: VarianceLine | None) -> NoiseProfile:
        """Bins of equal block counts; with a `trend`, each bin's quantile is taken of the
        blocks' variances relative to it, which removes the spread of intensities within
        a bin (wide bins at the bright end would otherwise read low)."""
        intensity, variance = self.block_intensity, self.block_variance
        if intensity.size == 0:
            return self
        bins = _bins(intensity.size)
        scale = None if trend is None else trend.variance(intensity)
        if scale is not None and not np.all(scale > 0):
            return self
        centres = bin_medians(intensity, bins)
        if trend is None or scale is None:
            variances = bin_percentiles(variance, bins, BIN_QUANTILE) / BIN_QUANTILE_OF_PURE_NOISE
        else:
            quantiles = bin_percentiles(variance / scale, bins, BIN_QUANTILE)
            variances = quantiles / BIN_QUANTILE_OF_PURE_NOISE * trend.variance(centres)
        return replace(self, intensity=centres, variance=variances, blocks=bin_sizes(intensity.size, bins))

    @property
    def measured(self) -> bool:
        """True when at least one bin of non-flat blocks was found."""
        return self.intensity.size > 0

    def variance_at(self, intensity: float) -> float:
        """Measured noise variance at `intensity`, interpolated between bins."""
        if not self.measured:
            return 0.0
        return float(np.interp(intensity, self.intensity, self.variance))

    def variance_at_each(self, intensity: np.ndarray) -> np.ndarray:
        """Measured noise variance at each of `intensity`, interpolated between bins."""
        if not self.measured:
            return np.zeros(np.shape(intensity))
        interpolated: np.ndarray = np.interp(intensity, self.intensity, self.variance)
        return interpolated

    def scatter(self) -> tuple[np.ndarray, np.ndarray]:
        """Per bin of equal block counts (those of :meth:`binned`): its median intensity and
        the ratio of the 75th to the 25th percentile of its blocks' variances (about
        NOISE_SCATTER where the blocks hold noise only)."""
        intensity, variance = self.block_intensity, self.block_variance
        if intensity.size == 0:
            return np.empty(0), np.empty(0)
        bins = _bins(intensity.size)
        low, high = bin_percentiles(variance, bins, [25.0, 75.0])
        ratios = np.divide(high, low, out=np.full(bins, math.inf), where=low > 0)
        return bin_medians(intensity, bins), ratios

    def noise_like(self, intensity: np.ndarray) -> np.ndarray:
        """Whether the bin nearest each of `intensity` holds blocks that scatter as noise does
        (below STRUCTURE_SCATTER), not as structure."""
        centres, ratios = self.scatter()
        if centres.size == 0:
            return np.zeros(np.shape(intensity), dtype=bool)
        nearest = np.abs(np.asarray(intensity, dtype=np.float64)[..., None] - centres).argmin(axis=-1)
        return np.asarray(ratios[nearest] <= STRUCTURE_SCATTER)

    def gaussian_sigma(self) -> float:
        """Standard deviation of the noise present at the median intensity (0 when none is)."""
        return float(np.sqrt(max(self.median_variance, 0.0)))


def _bins(blocks: int) -> int:
    """The number of intensity bins of equal block counts for `blocks` blocks."""
    return max(int(np.clip(blocks // BLOCKS_PER_BIN, min(MIN_BINS, blocks // 4), MAX_BINS)), 1)


def plane_groups(planes: np.ndarray) -> list[slice]:
    """Consecutive groups of the (planes, rows, columns) `planes`, of about
    :data:`GROUP_SAMPLES` samples each (one plane at least)."""
    n, y, x = planes.shape
    group = max(1, GROUP_SAMPLES // max(y * x, 1))
    return [slice(start, start + group) for start in range(0, n, group)]


def _planes(channel: np.ndarray) -> np.ndarray:
    """A (T, Z, Y, X) channel as (planes, rows, columns) with at least 2 columns where possible."""
    t, z, y, x = channel.shape
    planes = channel.reshape(t * z, y, x)
    if x >= 2:
        return planes
    if y >= 2:
        return planes.transpose(0, 2, 1)
    return planes.reshape(1, 1, t * z)  # a sequence of single pixels: measure along it


def _cells(planes: np.ndarray, rows: int, columns: int) -> tuple[np.ndarray, ...]:
    """Detail coefficient, mean, lowest and highest pixel of each cell of the cropped
    planes, each shaped (planes, rows, columns)."""
    data = planes.astype(np.float64)
    if planes.shape[1] >= 2:
        a = data[:, 0 : 2 * rows : 2, 0 : 2 * columns : 2]
        b = data[:, 0 : 2 * rows : 2, 1 : 2 * columns : 2]
        c = data[:, 1 : 2 * rows : 2, 0 : 2 * columns : 2]
        d = data[:, 1 : 2 * rows : 2, 1 : 2 * columns : 2]
        lowest = np.minimum(np.minimum(a, b), np.minimum(c, d))
        highest = np.maximum(np.maximum(a, b), np.maximum(c, d))
        return (a - b - c + d) / 2.0, (a + b + c + d) / 4.0, lowest, highest
    a = data[:, :rows, 0 : 2 * columns : 2]
    b = data[:, :rows, 1 : 2 * columns : 2]
    return (a - b) / np.sqrt(2.0), (a + b) / 2.0, np.minimum(a, b), np.maximum(a, b)


def _blocks(cells: np.ndarray, rows: int, columns: int) -> np.ndarray:
    """(planes, R, C) cells as (blocks, rows * columns) values, block by block."""
    n, r, c = cells.shape
    blocked = cells[:, : r // rows * rows, : c // columns * columns]
    blocked = blocked.reshape(n, r // rows, rows, c // columns, columns).transpose(0, 1, 3, 2, 4)
    return blocked.reshape(-1, rows * columns)


def _clipped_ends(sample: np.ndarray) -> tuple[float | None, float | None]:
    """The lowest and the highest value of the channel (of its `sample`) where it is a clip,
    None where it is not.

    An end is clipped when more than CLIPPED_SHARE of the samples sit exactly on it (a
    background cut at 0, saturation): the noise of cells that touch it is cut off, and they
    would read too little of it."""
    low, high = float(sample.min()), float(sample.max())
    return (
        low if np.mean(sample == low) > CLIPPED_SHARE else None,
        high if np.mean(sample == high) > CLIPPED_SHARE else None,
    )


def _censored(lowest: np.ndarray, highest: np.ndarray, ends: tuple[float | None, float | None]) -> np.ndarray:
    """Cells that touch a clipped end of the channel's range (see :func:`_clipped_ends`)."""
    censored = np.zeros(lowest.shape, dtype=bool)
    for end, touches in zip(ends, (lowest, highest), strict=True):
        if end is not None:
            censored |= touches == end
    return censored


def _block_statistics(detail: np.ndarray, mean: np.ndarray, kept: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Mean intensity and robust noise variance (see KEEP) of each row's kept cells."""
    count = kept.sum(axis=1)
    intensity = np.where(kept, mean, 0.0).sum(axis=1) / count
    magnitude = np.sort(np.where(kept, np.abs(detail), np.inf), axis=1)
    used = np.maximum(1, np.round(KEEP * count)).astype(np.int64)
    sums = np.cumsum(np.where(np.isfinite(magnitude), magnitude, 0.0), axis=1)
    trimmed = np.take_along_axis(sums, (used - 1)[:, None], axis=1)[:, 0] / used
    scale = trimmed / np.where(used < count, TRIMMED_ABS_MEAN, np.sqrt(2 / np.pi))
    return intensity, scale * scale


def _blurred(cell_mean: np.ndarray) -> np.ndarray:
    """The 4 x 4 (or 4-sample) means of (planes, rows, columns) cell means, flattened."""
    n, r, c = cell_mean.shape
    if r >= 2 and c >= 2:
        means = cell_mean[:, : r // 2 * 2, : c // 2 * 2].reshape(n, r // 2, 2, c // 2, 2).mean(axis=(2, 4))
    elif c >= 2:
        means = cell_mean[:, :, : c // 2 * 2].reshape(n, r, c // 2, 2).mean(axis=3)
    else:
        means = cell_mean
    flat: np.ndarray = means.ravel()
    return flat


def _low(blurred: list[np.ndarray]) -> float:
    """0.1th percentile of the 4 x 4 means: the dark end of the signal."""
    return float(np.percentile(np.concatenate(blurred), 0.1))


def typical_intensity(samples: np.ndarray) -> float:
    """Median intensity, over the samples above the minimum when most sit at the minimum."""
    values = samples.ravel()
    step = max(1, values.size // 4_000_000)  # a strided subsample keeps large stacks cheap
    values = values[::step]
    median = float(np.median(values))
    floor = float(values.min())
    if median == floor and (values > floor).any():
        median = float(np.median(values[values > floor]))
    return median


def signal_low(channel: np.ndarray) -> float:
    """The dark end of a (T, Z, Y, X) channel's signal: see :attr:`NoiseProfile.low`."""
    planes = _planes(np.asarray(channel))
    _, y, x = planes.shape
    if x < 2:
        return float(planes.min())
    rows = y // 2 if y >= 2 else y
    return _low([_blurred(_cells(planes[group], rows, x // 2)[1]) for group in plane_groups(planes)])


def noise_profile(channel: np.ndarray, median: float | None = None) -> NoiseProfile:
    """Measure how the noise variance of one (T, Z, Y, X) channel depends on intensity
    (`median`: its :func:`typical_intensity`, where the caller has it)."""
    planes = _planes(np.asarray(channel))
    sample = planes.ravel()[:: max(1, planes.size // 1_000_000)]
    floor = float(sample.min())
    empty = NoiseProfile(
        np.empty(0),
        np.empty(0),
        np.empty(0, np.int64),
        low=floor,
        median=typical_intensity(planes) if median is None else median,
        integral=planes.dtype.kind in "biu" or bool(np.all(np.mod(sample, 1) == 0)),
        floor=floor,
        floor_share=float(np.mean(sample == floor)),
    )
    _, y, x = planes.shape
    two_d = y >= 2
    rows, columns = (y // 2 if two_d else y), x // 2
    if columns < 1 or rows < 1:
        return empty
    block_rows = min(BLOCK_CELLS, rows) if two_d else 1
    block_columns = min(BLOCK_CELLS if two_d else BLOCK_CELLS * BLOCK_CELLS, columns)
    ends = _clipped_ends(sample)
    parts = [
        _group_statistics(planes[group], rows, columns, block_rows, block_columns, ends)
        for group in plane_groups(planes)
    ]
    present = replace(empty, **_sorted_blocks(*(np.concatenate([p[0][i] for p in parts]) for i in (0, 1)))).binned(None)
    measured = _sorted_blocks(*(np.concatenate([p[1][i] for p in parts]) for i in (0, 1)))
    return replace(
        empty, low=_low([p[2] for p in parts]), median_variance=_variance_near(present, present.median), **measured
    ).binned(None)


def _group_statistics(
    planes: np.ndarray,
    rows: int,
    columns: int,
    block_rows: int,
    block_columns: int,
    ends: tuple[float | None, float | None],
) -> tuple[tuple[np.ndarray, np.ndarray], tuple[np.ndarray, np.ndarray], np.ndarray]:
    """For a group of planes: the intensity and variance of every block that is not flat,
    the same of every block at least half uncut by a clip (see :func:`_censored`), and the
    4 x 4 means."""
    detail, mean, lowest, highest = _cells(planes, rows, columns)
    blocks = [_blocks(cells, block_rows, block_columns) for cells in (detail, mean, lowest, highest)]
    flat = blocks[2].min(axis=1) == blocks[3].max(axis=1)
    kept = ~_censored(blocks[2], blocks[3], ends)
    valid = ~flat & (2 * kept.sum(axis=1) >= kept.shape[1])  # at least half of a block's cells uncut
    present = _block_statistics(blocks[0][~flat], blocks[1][~flat], np.ones(blocks[0][~flat].shape, bool))
    return present, _block_statistics(blocks[0][valid], blocks[1][valid], kept[valid]), _blurred(mean)


def _variance_near(profile: NoiseProfile, intensity: float, spread: int = 2) -> float:
    """Mean variance of the bins within `spread` bins of the one nearest to `intensity`:
    steadier than one bin."""
    if not profile.measured:
        return 0.0
    nearest = int(np.argmin(np.abs(profile.intensity - intensity)))
    chosen = slice(max(0, nearest - spread), nearest + spread + 1)
    return float(np.average(profile.variance[chosen], weights=profile.blocks[chosen]))


class _SortedBlocks(TypedDict):
    block_intensity: np.ndarray
    block_variance: np.ndarray


def _sorted_blocks(intensity: np.ndarray, variance: np.ndarray) -> _SortedBlocks:
    order = np.argsort(intensity, kind="stable")
    return {"block_intensity": intensity[order], "block_variance": variance[order]}


@dataclass(frozen=True)
class VarianceLine:
    """variance = gain * intensity + offset, fitted to a :class:`NoiseProfile`."""

    gain: float
    offset: float

    def variance(self, intensity: float | np.ndarray) -> np.ndarray:
        return self.gain * np.asarray(intensity, dtype=np.float64) + self.offset

    @property
    def zero(self) -> float:
        """Intensity at which the line predicts no noise (-inf for a flat or falling line)."""
        return -self.offset / self.gain if self.gain > 0 else -np.inf


def fit_line(profile: NoiseProfile) -> VarianceLine | None:
    """The variance line of a profile: fitted to its bins, then again to bins measured
    relative to that first line (see :meth:`NoiseProfile.binned`)."""
    first = _fit_bins(profile)
    if first is None:
        return None
    return _fit_bins(profile.binned(first)) or first


def _fit_bins(profile: NoiseProfile) -> VarianceLine | None:
    """Weighted least-squares line through the profile's bins, errors relative to the variance.

    A bin's variance estimate has a relative error that shrinks with its number of blocks,
    so each bin is weighted by blocks / variance**2 (the variance taken from the previous
    fit, which makes the fit insensitive to the intensity scale). None when fewer than two
    distinct intensities were measured.
    """
    if profile.intensity.size < 2 or np.ptp(profile.intensity) == 0:
        return None
    x, v, n = profile.intensity, profile.variance, profile.blocks.astype(np.float64)
    floor = max(float(v.max()) * 1e-6, np.finfo(np.float64).tiny)
    predicted = np.maximum(v, floor)
    gain = offset = 0.0
    for _ in range(8):
        w = n / predicted**2
        sw, swx, swxx = w.sum(), (w * x).sum(), (w * x * x).sum()
        swy, swxy = (w * v).sum(), (w * x * v).sum()
        det = sw * swxx - swx * swx
        if not det > 0:
            return None
        gain = (sw * swxy - swx * swy) / det
        offset = (swxx * swy - swx * swxy) / det
        predicted = np.maximum(gain * x + offset, floor)
    return VarianceLine(float(gain), float(offset))
