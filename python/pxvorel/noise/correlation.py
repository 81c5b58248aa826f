"""Spatially correlated noise: its correlation, measured in the image, and the filters that
make it white for the denoiser and colour the result back.

Cameras that resample, bin or filter on board, and the detectors of scanning microscopes
(their bandwidth along the scan line), make the noise of neighbouring pixels correlate. The
probes that measure the noise level (differences of neighbouring pixels, 2 x 2 details, a
Laplacian) see only part of such noise: its power at high frequencies. With a neighbour
correlation of 0.6 along X and Y they see about 0.4 of its sd, and the denoiser, told that
level, leaves the rest, which looks like blotches a few pixels across, in place.

The correlation is measured once per channel in the stabilised image (unit noise as the
white model sees it), in square blocks of its (Y, X) planes (BLOCKS). Each block, less a
fitted polynomial surface (a smooth local signal, see DEGREE), gives its autocovariance at
lags 0 to LAGS along Y and X (lags of either sign along X averaged, so that the filters below
are symmetric) and the variance of the probe the model's level came from. Signal only adds covariance, mostly where
the image is bright, so the estimate is the median, lag by lag, over the darker half of the
blocks that are not flat: for Gaussian noise a block's mean is independent of its
covariances, so this choice of blocks does not bias them. The median ratio of a block's
variance to its probe's is the factor by which the model's variance is raised to the
per-pixel variance. A correlation counts only where it is strong (NEGLIGIBLE) and the same
in all these blocks, as noise is (HOMOGENEITY); signal, which also correlates neighbours, is
neither. It also counts where it lies along one axis alone and falls off fast with the lag
(ALONG_ONE), as the noise of a scanning microscope's lines does and texture does not; the
lines being independent, it is then whitened along that axis only.

Between neighbouring slices of a stack, the correlation is that of the 2 x 2 details of the
same blocks in consecutive slices: neighbouring slices share their signal (the optics image
a point over several), but hardly at the highest in-plane frequencies.

The run whitens each noisy channel after its stabilising transform: the planes go to the
type-II discrete cosine transform (the transform of the plane mirrored at its edges), are
divided by the root of the noise spectrum and come back; the denoised result is multiplied
by it instead. The spectrum is the cosine series of the correlations, tapered by a Hann
window. Whitening and colouring are exact inverses, so that a sample the denoiser leaves
alone comes back as it was.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Literal

import numpy as np
import numpy.typing as npt

from pxvorel.core.slabs import in_slabs

#: Sides of the square blocks the correlation is measured in (the first whose darker half
#: covers MIN_BLOCKS positions), and the largest lag measured,
#: along Y and X (a quarter of the block at most). The correlation of a camera's noise reaches
#: further than a few pixels: on real widefield camera captures lags up to 12 in
#: blocks of 48 gain 0.2 dB over lags up to 8 in blocks of 32 (16 in 64: 0.1 dB more on one).
BLOCKS = (48, 32, 16)
LAGS = 12
#: Positions in the plane needed at least among the darker half of the blocks (the spread
#: of their ratios, below, needs that many), and blocks used at most (evenly spread over them).
MIN_BLOCKS = 16
MAX_BLOCKS = 512
#: Share of the non-flat blocks, the darkest, the correlation is measured in.
DARK_SHARE = 0.5
#: Planes measured at most (evenly spaced).
MAX_PLANES = 48
#: A correlation between neighbours below this along every axis counts as none (the model
#: stays white), unless it lies along one axis alone (ALONG_ONE). Texture and haze in the
#: darker blocks read as correlation too, and whitening would smooth them away as noise:
#: after a cubic surface, up to 0.26 on the real images we measured that
#: are not dominated by haze (the two-photon actin pair, whose noise correlates by 0.06,
#: reads 0.23 along X and 0.18 along Y, and lost 1.2 dB against its clean image when
#: whitened). The widefield camera pairs read 0.62.
NEGLIGIBLE = 0.4
#: Noise is the same everywhere in the stabilised image, signal is not: a correlation counts
#: only where the blocks' ratios of per-pixel to probe variance scatter (interquartile range
#: over median) about as much as they do in simulated Gaussian noise of that correlation:
#: within this many standard errors of the two scatters (an interquartile range of n values
#: has a relative standard error of about 1.2 / sqrt(n)), and at least within MIN_EXCESS
#: times. On the synthetic images of the benchmarks and on real microscope images,
#: normal noise scatters 0.9 to 1.6 times as much, the widefield pairs' camera noise 1.0 and
#: 1.4 times (50 blocks: at most 1.57 allowed); the white-noise images that read 0.4 or more
#: (haze, out-of-focus light) 2.3 to 3.8 times.
HOMOGENEITY = 3.0
MIN_EXCESS = 1.5
#: Blocks of simulated noise the scatter of pure noise is measured on (a square number).
SIMULATED = 196
#: Noise that correlates along one axis only: a scanning microscope's detector and
#: amplifier bandwidth, or a filter along its scan lines, make neighbours along the line
#: correlate while the lines themselves, scanned one after another, stay independent. Texture
#: and haze correlate neighbours along both axes alike, so a correlation of at least
#: ALONG_ONE between neighbours along one axis (the stronger) with at most ACROSS along the
#: other (the weaker, in absolute value) is the noise's, even where it is below NEGLIGIBLE
#: or the blocks' ratios scatter more than normal noise would (clipping: a dim confocal
#: image with most of its background at 0 scatters 3 to 4 times as much). Structure drawn
#: out along that axis correlates too, but it decays slowly with the lag (smooth signal keeps
#: 0.85 to 0.9 of its neighbour correlation at lag 2 on the real images): along the stronger
#: axis the correlation at lag 2 must be at most DECAY times that at lag 1. Lags across the
#: lines are then taken as 0: the whitening filters along the lines only. The real confocal
#: images of dim mitochondria and of microtubules read 0.35 and 0.29 along X, 0.00 and 0.05
#: along Y, below 0.05 at lag 2 (the true noise of the mitochondria pair: 0.32 along X, 0.02
#: along Y); the other real images read below ALONG_ONE along both axes or at least 0.12
#: along the weaker (only the spots stack's channels also read 0.19 along X alone: measured
#: variance curves, which stay white).
ALONG_ONE = 0.15
ACROSS = 0.1
DECAY = 0.6
#: The spectrum is kept above this share of its mean (1): whitening raises no frequency
#: by more than a factor of 4.5 in amplitude (a lower floor lets the estimate's error at
#: the frequencies where a camera's noise has almost no power dominate: 0.001 loses 0.8 dB
#: on the widefield nuclei pair against 0.05).
SPECTRUM_FLOOR = 0.05

#: The probe a model's level came from: 2 x 2 diagonal details of cells (the line fit), or
#: the Laplacian residual (the noise of the recorded samples).
Probe = Literal["cells", "laplacian"]
#: A channel's stabilising transform: intensities to unit noise (float64).
Forward = Callable[[np.ndarray], npt.NDArray[np.float64]]


@dataclass(frozen=True)
class NoiseCorrelation:
    """The spatial correlation of one channel's noise, in its stabilised (unit-noise) domain.

    Parameters
    ----------
    lags : sequence of sequences of float
        ``lags[dy][dx]``: the correlation of the noise at pixels ``dy`` rows and ``dx``
        columns apart (either sign of ``dx``), for ``dy, dx = 0 .. L``; ``lags[0][0]`` is 1.
    z : float, optional
        The correlation between neighbouring planes of a stack (0: none).
    level : float, optional
        The per-pixel noise variance relative to the variance the white model's probe
        measured: the factor by which the model's variance was raised (1 for a correlation
        given by hand with the model's level already per pixel).

    Examples
    --------
    >>> from pxvorel.noise.correlation import NoiseCorrelation
    >>> c = NoiseCorrelation(((1.0, 0.5), (0.4, 0.2)))
    >>> c.neighbour("X"), c.neighbour("Y"), c.neighbour("Z")
    (0.5, 0.4, 0.0)
    """

    lags: tuple[tuple[float, ...], ...]
    z: float = 0.0
    level: float = 1.0

    def __post_init__(self) -> None:
        lags = tuple(tuple(float(v) for v in row) for row in self.lags)
        if not lags or any(len(row) != len(lags) for row in lags):
            raise ValueError("a noise correlation needs a square table of lags (rows: Y, columns: X)")
        if lags[0][0] != 1.0 or not all(math.isfinite(v) and abs(v) <= 1.0 for row in lags for v in row):
            raise ValueError("noise correlations must be finite, within [-1, 1], and 1 at lag 0")
        if not (math.isfinite(self.z) and abs(self.z) < 1.0 and math.isfinite(self.level) and self.level > 0):
            raise ValueError("the correlation along Z must be within (-1, 1) and the level factor > 0")
        object.__setattr__(self, "lags", lags)
        object.__setattr__(self, "z", float(self.z))
        object.__setattr__(self, "level", float(self.level))

    @property
    def reach(self) -> int:
        """The largest lag along Y and X the correlation is known at."""
        return len(self.lags) - 1

    def reach_along(self, axis: str) -> int:
        """Samples along `axis` ("T", "Z", "Y" or "X") beyond which whitening and colouring
        back hardly change a sample (a part of an image, whitened on its own, reaches that far
        beyond the samples it keeps; none along an axis the noise does not correlate along,
        such as across independent scan lines)."""
        table = np.asarray(self.lags)
        if axis in ("Y", "X"):
            along = table[1:] if axis == "Y" else table[:, 1:]
            return 4 * self.reach if np.any(along) else 0
        return 16 if axis == "Z" and self.z != 0.0 else 0

    def neighbour(self, axis: str) -> float:
        """The correlation between neighbouring pixels along "X", "Y" or "Z"."""
        if axis == "Z":
            return self.z
        if self.reach < 1:
            return 0.0
        return self.lags[0][1] if axis == "X" else self.lags[1][0]

    def spectrum(self, rows: int, columns: int, depth: int = 1) -> npt.NDArray[np.float64]:
        """The noise power at the frequencies of the type-II DCT of a (depth, rows, columns)
        array, k / (2 n) for k < n along each axis (mean 1 over all frequencies of an
        unbounded plane), kept above SPECTRUM_FLOOR."""
        return self._power((depth, rows, columns), (depth, rows, columns))

    def _power(self, sizes: tuple[int, int, int], counts: tuple[int, int, int]) -> npt.NDArray[np.float64]:
        """The spectrum at k / (2 n) for k < count, per axis (Z, Y, X) of n = sizes."""
        table = np.asarray(self.lags, dtype=np.float64)
        lag = np.arange(self.reach + 1, dtype=np.float64)
        taper = 0.5 * (1.0 + np.cos(np.pi * lag / (self.reach + 1)))
        weights = np.where(lag == 0, 1.0, 2.0) * taper

        def cosines(n: int, count: int) -> npt.NDArray[np.float64]:
            frequency = np.arange(count, dtype=np.float64) / (2.0 * n)
            return np.asarray(np.cos(2.0 * np.pi * frequency[:, None] * lag[None, :]) * weights[None, :])

        plane = cosines(sizes[1], counts[1]) @ table @ cosines(sizes[2], counts[2]).T
        along_z = 1.0 + 2.0 * self.z * np.cos(np.pi * np.arange(counts[0]) / sizes[0])
        return np.asarray(np.maximum(along_z[:, None, None] * plane[None], SPECTRUM_FLOOR))

    def _filtered(self, stack: np.ndarray, exponent: float) -> npt.NDArray[np.float64]:
        """A (T, Z, Y, X) array filtered by spectrum**exponent, plane by plane (and along Z
        where the noise correlates between planes).

        The filter is even, so filtering the array mirrored at its edges (period 2 n per
        axis) by the discrete Fourier transform is filtering it in its type-II DCT, which
        makes the inverse filter exact."""
        frames, depth, rows, columns = stack.shape
        along_z = self.z != 0.0 and depth > 1
        axes = (-3, -2, -1) if along_z else (-2, -1)
        gain = (
            self._power((depth if along_z else 1, rows, columns), (2 * depth if along_z else 1, 2 * rows, columns + 1))
            ** exponent
        )
        if not along_z:
            gain = gain[0]
        out = np.empty(stack.shape, dtype=np.float64)
        parts = (
            [(t, slice(None)) for t in range(frames)]
            if along_z
            else [(t, z) for t in range(frames) for z in range(depth)]
        )
        for t, z in parts:
            part = stack[t, z].astype(np.float64)
            for axis in axes:
                part = np.concatenate([part, np.flip(part, axis=axis)], axis=axis)
            shape = [part.shape[a] for a in axes]
            filtered = np.fft.irfftn(np.fft.rfftn(part, axes=axes) * gain, s=shape, axes=axes)
            keep: tuple[slice, ...] = tuple(slice(0, n // 2) for n in shape)
            out[t, z] = filtered[(slice(None),) * (filtered.ndim - len(keep)) + keep]
        return out

    def whiten(self, stack: np.ndarray) -> npt.NDArray[np.float64]:
        """A (T, Z, Y, X) array of this noise (unit variance per pixel) made white."""
        return self._filtered(stack, -0.5)

    def colour(self, stack: np.ndarray) -> npt.NDArray[np.float64]:
        """The inverse of :meth:`whiten`."""
        return self._filtered(stack, 0.5)

    def probe_share(self, probe: Probe) -> float:
        """The share of the per-pixel variance that `probe` sees of noise of this correlation."""
        rho = np.zeros((3, 3))
        n = min(self.reach, 2)
        rho[: n + 1, : n + 1] = np.asarray(self.lags)[: n + 1, : n + 1]
        if probe == "cells":
            return float(1.0 - rho[0, 1] - rho[1, 0] + rho[1, 1])
        return float(1.0 + (rho[0, 2] + rho[2, 0] + 4.0 * rho[1, 1]) / 10.0 - 0.8 * (rho[0, 1] + rho[1, 0]))

    def describe(self) -> str:
        """A few words: the neighbour correlations and how much the per-pixel sd exceeds the probe's."""
        along = f"X {self.neighbour('X'):.2f}, Y {self.neighbour('Y'):.2f}"
        if self.z != 0.0:
            along += f", Z {self.z:.2f}"
        text = f"spatially correlated noise (neighbours {along})"
        if self.level != 1.0:
            text += f", per-pixel sd {math.sqrt(self.level):.3g} x the neighbour-difference sd"
        return text

    def to_dict(self) -> dict[str, object]:
        return {"lags": [list(row) for row in self.lags], "z": self.z, "level": self.level}


