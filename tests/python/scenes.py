"""Synthetic fluorescence-like scenes and the noise of the detectors that record them.

Every scene is drawn from a seed of its own (or from a random generator the caller shares
with the noise), so that a test sees the same samples whichever module draws them: several
tests' thresholds are tuned to these exact images.
"""

from __future__ import annotations

import numpy as np
from scipy import ndimage

Seed = int | np.random.Generator


def blobs(shape: tuple[int, ...], count: int, seed: int, low: float = 5.0, high: float = 400.0) -> np.ndarray:
    """Smooth Gaussian blobs on a dim background over the last two axes (Y, X), the same in every plane."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0 : shape[-2], 0 : shape[-1]].astype(np.float64)
    image = np.full(shape[-2:], low)
    for _ in range(count):
        cy, cx = rng.uniform(0, shape[-2]), rng.uniform(0, shape[-1])
        width = rng.uniform(3.0, 9.0)
        image += rng.uniform(0.3, 1.0) * (high - low) * np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / (2 * width**2))
    return np.broadcast_to(image, shape).copy()


def moving_blobs(frames: int, size: int, count: int, seed: int) -> np.ndarray:
    """A (T, Y, X) series of blobs drifting by about a pixel per frame."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:size, 0:size].astype(np.float64)
    centres = rng.uniform(0, size, (count, 2))
    velocity = rng.normal(0, 0.8, (count, 2))
    widths = rng.uniform(3.0, 8.0, count)
    heights = rng.uniform(100.0, 400.0, count)
    series = np.empty((frames, size, size))
    for t in range(frames):
        frame = np.full((size, size), 8.0)
        for (cy, cx), (vy, vx), w, h in zip(centres, velocity, widths, heights, strict=True):
            frame += h * np.exp(-((y - cy - vy * t) ** 2 + (x - cx - vx * t) ** 2) / (2 * w**2))
        series[t] = frame
    return series


def smooth_image(shape: tuple[int, ...]) -> np.ndarray:
    """Smooth content between about 20 and 120 on any number of axes: broad blobs and a gentle
    ramp over the last two, a slow change along the others (z and t)."""
    axes = np.meshgrid(*(np.linspace(0.0, 1.0, n) for n in shape), indexing="ij")
    image = 40.0 + 30.0 * axes[-1]
    for centre, width, height in (((0.3, 0.35), 0.18, 50.0), ((0.7, 0.6), 0.12, 40.0), ((0.45, 0.8), 0.1, -25.0)):
        distance = (axes[-1] - centre[0]) ** 2 + (axes[-2] - centre[1]) ** 2 if len(shape) > 1 else 0.0
        image = image + height * np.exp(-distance / (2 * width**2))
    for axis in axes[:-2]:
        image = image + 10.0 * np.sin(2.0 * axis)
    return image


def noisy_pair(shape: tuple[int, ...], sigma: float = 10.0, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """The smooth image and a float32 copy with Gaussian noise of this sigma."""
    clean = smooth_image(shape)
    noise = np.random.default_rng(seed).normal(0.0, sigma, size=shape)
    return clean, (clean + noise).astype(np.float32)


def cells_on_gradient(shape: tuple[int, int], rng: Seed, low: float, high: float) -> np.ndarray:
    """Soft cells of 8 to 25 pixels (15 per 256 x 256) on a gentle gradient, scaled to [low, high]."""
    rng = np.random.default_rng(rng)
    ny, nx = shape
    y = np.arange(ny, dtype=np.float64)
    x = np.arange(nx, dtype=np.float64)
    scene = 0.2 * x[None, :] / nx + 0.1 * y[:, None] / ny
    for _ in range(15 * ny * nx // 65536):
        cy, cx = rng.uniform(0, ny), rng.uniform(0, nx)
        width = rng.uniform(8, 25)
        amplitude = rng.uniform(0.3, 1.0)
        # Each cell is drawn within four widths of its centre, where it is not negligible.
        rows = slice(max(int(cy - 4 * width), 0), min(int(cy + 4 * width) + 1, ny))
        cols = slice(max(int(cx - 4 * width), 0), min(int(cx + 4 * width) + 1, nx))
        bump_y = np.exp(-((y[rows] - cy) ** 2) / (2 * width * width))
        bump_x = np.exp(-((x[cols] - cx) ** 2) / (2 * width * width))
        scene[rows, cols] += amplitude * np.outer(bump_y, bump_x)
    scene = (scene - scene.min()) / (scene.max() - scene.min())
    return low + (high - low) * scene


def ramp(low: float, high: float, size: int = 192) -> np.ndarray:
    """A plane whose intensity rises from `low` to `high` along X, with blobs for structure."""
    gradient = np.linspace(low, high, size)[None, :] * np.ones((size, 1))
    return gradient + blobs((size, size), 6, seed=3, low=0.0, high=40.0)


def sparse_clipped(seed: int) -> tuple[np.ndarray, float]:
    """A mostly clipped-to-zero 8-bit image of noisy structures, and the noise sd at their level."""
    clean = ndimage.zoom(blobs((128, 128), 6, seed=seed, low=-60.0, high=180.0), 2, order=1)
    noisy = np.clip(np.round(clean + np.random.default_rng(seed).normal(0, 9.0, clean.shape)), 0, 255)
    return noisy.astype(np.uint8), 9.0


def camera_image(shape: tuple[int, ...], seed: int = 0) -> np.ndarray:
    """Smooth structure on any number of axes with Poisson-Gaussian camera noise, as uint16."""
    rng = np.random.default_rng(seed)
    grids = np.meshgrid(*[np.linspace(0, 3, n) for n in shape], indexing="ij")
    clean = 60 + 40 * np.prod([np.sin(g) ** 2 for g in grids], axis=0)
    return (2.0 * rng.poisson(clean) + 100 + rng.normal(0, 3, shape)).astype(np.uint16)


def poisson_gaussian(clean: np.ndarray, gain: float, offset: float, seed: Seed) -> np.ndarray:
    """Counts scaled by gain plus Gaussian read noise, as float32: variance gain * clean + offset."""
    rng = np.random.default_rng(seed)
    photons = rng.poisson(clean / gain)
    return (gain * photons + rng.normal(0.0, np.sqrt(offset), clean.shape)).astype(np.float32)


def photon_counts(mean_photons: np.ndarray, height: float, seed: int) -> np.ndarray:
    """8-bit samples of a detector that counts photons of random (exponential) heights with
    mean `height`: most pixels 0, a few a photon's height above it."""
    rng = np.random.default_rng(seed)
    photons = rng.poisson(mean_photons)
    return np.clip(rng.gamma(np.maximum(photons, 1), height) * (photons > 0), 0, 255).round()
