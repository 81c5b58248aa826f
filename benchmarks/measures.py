"""How close a result is to the clean image: PSNR, SSIM, and PSNR after an affine intensity fit
(for real pairs whose two images were scaled apart)."""

from __future__ import annotations

import math

import numpy as np
from skimage.metrics import structural_similarity

import pxvorel


def psnr(clean: np.ndarray, result: np.ndarray) -> float:
    """PSNR in dB, the peak being the clean image's value range."""
    span = float(clean.max() - clean.min())
    return float(10.0 * np.log10(span**2 / np.mean((clean.astype(np.float64) - result) ** 2)))


def ssim(clean: np.ndarray, result: np.ndarray) -> float:
    """Mean SSIM over the 2-D slices, each with the clean data's range."""
    span = float(clean.max() - clean.min())
    planes = zip(clean.reshape(-1, *clean.shape[-2:]), result.reshape(-1, *clean.shape[-2:]), strict=True)
    return float(np.mean([structural_similarity(c, r.astype(np.float32), data_range=span) for c, r in planes]))


def affine_psnr(reference: np.ndarray, image: np.ndarray) -> float:
    """PSNR against `reference` (its range as the peak) after the least-squares fit a * image + b."""
    design = np.stack([image.ravel().astype(np.float64), np.ones(image.size)], axis=1)
    coefficients, *_ = np.linalg.lstsq(design, reference.ravel().astype(np.float64), rcond=None)
    fitted = design @ coefficients
    span = float(reference.max() - reference.min())
    return float(10.0 * np.log10(span**2 / np.mean((reference.ravel() - fitted) ** 2)))


def estimated_psnr(clean: np.ndarray, report: pxvorel.RunReport) -> tuple[float, float]:
    """The PSNR a run's quality estimate implies (its MSE over all channels, with the clean
    data's range as the peak, as :func:`psnr` has it) and one standard error, in dB."""
    quality = report.quality
    assert quality is not None
    mse = float(np.mean(quality.mse))
    spread = math.sqrt(sum(s * s for s in quality.mse_spread)) / len(quality.mse)
    span = float(clean.max() - clean.min())
    return 10.0 * math.log10(span**2 / mse), 10.0 / math.log(10.0) * spread / mse