def _planes_of(channel: np.ndarray, forward: Forward) -> npt.NDArray[np.float64]:
    """The (Y, X) planes of a (T, Z, Y, X) channel, at most MAX_PLANES evenly spaced, stabilised."""
    t, z, y, x = channel.shape
    planes = channel.reshape(t * z, y, x)
    if planes.shape[0] > MAX_PLANES:
        planes = planes[np.linspace(0, planes.shape[0] - 1, MAX_PLANES).round().astype(int)]
    stabilised = np.empty(planes.shape, dtype=np.float64)
    in_slabs(forward, planes[None], stabilised[None])
    return stabilised


def _blocks(planes: np.ndarray, side: int) -> np.ndarray:
    """(planes, Y, X) cut into (planes, rows, columns, side, side) blocks."""
    n, y, x = planes.shape
    rows, columns = y // side, x // side
    return planes[:, : rows * side, : columns * side].reshape(n, rows, side, columns, side).transpose(0, 1, 3, 2, 4)


#: Degree of the polynomial surface removed from each block as its smooth local signal: for
#: the correlation the model takes, a plane, which leaves the noise's own correlation at long
#: lags (a cubic removes some of it too: 0.15 to 0.3 dB lost on the widefield pairs); for the
#: decision whether it counts, a cubic, which removes more of a smooth signal (blob tails,
#: haze: a synthetic white-noise stack of blobs read 0.73 after a plane, 0.37 after a cubic in
#: blocks of 48; the widefield pairs' 0.63 stays).
DEGREE, ROBUST_DEGREE = 1, 3


