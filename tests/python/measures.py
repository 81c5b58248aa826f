"""How far a result is from the clean image or from another result."""

from __future__ import annotations

import numpy as np


def mse(a: np.ndarray, b: np.ndarray) -> float:
    """Mean squared difference, in float64."""
    return float(np.mean((np.asarray(a, np.float64) - np.asarray(b, np.float64)) ** 2))


def psnr(clean: np.ndarray, image: np.ndarray) -> float:
    """Peak signal-to-noise ratio in dB, the peak being the clean image's range."""
    peak = float(np.max(clean) - np.min(clean))
    return 10.0 * np.log10(peak**2 / mse(clean, image))


def fraction_far(a: np.ndarray, b: np.ndarray, relative: float) -> float:
    """Share of samples that differ by more than relative times the scale of b."""
    scale = float(np.max(np.abs(b)))
    return float(np.mean(np.abs(a.astype(np.float64) - b) > relative * scale))
