"""The images the texture figure judges, and the part of each that it judges.

Synthetic flat fields (the clean image is one level, so all of it is background and the trend
is that level): Poisson counts at 0.1, 1 and 10 photons per pixel, sparse counts over a camera
offset, a background clipped at 0 after the offset was taken off, and camera noise correlated
between neighbours (as in widefield captures), on 384 x 384 planes (large enough for the
default call's choice of settings on tiles); a 16 x 128 x 128 stack and time-lapse, where the
search runs along Z or T. Single bad pixels in a flat background of 20 photons: a hot and a
dead pixel in a plane and a pixel that flickers along Z in a stack, each with the same noise
without the defect beside it.

Real images (``../shared/data`` beside the checkout; absent files are skipped): every noisy
image, cropped around its centre (planes to 512 x 512, stacks and time-lapses to 12 planes or
frames of 160 x 160) so that the figure runs in about a minute. Their background (see
:func:`background`) is the darkest part of a wide blur, kept away from objects.
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt
from scipy import ndimage

import pxvorel
from benchmarks import data
from benchmarks.quality.texture import Mask, Volume

DATA = data.DATA

#: Sides of the synthetic planes and of the stack's and time-lapse's planes, and their depth.
PLANE = 384
SMALL = 128
DEPTH = 16
#: The real images judged, with their axes: the noisy ones (their clean partners are left out).
REAL = tuple(image for image in data.REAL if "_highsnr_" not in image.file and "_avg50_" not in image.file)
#: Largest crop of a real plane, and of the planes and depth of a real stack or time-lapse.
REAL_PLANE = 512
REAL_SMALL = 160
REAL_DEPTH = 12
#: Background of a real image: where a blur of this sd (samples, along Y and X) is in this
#: darkest share of the image, shrunk by this many samples away from the rest.
BACKGROUND_BLUR = 8.0
BACKGROUND_SHARE = 0.35
BACKGROUND_MARGIN = 4
#: sd (samples along Y and X) of the weighted mean over the background that serves as a real
#: background's trend.
TREND_BLUR = 16.0


@dataclass(frozen=True)
class Defect:
    """Bad samples of an image: where they are, in the image's own axes, and their values."""

    where: tuple[tuple[int, ...], ...]
    values: tuple[float, ...]

    def applied(self, image: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
        """A copy of `image` with the bad samples."""
        result = image.copy()
        for index, value in zip(self.where, self.values, strict=True):
            result[index] = value
        return result


@dataclass(frozen=True)
class Case:
    """An image to denoise and judge: a synthetic flat field (`flat`), one with a defect beside
    it, or a real image."""

    name: str
    image: npt.NDArray[np.float32]
    axes: str
    flat: bool = False
    defect: Defect | None = None


def _rng(seed: int) -> np.random.Generator:
    return np.random.default_rng(seed)


def flat_cases() -> list[Case]:
    """The synthetic flat fields."""
    plane = (PLANE, PLANE)
    cases = [
        Case(f"flat Poisson {photons:g} photons", _rng(k).poisson(photons, plane).astype(np.float32), "YX", True)
        for k, photons in enumerate((0.1, 1.0, 10.0))
    ]
    sparse = 100.0 + 10.0 * _rng(3).poisson(0.2, plane) + _rng(4).normal(0.0, 1.5, plane)
    cases.append(Case("flat sparse counts over offset 100", np.round(sparse).astype(np.float32), "YX", True))
    raw = _rng(5).poisson(2.0, plane) + _rng(6).normal(0.0, 3.0, plane) - 2.0
    clipped = np.clip(np.round(raw), 0.0, None).astype(np.float32)
    cases.append(Case("flat clipped at 0 (2 photons, read noise 3)", clipped, "YX", True))
    counts = 2.0 * _rng(7).poisson(5.0, plane) + _rng(8).normal(0.0, 2.0, plane)
    noise = ndimage.gaussian_filter(counts - 10.0, 0.65, mode="wrap")
    correlated = 100.0 + noise * (np.std(counts) / np.std(noise))
    cases.append(
        Case("flat correlated camera noise (neighbours 0.55)", np.round(correlated).astype(np.float32), "YX", True)
    )
    volume = (DEPTH, SMALL, SMALL)
    cases.append(Case("flat stack Poisson 1 photon", _rng(9).poisson(1.0, volume).astype(np.float32), "ZYX", True))
    cases.append(
        Case("flat time-lapse Poisson 1 photon", _rng(10).poisson(1.0, volume).astype(np.float32), "TYX", True)
    )
    return cases


def defect_cases() -> list[Case]:
    """A hot and a dead pixel in a plane of 20 photons per pixel, and a pixel that is hot in
    six of 16 planes of a stack; each image holds the noise without the defect."""
    plane = _rng(11).poisson(20.0, (PLANE, PLANE)).astype(np.float32)
    middle = (PLANE // 2, PLANE // 2)
    stack = _rng(12).poisson(20.0, (DEPTH, 64, 64)).astype(np.float32)
    flicker = tuple((z, 32, 32) for z in (2, 3, 7, 10, 11, 14))
    return [
        Case("hot pixel (+200) on 20 photons", plane, "YX", True, Defect((middle,), (220.0,))),
        Case("dead pixel (0) on 20 photons", plane, "YX", True, Defect((middle,), (0.0,))),
        Case(
            "pixel flickering along Z (+150) on 20 photons",
            stack,
            "ZYX",
            True,
            Defect(flicker, (170.0,) * len(flicker)),
        ),
    ]


def real_cases(folder: Path = DATA) -> list[Case]:
    """The real images present in `folder`, cropped (see the module's note)."""
    cases = []
    for image in REAL:
        path = folder / image.file
        if path.exists():
            samples = np.asarray(pxvorel.read_image(path, axes=image.axes).data, dtype=np.float32)
            cases.append(Case(image.name, _cropped(samples, image.axes), image.axes))
    return cases


def _cropped(data: npt.NDArray[np.float32], axes: str) -> npt.NDArray[np.float32]:
    """The centre of `data`: planes to ``REAL_PLANE``, a stack's or time-lapse's planes to
    ``REAL_SMALL`` and its depth to ``REAL_DEPTH``."""
    deep = "Z" in axes or "T" in axes
    limits = {
        "Y": REAL_SMALL if deep else REAL_PLANE,
        "X": REAL_SMALL if deep else REAL_PLANE,
        "Z": REAL_DEPTH,
        "T": REAL_DEPTH,
    }
    index = []
    for axis, size in zip(axes, data.shape, strict=True):
        keep = min(size, limits.get(axis, size))
        start = (size - keep) // 2
        index.append(slice(start, start + keep))
    return np.ascontiguousarray(data[tuple(index)])


def volumes(data: np.ndarray, axes: str) -> Iterator[Volume]:
    """Each channel of an image in `axes` (letters of YX, ZYX, TYX, CYX or ZCYX) as a (D, Y, X)
    float64 volume, D being Z or T (1 for a plane)."""
    order = [axes.index(a) for a in "CZTYX" if a in axes]
    moved = np.transpose(np.asarray(data, dtype=np.float64), order)
    letters = [a for a in "CZTYX" if a in axes]
    if "C" not in letters:
        moved = moved[None]
    if moved.ndim == 3:
        moved = moved[:, None]
    for channel in moved:
        yield np.ascontiguousarray(channel)


def depth_axis(axes: str) -> str | None:
    """The axis that the volumes' first axis stands for (Z or T), or None for planes."""
    return "Z" if "Z" in axes else "T" if "T" in axes else None


def background(noisy: Volume) -> Mask:
    """The background of a real image: where its blur (sd ``BACKGROUND_BLUR`` along Y and X, plane
    by plane) is in the darkest ``BACKGROUND_SHARE`` of the volume, shrunk by
    ``BACKGROUND_MARGIN`` samples in Y and X.

    Fluorescence images are mostly dark background around sparse bright objects; their
    darkest third on a blur that averages the noise away lies in that background in every
    real image here, and the margin keeps out the rims of objects and their blurred halos, so
    that the clean image there is nearly flat and the texture a result shows there is the
    result's own.
    """
    smooth = ndimage.gaussian_filter(noisy, (0.0, BACKGROUND_BLUR, BACKGROUND_BLUR))
    dark = smooth <= np.quantile(smooth, BACKGROUND_SHARE)
    mask: Mask = ndimage.binary_erosion(dark, np.ones((1, 3, 3), bool), iterations=BACKGROUND_MARGIN, border_value=1)
    return mask


def trend(noisy: Volume, mask: Mask, flat: bool) -> Volume:
    """What the texture is measured against: the mean of a flat field; on a real image the
    input's mean over the background near every sample, weighted with a Gaussian of sd
    ``TREND_BLUR`` along Y and X (2 along Z or T), so that neither the noise (averaged over
    thousands of samples) nor the objects (left out) show in it."""
    if flat:
        return np.full(noisy.shape, float(noisy.mean()))
    sigma = (2.0 if noisy.shape[0] > 1 else 0.0, TREND_BLUR, TREND_BLUR)
    weight = ndimage.gaussian_filter(mask.astype(np.float64), sigma, mode="reflect")
    masked = ndimage.gaussian_filter(np.where(mask, noisy, 0.0), sigma, mode="reflect")
    plain = ndimage.gaussian_filter(noisy, sigma, mode="reflect")
    result: Volume = np.where(weight > 1e-3, masked / np.maximum(weight, 1e-3), plain)
    return result
