"""The demo's score: PSNR, SSIM, the error of the estimated noise model, and a figure."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np

from pxvorel.demo.scene import GAIN, OFFSET


def psnr(reference: np.ndarray, image: np.ndarray) -> float:
    """Peak signal-to-noise ratio in dB, the peak being the reference's value range."""
    peak = float(reference.max() - reference.min())
    mse = float(np.mean((image.astype(np.float64) - reference) ** 2))
    return 10 * math.log10(peak * peak / mse)


def ssim(reference: np.ndarray, image: np.ndarray) -> float:
    """Mean structural similarity over the frames of a (T, Y, X) series."""
    from skimage.metrics import structural_similarity

    peak = float(reference.max() - reference.min())
    return float(
        np.mean(
            [
                structural_similarity(r, i.astype(np.float32), data_range=peak)
                for r, i in zip(reference, image, strict=True)
            ]
        )
    )


def noise_std_error(clean: np.ndarray, gain: float, offset: float) -> float:
    """Largest relative error of the estimated noise standard deviation over the clean intensity range."""
    intensity = np.linspace(float(clean.min()), float(clean.max()), 256)
    true = np.sqrt(GAIN * intensity + OFFSET)
    estimated = np.sqrt(np.maximum(gain * intensity + offset, 0.0))
    return float(np.max(np.abs(estimated - true) / true))


def save_figure(path: Path, noisy: np.ndarray, denoised: np.ndarray, clean: np.ndarray, title: str) -> None:
    """Noisy, denoised and clean frames side by side, with the same display range."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    low, high = np.percentile(clean, [0.5, 99.8])
    figure, panels = plt.subplots(1, 3, figsize=(12, 4.4), constrained_layout=True)
    for panel, frame, name in zip(panels, (noisy, denoised, clean), ("noisy", "denoised", "clean"), strict=True):
        panel.imshow(frame, cmap="magma", vmin=low, vmax=high, interpolation="nearest")
        panel.set_title(name)
        panel.set_axis_off()
    figure.suptitle(title)
    figure.savefig(path, dpi=110)
    plt.close(figure)