@functools.lru_cache(maxsize=2 * len(BLOCKS))
def _surfaces(side: int, degree: int) -> npt.NDArray[np.float64]:
    """An orthonormal basis (side * side, terms) of the polynomial surfaces of `degree` on a
    side x side block (made once per process, block side and degree; read only)."""
    ramp = np.linspace(-1.0, 1.0, side)
    y, x = np.meshgrid(ramp, ramp, indexing="ij")
    basis = np.stack([(y**i * x**j).ravel() for i in range(degree + 1) for j in range(degree + 1 - i)], axis=1)
    orthonormal, _ = np.linalg.qr(basis)
    orthonormal.flags.writeable = False
    return orthonormal


def _detrended(blocks: np.ndarray, degree: int) -> npt.NDArray[np.float64]:
    """(N, side, side) blocks less their least-squares polynomial surfaces of `degree`."""
    orthonormal = _surfaces(blocks.shape[-1], degree)
    data = blocks.reshape(blocks.shape[0], -1).astype(np.float64, copy=False)
    residual = (data @ orthonormal) @ orthonormal.T
    return np.asarray(np.subtract(data, residual, out=residual).reshape(blocks.shape))


def _autocovariance(residual: npt.NDArray[np.float64], lags: int) -> npt.NDArray[np.float64]:
    """(N, lags + 1, lags + 1) autocovariances at (dy, dx) of (N, side, side) blocks, the
    two signs of dx averaged."""
    side = residual.shape[-1]
    padded = side + lags  # no lag up to `lags` wraps around
    power = np.abs(np.fft.rfft2(residual, s=(padded, padded))) ** 2
    circular = np.fft.irfft2(power, s=(padded, padded))
    positive = circular[:, : lags + 1, : lags + 1]
    negative = circular[:, : lags + 1, [0, *range(padded - 1, padded - 1 - lags, -1)]]
    overlap = np.arange(side, side - lags - 1, -1, dtype=np.float64)
    return np.asarray(0.5 * (positive + negative) / (overlap[:, None] * overlap[None, :]))


