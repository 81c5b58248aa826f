"""Synthetic fluorescence-like images with known noise, for quality checks."""

from __future__ import annotations

import numpy as np


def blobs(shape: tuple[int, ...], count: int, seed: int, low: float = 5.0, high: float = 400.0) -> np.ndarray:
    """Smooth Gaussian blobs on a dim background over the last two axes (Y, X)."""
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
        for (cy, cx), (vy, vx), w, h in zip(centres, velocity, widths, heights):
            frame += h * np.exp(-((y - cy - vy * t) ** 2 + (x - cx - vx * t) ** 2) / (2 * w**2))
        series[t] = frame
    return series


def poisson_gaussian(clean: np.ndarray, gain: float, offset: float, seed: int) -> np.ndarray:
    """Counts scaled by gain plus read noise: variance = gain * intensity + offset."""
    rng = np.random.default_rng(seed)
    photons = rng.poisson(clean / gain)
    return (gain * photons + rng.normal(0.0, np.sqrt(offset), clean.shape)).astype(np.float32)

