"""The demo's scene: a synthetic fluorescence time series with ground truth.

Moving cells (a dim cytoplasm with a brighter nucleus), drifting filaments and small
vesicles on a dim background are rendered as expected photon counts per pixel and
frame. A camera then records them: Poisson photon noise, a gain in ADU per photon, a
baseline and Gaussian read noise, rounded to 16-bit integers. In ADU the noise variance
is ``gain * I + offset`` with ``offset = read_noise**2 - gain * baseline``.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

#: Camera of the synthetic data: ADU per photon, baseline in ADU, read noise in ADU.
GAIN = 2.0
BASELINE = 100.0
READ_NOISE = 4.0
OFFSET = READ_NOISE**2 - GAIN * BASELINE
PIXEL_SIZE_UM = 0.1
FRAME_INTERVAL_S = 2.0


@dataclass(frozen=True)
class Scene:
    clean: np.ndarray
    """Expected intensity in ADU, float32 (T, Y, X)."""
    noisy: np.ndarray
    """Recorded intensity in ADU, uint16 (T, Y, X)."""


def _cells(t: int, yy: np.ndarray, xx: np.ndarray, rng: np.random.Generator, count: int, size: int) -> np.ndarray:
    """Photon counts of `count` moving, slowly rotating elliptic cells with nuclei at frame `t`."""
    photons = np.zeros_like(yy)
    for _ in range(count):
        cy, cx = rng.uniform(0.15, 0.85, 2) * size
        vy, vx = rng.normal(0, 0.8, 2)
        a, b = rng.uniform(18, 30), rng.uniform(11, 17)
        angle = rng.uniform(0, np.pi) + 0.01 * t
        brightness = rng.uniform(10, 16)
        py, px = cy + vy * t - yy, cx + vx * t - xx
        u = (px * np.cos(angle) + py * np.sin(angle)) / a
        v = (-px * np.sin(angle) + py * np.cos(angle)) / b
        radius = np.sqrt(u * u + v * v)
        photons += brightness / (1 + np.exp((radius - 1) * 12))
        nucleus = np.sqrt(((u - 0.15) / 0.45) ** 2 + (v / 0.55) ** 2)
        photons += 2.5 * brightness / (1 + np.exp((nucleus - 1) * 10))
    return photons


def _filaments(t: int, yy: np.ndarray, xx: np.ndarray, rng: np.random.Generator, count: int, size: int) -> np.ndarray:
    """Photon counts of thin, wavy filaments drifting across the field."""
    photons = np.zeros_like(yy)
    for _ in range(count):
        base = rng.uniform(0.1, 0.9) * size
        amplitude = rng.uniform(5, 20)
        wavelength = rng.uniform(80, 200)
        phase = rng.uniform(0, 2 * np.pi) + 0.05 * t
        drift = rng.normal(0, 0.5) * t
        centre = base + drift + amplitude * np.sin(2 * np.pi * xx / wavelength + phase)
        photons += rng.uniform(12, 20) * np.exp(-0.5 * ((yy - centre) / 1.2) ** 2)
    return photons


def _vesicles(t: int, yy: np.ndarray, xx: np.ndarray, tracks: np.ndarray) -> np.ndarray:
    """Photon counts of diffraction-limited vesicles moving along random-walk tracks."""
    photons = np.zeros_like(yy)
    for y, x in tracks[:, t]:
        photons += 30 * np.exp(-((yy - y) ** 2 + (xx - x) ** 2) / (2 * 1.4**2))
    return photons


def synthetic_series(frames: int = 24, size: int = 256, seed: int = 0) -> Scene:
    """A synthetic 2-D + time fluorescence series with Poisson-Gaussian camera noise.

    Parameters
    ----------
    frames, size : int
        Number of frames and the frame width and height in pixels.
    seed : int
        Seed of the random scene and noise.

    Returns
    -------
    Scene
        The clean series and the noisy recording, both (T, Y, X).
    """
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:size, 0:size].astype(np.float64)
    # Objects keep their size in pixels; their number follows the field of view.
    area = size * size / 256**2
    cells, filaments, vesicle_count = max(2, round(9 * area)), max(1, round(5 * size / 256)), max(4, round(40 * area))
    start = rng.uniform(0, size, (vesicle_count, 1, 2))
    tracks = start + np.cumsum(rng.normal(0, 1.0, (vesicle_count, frames, 2)), axis=1)
    background = 3.0 + 2.0 * np.exp(-((yy - 0.3 * size) ** 2 + (xx - 0.6 * size) ** 2) / (2 * (0.4 * size) ** 2))
    clean = np.empty((frames, size, size), np.float32)
    for t in range(frames):
        scene_rng = np.random.default_rng(seed + 1)  # the same objects in every frame, moved by t
        photons = (
            background
            + _cells(t, yy, xx, scene_rng, cells, size)
            + _filaments(t, yy, xx, scene_rng, filaments, size)
            + _vesicles(t, yy, xx, tracks)
        )
        clean[t] = GAIN * photons + BASELINE
    counts = rng.poisson((clean - BASELINE) / GAIN)
    recorded = GAIN * counts + BASELINE + rng.normal(0, READ_NOISE, clean.shape)
    noisy = np.clip(np.rint(recorded), 0, 65535).astype(np.uint16)
    return Scene(clean, noisy)