def _cell_details(blocks: np.ndarray) -> npt.NDArray[np.float64]:
    """(N, side / 2, side / 2) diagonal details (a - b - c + d) / 2 of the 2 x 2 cells of blocks."""
    data = blocks.astype(np.float64, copy=False)
    return np.asarray((data[:, 0::2, 0::2] - data[:, 0::2, 1::2] - data[:, 1::2, 0::2] + data[:, 1::2, 1::2]) / 2.0)


def _probe_variance(blocks: np.ndarray, probe: Probe) -> npt.NDArray[np.float64]:
    """Per block, the mean square of the probe (unit gain for white noise)."""
    if probe == "cells":
        return np.asarray(np.mean(_cell_details(blocks) ** 2, axis=(1, 2)))
    data = blocks.astype(np.float64, copy=False)
    # in place, term by term: one block-sized temporary
    laplacian = 4.0 * data[:, 1:-1, 1:-1]
    for neighbour in (data[:, :-2, 1:-1], data[:, 2:, 1:-1], data[:, 1:-1, :-2], data[:, 1:-1, 2:]):
        laplacian -= neighbour
    return np.asarray(np.mean(np.square(laplacian, out=laplacian), axis=(1, 2)) / 20.0)


def _chosen(planes: np.ndarray) -> tuple[np.ndarray, np.ndarray, int] | None:
    """The darker half (DARK_SHARE) of the non-flat blocks of the first side in BLOCKS whose
    darker half covers MIN_BLOCKS positions (at most MAX_BLOCKS, evenly spread), their indices
    (plane by plane, row by row) and the block side; None when no side gives enough."""
    for side in BLOCKS:
        if planes.shape[1] < side or planes.shape[2] < side:
            continue
        cut = _blocks(planes, side)
        flat = cut.reshape(-1, side, side)
        spread = np.ptp(flat.reshape(flat.shape[0], -1), axis=1)
        usable = np.flatnonzero(spread > 0)
        count = int(usable.size * DARK_SHARE)
        means = flat.mean(axis=(1, 2))[usable]
        dark = usable[np.argsort(means, kind="stable")[:count]]
        # blocks at one position in several planes share their signal: the positions count
        if np.unique(dark % (cut.shape[1] * cut.shape[2])).size < MIN_BLOCKS:
            continue
        if dark.size > MAX_BLOCKS:
            dark = dark[np.linspace(0, dark.size - 1, MAX_BLOCKS).round().astype(int)]
        return flat[dark], dark, side
    return None


