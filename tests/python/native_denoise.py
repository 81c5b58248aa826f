"""The native Gaussian denoiser called with its defaults, some of them replaced."""

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


def openmp_threads() -> int:
    """The OpenMP thread count in force on the calling thread."""
    gomp = [entry for entry in threadpoolctl.threadpool_info() if entry["prefix"] == "libgomp"]
    return int(gomp[0]["num_threads"])
