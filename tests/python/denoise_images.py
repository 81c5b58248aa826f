"""Test images and a call helper for the Gaussian denoiser tests."""

from __future__ import annotations

import numpy as np
import threadpoolctl

import pxvorel._px as px

# Default parameters in the module's positional order after image and sigma:
# patch_radius, neighborhood_axes (x, y, z, c, t), max_iter, pvalue, nthreads, renoise.
DEFAULTS = {
    "patch_radius": [3, 3, 1, 0, 1],
    "neighborhood_axes": [1, 1, 1, 0, 1],
    "max_iter": 4,
    "pvalue": 0.01,
    "nthreads": 1,
    "renoise": 0.0,
}


def arguments(sigma: float = 10.0, **overrides: object) -> tuple:
    """The positional arguments after the image, defaults replaced by overrides."""
    unknown = set(overrides) - set(DEFAULTS)
    if unknown:
        raise TypeError(f"unknown parameters {sorted(unknown)}")
    values = {**DEFAULTS, **overrides}
    return (sigma, *(values[name] for name in DEFAULTS))


def denoise(image: np.ndarray, sigma: float = 10.0, **overrides: object) -> np.ndarray:
    return px._denoise_gaussian(image, *arguments(sigma, **overrides))


def smooth_image(shape: tuple[int, ...]) -> np.ndarray:
    """Smooth content between about 20 and 120: broad blobs and a gentle ramp."""
    axes = np.meshgrid(*(np.linspace(0.0, 1.0, n) for n in shape), indexing="ij")
    image = 40.0 + 30.0 * axes[-1]
    for centre, width, height in (((0.3, 0.35), 0.18, 50.0), ((0.7, 0.6), 0.12, 40.0), ((0.45, 0.8), 0.1, -25.0)):
        distance = (axes[-1] - centre[0]) ** 2 + (axes[-2] - centre[1]) ** 2 if len(shape) > 1 else 0.0
        image = image + height * np.exp(-distance / (2 * width**2))
    for axis in axes[:-2]:  # slow change along z and t
        image = image + 10.0 * np.sin(2.0 * axis)
    return image


def noisy_pair(shape: tuple[int, ...], sigma: float = 10.0, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """The clean image and a float32 copy with Gaussian noise of this sigma."""
    clean = smooth_image(shape)
    noise = np.random.default_rng(seed).normal(0.0, sigma, size=shape)
    return clean, (clean + noise).astype(np.float32)


def mse(a: np.ndarray, b: np.ndarray) -> float:
    return float(np.mean((np.asarray(a, np.float64) - np.asarray(b, np.float64)) ** 2))


def psnr(clean: np.ndarray, image: np.ndarray) -> float:
    peak = float(np.max(clean) - np.min(clean))
    return 10.0 * np.log10(peak**2 / mse(clean, image))


def openmp_threads() -> int:
    """The OpenMP thread count in force on the calling thread."""
    gomp = [entry for entry in threadpoolctl.threadpool_info() if entry["prefix"] == "libgomp"]
    return int(gomp[0]["num_threads"])


def fraction_far(a: np.ndarray, b: np.ndarray, relative: float) -> float:
    """Share of samples that differ by more than relative times the scale of b."""
    scale = float(np.max(np.abs(b)))
    return float(np.mean(np.abs(a.astype(np.float64) - b) > relative * scale))