def measure_correlation(
    channel: np.ndarray, forward: Forward, probe: Probe, stack: bool = False
) -> NoiseCorrelation | None:
    """The noise correlation of one (T, Z, Y, X) channel, or None when it is negligible
    (below NEGLIGIBLE between neighbours along every axis, or not the same in every block:
    see HOMOGENEITY; and not along one axis alone: see ALONG_ONE) or cannot be measured
    (its darker half of blocks of the smallest side at fewer than MIN_BLOCKS positions).

    `forward` is the white model's stabilising transform (measured in its unit noise),
    `probe` the probe that model took its level from; `stack` says whether the channel's Z
    axis holds the slices of a stack.

    Examples
    --------
    >>> rng = np.random.default_rng(0)
    >>> white = rng.normal(size=(1, 1, 256, 256))
    >>> same = lambda values: values
    >>> measure_correlation(white, same, "cells") is None
    True
    >>> blotchy = white + np.roll(white, 1, axis=-1)      # neighbours along X share half their noise
    >>> c = measure_correlation(blotchy / np.sqrt(2.0), same, "cells")
    >>> round(c.neighbour("X"), 1), abs(round(c.neighbour("Y"), 1))
    (0.5, 0.0)
    """
    planes = _planes_of(channel, forward)
    chosen = _chosen(planes)
    if chosen is None:
        return None
    blocks, index, side = chosen
    lags = min(LAGS, side // 4)
    robust = _autocovariance(_detrended(blocks, ROBUST_DEGREE), lags)
    noisy = robust[:, 0, 0] > 0  # a block that is a polynomial surface has no noise to measure
    if np.count_nonzero(noisy) < MIN_BLOCKS:
        return None
    blocks, index, robust = blocks[noisy], index[noisy], robust[noisy]
    robust_correlation = np.median(robust / robust[:, :1, :1], axis=0)
    along_z = _between_planes(channel, forward, side, index) if stack and channel.shape[1] > 1 else 0.0
    strong = max(robust_correlation[0, 1], robust_correlation[1, 0], along_z) >= NEGLIGIBLE
    along = along_one_axis(robust_correlation)
    if not strong and along is None:
        return None
    probe_variance = np.maximum(_probe_variance(blocks, probe), 1e-300)
    covariance = _autocovariance(_detrended(blocks, DEGREE), lags)
    variance = covariance[:, 0, 0]
    correlation = np.median(covariance / variance[:, None, None], axis=0)
    correlation[0, 0] = 1.0
    error = 1.2 * math.sqrt(1.0 / len(blocks) + 1.0 / SIMULATED)
    allowed = max(MIN_EXCESS, 1.0 + HOMOGENEITY * error)
    if not strong or _scatter(robust[:, 0, 0] / probe_variance) > allowed * _noise_scatter(correlation, side, probe):
        if along is None:
            return None
        # independent lines: no correlation across them
        if along == "X":
            correlation[1:, :] = 0.0
        else:
            correlation[:, 1:] = 0.0
    level = float(np.median(variance / probe_variance))
    return NoiseCorrelation(
        tuple(map(tuple, np.clip(correlation, -1.0, 1.0).tolist())),
        z=along_z if along_z >= NEGLIGIBLE else 0.0,
        level=max(level, 1.0),
    )


def along_one_axis(correlation: npt.NDArray[np.float64]) -> Literal["X", "Y"] | None:
    """The axis ("X" or "Y") along which alone a measured correlation table (``[dy, dx]``,
    lags 0 to at least 2) shows the noise of independent lines (ALONG_ONE, ACROSS, DECAY),
    or None."""
    x, y = correlation[0, 1:3], correlation[1:3, 0]
    axis: Literal["X", "Y"] = "X" if x[0] >= y[0] else "Y"
    strong, weak = (x, y) if axis == "X" else (y, x)
    if strong[0] >= ALONG_ONE and abs(weak[0]) <= ACROSS and strong[1] <= DECAY * strong[0]:
        return axis
    return None


def _scatter(ratios: npt.NDArray[np.float64]) -> float:
    """Interquartile range over median (infinite for a median at or below 0)."""
    low, middle, high = np.quantile(ratios, [0.25, 0.5, 0.75])
    return float((high - low) / middle) if middle > 0 else math.inf


def _noise_scatter(correlation: npt.NDArray[np.float64], side: int, probe: Probe) -> float:
    """The scatter (:func:`_scatter`) of the ratio of block to probe variance that Gaussian
    noise of `correlation` (at lags (dy, dx) >= 0) shows in blocks of side x side pixels less
    their cubic surfaces: measured on SIMULATED blocks of such noise (a fixed seed)."""
    size = math.isqrt(SIMULATED) * side
    clipped = np.clip(correlation, -0.99, 0.99)
    clipped[0, 0] = 1.0
    lags = tuple(map(tuple, clipped.tolist()))
    # periodic noise of that spectrum, at the frequencies k / size of its discrete Fourier transform
    gain = np.sqrt(NoiseCorrelation(lags)._power((1, size // 2, size // 2), (1, size, size // 2 + 1))[0])
    # the simulation's arrays freed once used: its size does not follow the image's
    noise = np.fft.irfft2(_white_spectrum(size) * gain, s=(size, size))
    del gain
    blocks = _blocks(noise[None], side).reshape(-1, side, side)
    del noise
    residual = _detrended(blocks, ROBUST_DEGREE)
    energy = np.mean(np.square(residual, out=residual), axis=(1, 2))
    del residual
    return _scatter(energy / np.maximum(_probe_variance(blocks, probe), 1e-300))


@functools.lru_cache(maxsize=len(BLOCKS))
def _white_spectrum(size: int) -> npt.NDArray[np.complex128]:
    """The Fourier transform of a size x size plane of white Gaussian noise of a fixed seed:
    the same for every channel, so made once per process and block side (read only)."""
    spectrum = np.fft.rfft2(np.random.default_rng(0).standard_normal((size, size)))
    spectrum.flags.writeable = False
    return spectrum


def _between_planes(channel: np.ndarray, forward: Forward, side: int, index: np.ndarray) -> float:
    """The median correlation between consecutive slices of a (T, Z, Y, X) stack of the
    2 x 2 details at the chosen blocks' positions (smooth signal, shared by neighbouring
    slices, has almost none; separable noise correlates there as it does in every band)."""
    t, z, y, x = channel.shape
    rows, columns, half = y // side, x // side, side // 2
    positions = np.unique(index % (rows * columns))
    pairs = np.linspace(0, t * (z - 1) - 1, min(t * (z - 1), MAX_PLANES)).round().astype(int)
    values = []
    for k in pairs:
        frame, first = divmod(int(k), z - 1)
        details = _cell_details(forward(channel[frame, first : first + 2, : rows * side, : columns * side]))
        cells = details.reshape(2, rows, half, columns, half).transpose(0, 1, 3, 2, 4).reshape(2, -1, half * half)
        a, b = cells[0][positions], cells[1][positions]
        norm = np.sqrt(np.sum(a * a, axis=1) * np.sum(b * b, axis=1))
        keep = norm > 0
        values.append(np.sum(a * b, axis=1)[keep] / norm[keep])
    joined = np.concatenate(values) if values else np.empty(0)
    return float(np.median(joined)) if joined.size else 0.0
