"""Measures of the texture a denoiser leaves on a flat field or a background, each built so
that a Gaussian blur of white noise (of any width) scores about 1 and invented structure
clearly more.

Every measure takes the residual texture ``r = image - trend`` (the trend: the level of a
synthetic flat field, or the input's smooth mean over a real background) of a (D, Y, X) volume
(D: planes or frames, 1 for a plane) and a mask of the samples to judge.

- :func:`periodic_energy` (checkerboards, stripes tied to a grid): the power of ``r``, and of
  ``r**2`` (a variance that changes with the position on the grid), at the frequencies of a
  lattice of periods (the second stage's block steps, the engine's reference grid), averaged
  over windows that start on the lattice, over the power a fit to the frequencies around
  them expects there.
- :func:`burst_energy` (plaid and checkerboard patches, specks, blotches): the fourth moment
  of complex band-pass filters' outputs over the one a Gaussian texture has (exactly 1 for
  any spectrum); the largest over bands at 1/8 to 1/2 cycle per sample.
- :func:`coherence` (streaks, worms, brush strokes): the structure tensor's orientation
  coherence over that of a Gaussian blur of white noise with the same correlation length.
- :func:`axis_ratio` (strokes and dashes along an axis): the energy of neighbour differences
  along Y over that along X, or the reverse.
- :func:`plateau_share` (plateaus, staircases): the share of near-zero gradients over the
  share a Gaussian texture with the same gradient covariance has.
- :func:`border_lines` (lines along the border): the mean square of pieces of the rows and
  columns next to the faces over that of the inner ones.
- :func:`footprint` (what a single bad sample leaves): the area of the change above the
  texture's sd, its ringing of the opposite sign, and its extent along each axis.

:func:`matched_blur` is the Gaussian blur that leaves the same residual sd as the output: the
comparison for every measure.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from scipy import ndimage, special

Volume = npt.NDArray[np.float64]
"""A (D, Y, X) array of samples."""
Mask = npt.NDArray[np.bool_]
"""A (D, Y, X) array: the samples to judge."""
Box = tuple[slice, slice, slice]

#: Side (samples along Y and X) of the windows of :func:`periodic_energy` at least, and of
#: the tiles of :func:`coherence`.
PERIODIC_WINDOW = 24
COHERENCE_TILE = 32
#: A gradient counts as near zero below this share of its rms (:func:`plateau_share`).
FLAT = 0.1
#: Rows next to a face that :func:`border_lines` judges, the distance from both faces from
#: which rows count as inner ones, and the length of the pieces it averages.
BORDER = 4
INNER = 8
SEGMENT = 32


def residual_sd(residual: Volume, mask: Mask) -> float:
    """Standard deviation of the residual over the mask."""
    return float(np.std(residual[mask]))


# ---------------------------------------------------------------- periodic energy


def _lines(shape: tuple[int, int, int], periods: tuple[int, int, int]) -> list[tuple[int, int, int]]:
    """The frequency bins of a window of `shape` that a pattern of `periods` occupies (all
    multiples of shape / period per axis, but the zero frequency)."""
    steps = [n // p for n, p in zip(shape, periods, strict=True)]
    ranges = [range(0, n, s) for n, s in zip(shape, steps, strict=True)]
    return [(a, b, c) for a in ranges[0] for b in ranges[1] for c in ranges[2] if (a, b, c) != (0, 0, 0)]


def _neighbours(
    line: tuple[int, int, int], shape: tuple[int, int, int], lines: set[tuple[int, int, int]]
) -> list[tuple[int, int]]:
    """Offsets (Y, X) within two of `line` (the same bin along D) of bins that are no line and
    not next to the zero frequency (which the window's detrending lowers)."""
    d, y, x = line
    found = []
    for dy in range(-2, 3):
        for dx in range(-2, 3):
            b = (d, (y + dy) % shape[1], (x + dx) % shape[2])
            near_zero = min(b[1], shape[1] - b[1]) <= 1 and min(b[2], shape[2] - b[2]) <= 1
            if (dy, dx) != (0, 0) and b not in lines and not near_zero:
                found.append((dy, dx))
    return found


def lattice_boxes(mask: Mask, periods: tuple[int, int, int]) -> list[Box]:
    """Windows for :func:`periodic_energy`: along Y and X the smallest multiple of both periods
    of at least ``PERIODIC_WINDOW`` samples, along D the longest multiple of its period that
    fits (one plane when the period is 1 or the volume holds fewer than two periods); each
    starts on a multiple of the periods and lies wholly within the mask."""
    depth = mask.shape[0]
    pd, py, px = periods
    cell = math.lcm(py, px)
    side = cell * math.ceil(PERIODIC_WINDOW / cell)
    planes = (depth // pd) * pd if pd > 1 and depth >= 2 * pd else 1
    stride = cell * max(1, round(side / 2 / cell))
    return [box for d0 in range(0, depth - planes + 1, planes) for box in _boxes(mask, d0, planes, side, stride)]


def _boxes(mask: Mask, d0: int, planes: int, side: int, stride: int) -> Iterator[Box]:
    """Windows of `planes` x `side` x `side` from plane `d0`, on a grid of `stride`, wholly in the mask."""
    inside: Mask = np.all(mask[d0 : d0 + planes], axis=0)
    height, width = inside.shape
    for y0 in range(0, height - side + 1, stride):
        for x0 in range(0, width - side + 1, stride):
            if inside[y0 : y0 + side, x0 : x0 + side].all():
                yield slice(d0, d0 + planes), slice(y0, y0 + side), slice(x0, x0 + side)


def _detrended(blocks: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Each of a stack of equal blocks (the first axis) less its least-squares linear trend
    along every axis."""
    shape = blocks.shape[1:]
    grids = np.meshgrid(*(np.arange(n, dtype=np.float64) - (n - 1) / 2 for n in shape), indexing="ij")
    design = np.stack([np.ones(math.prod(shape)), *(g.ravel() for g in grids)], axis=1)
    flat = blocks.reshape(len(blocks), -1)
    trend = (flat @ np.linalg.pinv(design).T) @ design.T
    result: npt.NDArray[np.float64] = (flat - trend).reshape(blocks.shape)
    return result


def _expected(spectrum: Volume, line: tuple[int, int, int], offsets: list[tuple[int, int]]) -> float:
    """The mean of log power at `line` predicted from its neighbours at `offsets` (a quadratic
    in the offsets fitted to their log power; a plane with fewer than 8 of them)."""
    d, y, x = line
    shape = spectrum.shape
    values = np.log([max(float(spectrum[d, (y + dy) % shape[1], (x + dx) % shape[2]]), 1e-300) for dy, dx in offsets])
    dy, dx = np.array(offsets, dtype=np.float64).T
    terms = [np.ones_like(dy), dy, dx] + ([dy * dy, dx * dx, dy * dx] if len(offsets) >= 8 else [])
    coefficients, *_ = np.linalg.lstsq(np.stack(terms, axis=1), values, rcond=None)
    return float(coefficients[0])


def periodic_energy(residual: Volume, mask: Mask, periods: tuple[int, int, int]) -> float:
    """Power at the frequencies of a lattice of `periods` (D, Y, X) over the power expected there.

    The power spectrum is averaged over the K windows of :func:`lattice_boxes` (no taper: a
    pattern that repeats with the lattice falls on single bins), of the detrended residual and
    of its detrended square (a variance that changes with the position on the lattice). The
    power expected at a lattice bin comes from a quadratic fitted to the log power of the bins
    around it, raised by exp(log K - digamma(K)), the mean of a power over that of its log.
    The larger of the two mean ratios over the lattice bins is returned: about 1 for any
    stationary texture, whatever its spectrum; NaN when no window fits in the mask.

    Examples
    --------
    >>> noise = np.random.default_rng(1).standard_normal((1, 96, 96))
    >>> everywhere = np.ones(noise.shape, bool)
    >>> periodic_energy(noise, everywhere, (1, 2, 2)) < 2
    True
    >>> checker = noise + 0.5 * (-1.0) ** np.add.outer(np.arange(96), np.arange(96))[None]
    >>> periodic_energy(checker, everywhere, (1, 2, 2)) > 10
    True
    """
    boxes = lattice_boxes(mask, periods)
    if not boxes:
        return math.nan
    shape = residual[boxes[0]].shape
    lines = _lines(shape, (periods[0] if shape[0] > 1 else 1, periods[1], periods[2]))
    if not lines:
        return math.nan
    blocks = np.stack([residual[box] for box in boxes])
    power = [
        np.sum(np.abs(np.fft.fftn(_detrended(values), axes=(1, 2, 3))) ** 2, axis=0)
        for values in (blocks, blocks * blocks)
    ]
    count = len(boxes)
    bias = math.log(count) - float(special.digamma(count))
    line_set = set(lines)
    scores = []
    for spectrum in power:
        ratios = [
            float(spectrum[line]) / math.exp(_expected(spectrum, line, offsets) + bias)
            for line in lines
            if len(offsets := _neighbours(line, shape, line_set)) >= 4
        ]
        scores.append(float(np.mean(ratios)) if ratios else math.nan)
    return float(np.nanmax(scores))


# ---------------------------------------------------------------- bursts

#: Centre frequencies (cycles per sample along Y, X) of the band-pass filters of
#: :func:`burst_energy`: four orientations at 1/8, 1/4, 3/8 and 1/2 cycle per sample, and the
#: checkerboard's corner; each filter's envelope has an sd of half a period.
BANDS = (
    *(
        (f * math.sin(a), f * math.cos(a))
        for f in (0.125, 0.25, 0.375, 0.5)
        for a in np.deg2rad((0.0, 45.0, 90.0, 135.0))
    ),
    (0.5, 0.5),
)
#: Bands holding less than this share of the strongest band's energy do not count.
WEAK_BAND = 0.05


def _band(shape: tuple[int, int], centre: tuple[float, float]) -> npt.NDArray[np.float64]:
    """Frequency response of a complex Gabor filter on a (Y, X) FFT grid: a Gaussian of sd
    1 / (2 pi s) around `centre` (s, the envelope's sd, is half the period), periodic."""
    f0 = math.hypot(*centre)
    spread = 1.0 / (2.0 * math.pi * (0.5 / f0))
    fy, fx = np.meshgrid(np.fft.fftfreq(shape[0]), np.fft.fftfreq(shape[1]), indexing="ij")
    dy = (fy - centre[0] + 0.5) % 1.0 - 0.5
    dx = (fx - centre[1] + 0.5) % 1.0 - 0.5
    response: npt.NDArray[np.float64] = np.exp(-(dy**2 + dx**2) / (2.0 * spread**2))
    return response


def burst_energy(residual: Volume, mask: Mask) -> float:
    """How much the texture's energy comes in local bursts, relative to a Gaussian texture.

    The residual (0 outside the mask) goes through complex band-pass filters (:data:`BANDS`);
    at the masked samples at least two envelope sds from the mask's edge, the fourth moment
    of each filter's output z over the one a Gaussian texture has, 2 a**2 + |b|**2 with
    a = mean |z|**2 and b = mean z**2, is 1 for a Gaussian texture of any spectrum, and
    larger where the band's energy comes in patches (plaid, checkerboard specks, blotches).
    The largest ratio over the bands that hold at least ``WEAK_BAND`` of the strongest one's
    energy is returned (NaN where no band can be judged).

    Examples
    --------
    >>> rng = np.random.default_rng(2)
    >>> noise = rng.standard_normal((1, 128, 128))
    >>> everywhere = np.ones(noise.shape, bool)
    >>> 0.9 < burst_energy(noise, everywhere) < 1.15
    True
    >>> patch = np.zeros_like(noise)
    >>> patch[0, 40:56, 40:56] = 4.0 * (-1.0) ** np.add.outer(np.arange(16), np.arange(16))
    >>> burst_energy(noise + patch, everywhere) > 3
    True
    """
    filled = np.where(mask, residual, 0.0)
    spectra = np.fft.fft2(filled, axes=(1, 2))
    edge = np.pad(mask, ((0, 0), (1, 1), (1, 1)))
    depth = ndimage.distance_transform_cdt(edge, metric="chessboard")[:, 1:-1, 1:-1]
    energies, ratios = [], []
    for centre in BANDS:
        inner = depth > math.ceil(2 * 0.5 / math.hypot(*centre))
        if inner.sum() < 64:
            continue
        z = np.fft.ifft2(spectra * _band(mask.shape[1:], centre)[None], axes=(1, 2))[inner]
        a = float(np.mean(np.abs(z) ** 2))
        b = abs(complex(np.mean(z * z)))
        if a > 0.0:
            energies.append(a)
            ratios.append(float(np.mean(np.abs(z) ** 4)) / (2.0 * a * a + b * b))
    if not energies:
        return math.nan
    strongest = max(energies)
    return max(r for e, r in zip(energies, ratios, strict=True) if e >= WEAK_BAND * strongest)


# ---------------------------------------------------------------- orientation, steps, borders


def _within(mask: Mask) -> Mask:
    """The samples whose neighbours along Y and X lie in the mask too (forward and back)."""
    inner = mask.copy()
    for axis in (1, 2):
        for shift in (1, -1):
            moved = np.roll(mask, shift, axis=axis)
            edge = [slice(None)] * 3
            edge[axis] = slice(0, 1) if shift == 1 else slice(-1, None)
            moved[tuple(edge)] = False
            inner &= moved
    return inner


def _gradient(volume: Volume) -> tuple[Volume, Volume]:
    """Central differences along Y and X (one-sided at the edges)."""
    gy, gx = np.gradient(volume, axis=(1, 2))
    return np.asarray(gy, dtype=np.float64), np.asarray(gx, dtype=np.float64)


def correlation_length(residual: Volume, mask: Mask) -> float:
    """sqrt(2 var(r) / E|grad r|**2) over the mask (central differences in Y and X): sqrt(2) for
    white noise, about sqrt(2) sigma for white noise blurred with a Gaussian of sigma."""
    gy, gx = _gradient(residual)
    inner = _within(mask)
    energy = float(np.mean(gy[inner] ** 2 + gx[inner] ** 2))
    return math.sqrt(2.0 * float(np.var(residual[inner])) / max(energy, np.finfo(np.float64).tiny))


def _tensor_coherence(tiles: npt.NDArray[np.float64], rho: float) -> float:
    """Mean orientation coherence (lambda1 - lambda2) / (lambda1 + lambda2) of the structure
    tensor of a stack of (Y, X) tiles: products of central differences averaged with a
    Gaussian of `rho` within each tile."""
    gy, gx = _gradient(tiles)

    def smoothed(values: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        result: npt.NDArray[np.float64] = ndimage.gaussian_filter(values, (0.0, rho, rho), mode="reflect")
        return result

    jyy, jxx, jxy = smoothed(gy * gy), smoothed(gx * gx), smoothed(gx * gy)
    spread = np.sqrt((jyy - jxx) ** 2 + 4.0 * jxy**2)
    return float(np.mean(spread / np.maximum(jyy + jxx, np.finfo(np.float64).tiny)))


def _blur_length(sigma: float) -> float:
    """The :func:`correlation_length` of white noise blurred with a Gaussian of `sigma`, from
    the blur's kernel (exact for the sampled kernel and central differences)."""
    half = math.ceil(4.0 * sigma) + 2
    impulse = np.zeros((2 * half + 1, 2 * half + 1))
    impulse[half, half] = 1.0
    kernel = ndimage.gaussian_filter(impulse, sigma) if sigma > 0.0 else impulse
    dy = (np.roll(kernel, -1, 0) - np.roll(kernel, 1, 0)) / 2.0
    dx = (np.roll(kernel, -1, 1) - np.roll(kernel, 1, 1)) / 2.0
    return math.sqrt(2.0 * float(np.sum(kernel**2)) / float(np.sum(dy**2) + np.sum(dx**2)))


def gaussian_twin(count: int, side: int, length: float, rng: np.random.Generator) -> npt.NDArray[np.float64]:
    """`count` tiles of `side` x `side` of white noise blurred with the Gaussian that gives them
    the correlation length `length` (:func:`correlation_length`; none where `length` is at most
    white noise's own, sqrt 2)."""
    low, high = 0.0, 16.0
    if length <= _blur_length(0.0):
        high = 0.0
    for _ in range(30 if high > 0.0 else 0):
        middle = 0.5 * (low + high)
        low, high = (middle, high) if _blur_length(middle) < length else (low, middle)
    sigma = 0.5 * (low + high)
    pad = math.ceil(4.0 * sigma)
    white = rng.standard_normal((count, side + 2 * pad, side + 2 * pad))
    result: npt.NDArray[np.float64] = ndimage.gaussian_filter(white, (0.0, sigma, sigma))
    return result[:, pad : pad + side, pad : pad + side]


def coherence(residual: Volume, mask: Mask) -> float:
    """Orientation coherence of the texture over that of a Gaussian blur of white noise with the
    same correlation length.

    On every ``COHERENCE_TILE`` tile of a plane within the mask (side by side), the mean
    coherence of the structure tensor, integrated over twice the texture's correlation length
    (:func:`correlation_length`; 1.5 to a quarter of the tile), is divided by that of as many
    tiles of its :func:`gaussian_twin`: about 1 for a blur of white noise of any width,
    above 1 where the texture holds streaks, worms or strokes (whether their phases line up
    or their spectrum is a band). NaN when no tile fits.
    """
    side = COHERENCE_TILE
    boxes = [box for d in range(residual.shape[0]) for box in _boxes(mask, d, 1, side, side)]
    if not boxes:
        return math.nan
    length = correlation_length(residual, mask)
    rho = min(side / 4.0, max(1.5, 2.0 * length))
    found = _tensor_coherence(np.concatenate([residual[box] for box in boxes]), rho)
    twin = gaussian_twin(max(len(boxes), 64), side, length, np.random.default_rng(0))
    return found / _tensor_coherence(twin, rho)


def _forward(residual: Volume, mask: Mask) -> tuple[Volume, Volume]:
    """Forward differences along Y and X at the samples whose next neighbours along both lie
    in the mask (the others dropped), as flat arrays."""
    dy = residual[:, 1:, :-1] - residual[:, :-1, :-1]
    dx = residual[:, :-1, 1:] - residual[:, :-1, :-1]
    valid = mask[:, :-1, :-1] & mask[:, 1:, :-1] & mask[:, :-1, 1:]
    return dy[valid], dx[valid]


def axis_ratio(residual: Volume, mask: Mask) -> float:
    """Energy of neighbour differences along Y over that along X, or its inverse when below 1."""
    dy, dx = _forward(residual, mask)
    ratio = float(np.mean(dy**2)) / max(float(np.mean(dx**2)), np.finfo(np.float64).tiny)
    return max(ratio, 1.0 / max(ratio, np.finfo(np.float64).tiny))


def plateau_share(residual: Volume, mask: Mask) -> float:
    """Share of samples whose gradient (forward differences along Y and X) is below ``FLAT``
    times its rms, over the share a Gaussian texture with the same gradient covariance C has
    there (t / (2 sqrt(det C)) for a squared threshold t): about 1 for any Gaussian texture,
    large where the result is flat in places (plateaus, staircases)."""
    dy, dx = _forward(residual, mask)
    threshold = FLAT**2 * float(np.mean(dy**2 + dx**2))
    share = float(np.mean(dy**2 + dx**2 < threshold))
    determinant = float(np.linalg.det(np.cov(np.stack([dy, dx]))))
    if determinant <= 0.0 or threshold <= 0.0:
        return math.nan
    return share / (threshold / (2.0 * math.sqrt(determinant)))


def border_lines(residual: Volume, mask: Mask) -> float:
    """Lines along the border: the mean square of the means of ``SEGMENT``-sample pieces of the
    ``BORDER`` rows (or columns) next to either face of every plane, over that of the pieces of
    the inner rows (``INNER`` or more from both faces); the larger of the two for rows and
    columns. Only pieces wholly in the mask count. About 1 where the border looks like the
    inside (more for a blur that mirrors the image at its edges: its outer rows average fewer
    samples); NaN when nothing can be judged."""
    scores = []
    for axis in (1, 2):
        lines, kept = np.moveaxis(residual, axis, 1), np.moveaxis(mask, axis, 1)
        length, along = lines.shape[1], lines.shape[2] // SEGMENT * SEGMENT
        if length < 2 * INNER + 1 or along == 0:
            continue
        shape = (lines.shape[0], length, along // SEGMENT, SEGMENT)
        means = lines[:, :, :along].reshape(shape).mean(axis=3)
        whole = kept[:, :, :along].reshape(shape).all(axis=3)
        squares = np.where(whole, means**2, np.nan)
        outer = np.concatenate([squares[:, :BORDER], squares[:, -BORDER:]], axis=1)
        inner = squares[:, INNER : length - INNER]
        if np.isfinite(outer).any() and np.isfinite(inner).any() and np.nanmean(inner) > 0.0:
            scores.append(float(np.nanmean(outer)) / float(np.nanmean(inner)))
    return max(scores) if scores else math.nan


# ---------------------------------------------------------------- a single bad sample


@dataclass(frozen=True)
class Footprint:
    """What a bad sample (or a set of them at one position) leaves in a result."""

    area: int
    """Samples whose change exceeds the texture's sd."""
    ringing: float
    """Largest change of the opposite sign to the defect, in units of the texture's sd."""
    extent: tuple[int, int, int]
    """Planes, rows and columns that hold changes above the texture's sd."""
    kept: float
    """Mean change at the bad samples over their own deviation: the share of it left."""


def footprint(change: Volume, defect: Mask, deviation: float, sd: float) -> Footprint:
    """The footprint of a defect from `change`, the result with it less the result without it
    (the same noise), where the defect's samples (`defect`) deviate by `deviation` from what
    they would be; `sd` is the residual sd of the result (the threshold of a visible change)."""
    above = np.abs(change) > sd
    opposite = -np.sign(deviation) * change
    extent = tuple(int(np.count_nonzero(above.any(axis=tuple(a for a in range(3) if a != axis)))) for axis in range(3))
    return Footprint(
        int(np.count_nonzero(above)),
        max(0.0, float(opposite.max())) / sd,
        (extent[0], extent[1], extent[2]),
        float(np.mean(change[defect])) / deviation,
    )


# ---------------------------------------------------------------- the comparison


def blurred(image: Volume, sigma: float, along_depth: bool) -> Volume:
    """A Gaussian blur of `sigma` samples along Y and X, and along D when `along_depth`."""
    if sigma <= 0.0:
        return image.copy()
    depth = sigma if along_depth and image.shape[0] > 1 else 0.0
    result: Volume = ndimage.gaussian_filter(image, (depth, sigma, sigma), mode="reflect")
    return result


def matched_blur(
    noisy: Volume, trend: Volume, mask: Mask, target_sd: float, *, along_depth: bool = True
) -> tuple[Volume, float]:
    """The Gaussian blur of `noisy` whose residual (less `trend`) has the sd `target_sd` over the
    mask, and its sigma: 0 (the input itself) when the input's residual sd is at most
    `target_sd`, else found by bisection on the logarithm of sigma below the sigma (of 0.2 to
    32 samples) that leaves the least residual sd; that one where no blur reaches `target_sd`
    (a wide blur carries objects into the background, and its residual grows again)."""

    def sd_at(sigma: float) -> float:
        return residual_sd(blurred(noisy, sigma, along_depth) - trend, mask)

    if residual_sd(noisy - trend, mask) <= target_sd:
        return noisy.copy(), 0.0
    grid = np.geomspace(0.2, 32.0, 12)
    sds = [sd_at(float(sigma)) for sigma in grid]
    least = int(np.argmin(sds))
    if sds[least] > target_sd:
        return blurred(noisy, float(grid[least]), along_depth), float(grid[least])
    first = next(k for k in range(least + 1) if sds[k] <= target_sd)
    low, high = math.log(grid[max(first - 1, 0)]), math.log(grid[first])
    for _ in range(12):
        middle = 0.5 * (low + high)
        if sd_at(math.exp(middle)) > target_sd:
            low = middle
        else:
            high = middle
    sigma = math.exp(0.5 * (low + high))
    return blurred(noisy, sigma, along_depth), sigma


#: The measures of :func:`measures`, in the order they are printed.
MEASURES = ("periodic stage", "periodic grid", "burst", "coherence", "axis", "plateau", "border")


def measures(
    image: Volume, trend: Volume, mask: Mask, stage: tuple[int, int, int], grid: tuple[int, int, int]
) -> dict[str, float]:
    """Every measure of the texture of `image` (less `trend`, and less the mean of that over the
    mask) over the mask, by name (:data:`MEASURES`); `stage` and `grid` are the periods
    (D, Y, X) of the second stage's block steps and of the engine's reference grid."""
    r = image - trend
    r -= float(np.mean(r[mask]))
    return {
        "periodic stage": periodic_energy(r, mask, stage),
        "periodic grid": periodic_energy(r, mask, grid),
        "burst": burst_energy(r, mask),
        "coherence": coherence(r, mask),
        "axis": axis_ratio(r, mask),
        "plateau": plateau_share(r, mask),
        "border": border_lines(r, mask),
    }
