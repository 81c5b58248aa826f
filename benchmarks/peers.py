"""The denoisers pxvorel is compared with, each as a function of the noisy array of a
:class:`~benchmarks.data.Case`: OpenCV's and scikit-image's non-local means, and BM3D/BM4D.

OpenCV and scikit-image come with the environment. BM3D and BM4D are pure Python packages
from the package index, installed into ``build/peers`` by ``make bench`` where the index is
reachable (benchmark-only); :func:`bm3d_modules` finds them there.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from types import ModuleType

import cv2
import numpy as np
from skimage.restoration import denoise_nl_means

from benchmarks.data import ROOT, Case

Denoiser = Callable[[np.ndarray], np.ndarray]

PEERS = ROOT / "build" / "peers"
#: BM3D/BM4D on the full-size benchmark data (PSNR dB, CPU s), measured on a machine of this
#: kind with bm3d 4.0.3 and bm4d 4.2.5; shown when they are not installed.
RECORDED = {
    "camera 512², σ 25": (29.91, 12.4),
    "camera 512², σ 10": (34.24, 12.3),
    "3 channels 256², σ 10/20/5": (38.75, 9.8),
    "stack 32×256², σ 15, z radius 1": (42.43, 184.0),
    "time-lapse 10×256², Poisson-Gaussian, t radius 1": (42.40, 80.7),
}


def anscombe(a: np.ndarray, gain: float, read: float) -> np.ndarray:
    """The generalised Anscombe transform of Poisson-Gaussian data to unit noise."""
    return (2.0 / gain) * np.sqrt(np.maximum(gain * a + 0.375 * gain * gain + read * read, 0.0))


def inverse_anscombe(v: np.ndarray, gain: float, read: float) -> np.ndarray:
    """The algebraic inverse of :func:`anscombe`."""
    return ((gain * v / 2.0) ** 2 - 0.375 * gain * gain - read * read) / gain


def per_slice(a: np.ndarray, denoise: Callable[[np.ndarray, float], np.ndarray], sigmas: list[float]) -> np.ndarray:
    """Every 2-D slice on its own; channel c of a CYX array with sigmas[c]."""
    flat = a.reshape(-1, *a.shape[-2:])
    out = np.empty_like(flat, dtype=np.float32)
    for i, plane in enumerate(flat):
        out[i] = denoise(plane, sigmas[i % len(sigmas)] if len(sigmas) > 1 else sigmas[0])
    return out.reshape(a.shape)


def opencv(case: Case, bits: int, strength: float) -> Denoiser:
    """fastNlMeansDenoising on 8- or 16-bit data scaled to the full range (16-bit needs the L1
    norm); h = strength x sigma in the scaled units. A Poisson-Gaussian time-lapse goes through
    the generalised Anscombe transform, three frames at a time (fastNlMeansDenoisingMulti,
    8-bit only), its first and last frame on their own."""
    top = 255.0 if bits == 8 else 65535.0
    dtype = np.uint8 if bits == 8 else np.uint16
    norm = cv2.NORM_L2 if bits == 8 else cv2.NORM_L1

    def scaled(a: np.ndarray, low: float, high: float) -> tuple[np.ndarray, float]:
        factor = top / (high - low)
        return np.clip(np.rint((a - low) * factor), 0, top).astype(dtype), factor

    if case.gain > 0:
        read = case.sigma[0]

        def run_movie(a: np.ndarray) -> np.ndarray:
            v = anscombe(a, case.gain, read)
            low, high = float(v.min()), float(v.max())
            frames, factor = scaled(v, low, high)
            out = np.empty(a.shape, np.float32)
            for i in range(len(frames)):
                if 0 < i < len(frames) - 1:
                    result = cv2.fastNlMeansDenoisingMulti(
                        list(frames[i - 1 : i + 2]), 1, 3, h=[strength * factor], normType=norm
                    )
                else:
                    result = cv2.fastNlMeansDenoising(frames[i], h=[strength * factor], normType=norm)
                out[i] = inverse_anscombe(result.astype(np.float32) / factor + low, case.gain, read)
            return out

        return run_movie

    def plane(p: np.ndarray, sigma: float) -> np.ndarray:
        low, high = float(p.min()), float(p.max())
        image, factor = scaled(p, low, high)
        result = cv2.fastNlMeansDenoising(image, h=[strength * sigma * factor], normType=norm)
        return result.astype(np.float32) / factor + low

    return lambda a: per_slice(a, plane, case.sigma)


def opencv_threads(denoise: Denoiser, threads: int) -> Denoiser:
    """`denoise` with OpenCV limited to `threads` threads (its count before restored)."""

    def run(a: np.ndarray) -> np.ndarray:
        before = cv2.getNumThreads()
        cv2.setNumThreads(threads)
        try:
            return denoise(a)
        finally:
            cv2.setNumThreads(before)

    return run


def scikit(case: Case, strength: float) -> Denoiser:
    """scikit-image's denoise_nl_means (fast mode, 5 x 5 patches, distance 6) per slice, h =
    strength x sigma; a Poisson-Gaussian case through the generalised Anscombe transform."""

    def plane(p: np.ndarray, sigma: float) -> np.ndarray:
        return denoise_nl_means(
            p, h=strength * sigma, sigma=sigma, fast_mode=True, patch_size=5, patch_distance=6
        ).astype(np.float32)

    if case.gain > 0:
        return lambda a: inverse_anscombe(
            per_slice(anscombe(a, case.gain, case.sigma[0]), plane, [1.0]), case.gain, case.sigma[0]
        ).astype(np.float32)
    return lambda a: per_slice(a, plane, case.sigma)


def bm3d_modules() -> tuple[ModuleType, ModuleType] | None:
    """The bm3d and bm4d modules from build/peers, or None where they are not installed."""
    if str(PEERS) not in sys.path:
        sys.path.insert(0, str(PEERS))
    try:
        import bm3d
        import bm4d
    except ImportError:
        return None
    return bm3d, bm4d


def bm3d_or_bm4d(case: Case, bm3d: ModuleType, bm4d: ModuleType) -> tuple[str, Denoiser]:
    """BM3D per 2-D plane (per channel with its sigma), BM4D on a stack or (through the
    generalised Anscombe transform, at unit noise) a Poisson-Gaussian time-lapse."""
    if case.gain > 0:
        gain, read = case.gain, case.sigma[0]

        def movie(a: np.ndarray) -> np.ndarray:
            return inverse_anscombe(np.asarray(bm4d.bm4d(anscombe(a, gain, read), 1.0)), gain, read)

        return "BM4D (Anscombe)", movie
    if case.axes == "ZYX":
        return "BM4D", lambda a: np.asarray(bm4d.bm4d(a, case.sigma[0]))
    if case.axes == "CYX":
        return "BM3D per channel", lambda a: np.stack(
            [np.asarray(bm3d.bm3d(p, s)) for p, s in zip(a, case.sigma, strict=True)]
        )
    return "BM3D", lambda a: np.asarray(bm3d.bm3d(a, case.sigma[0]))
