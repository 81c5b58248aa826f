"""The demo: a synthetic fluorescence time series with ground truth, denoised and scored.

Moving cells (a dim cytoplasm with a brighter nucleus), drifting filaments and small
vesicles on a dim background are rendered as expected photon counts per pixel and
frame. A camera then records them: Poisson photon noise, a gain in ADU per photon, a
baseline and Gaussian read noise, rounded to 16-bit integers. In ADU the noise variance
is ``gain * I + offset`` with ``offset = read_noise**2 - gain * baseline``.

The noisy series is written as an ImageJ TIFF and denoised through exactly the code
path of ``pxvorel denoise --noise auto``; the report compares the estimated noise model
with the true one and the noisy and denoised series with the clean one.
"""

from __future__ import annotations

import argparse
import json
import math
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from pxvorel.cli import Reporter, denoise_file
from pxvorel.io import ImageFile, read_image, write_image

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


def _filaments(t: int, yy: np.ndarray, xx: np.ndarray, rng: np.random.Generator, count: int,
               size: int) -> np.ndarray:
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
        photons = (background + _cells(t, yy, xx, scene_rng, cells, size)
                   + _filaments(t, yy, xx, scene_rng, filaments, size) + _vesicles(t, yy, xx, tracks))
        clean[t] = GAIN * photons + BASELINE
    counts = rng.poisson((clean - BASELINE) / GAIN)
    recorded = GAIN * counts + BASELINE + rng.normal(0, READ_NOISE, clean.shape)
    noisy = np.clip(np.rint(recorded), 0, 65535).astype(np.uint16)
    return Scene(clean, noisy)


def psnr(reference: np.ndarray, image: np.ndarray) -> float:
    """Peak signal-to-noise ratio in dB, the peak being the reference's value range."""
    peak = float(reference.max() - reference.min())
    mse = float(np.mean((image.astype(np.float64) - reference) ** 2))
    return 10 * math.log10(peak * peak / mse)


def ssim(reference: np.ndarray, image: np.ndarray) -> float:
    """Mean structural similarity over the frames of a (T, Y, X) series."""
    from skimage.metrics import structural_similarity

    peak = float(reference.max() - reference.min())
    return float(np.mean([structural_similarity(r, i.astype(np.float32), data_range=peak)
                          for r, i in zip(reference, image, strict=True)]))


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


def run_demo(out: Path, reporter: Reporter, *, frames: int = 24, size: int = 256,
             threads: int | None = None) -> dict[str, Any]:
    """Build the synthetic series, denoise it like ``pxvorel denoise --noise auto`` and score it.

    Returns the report as a dict (see :func:`print_report` for its keys).
    """
    if frames < 1 or size < 16:
        raise ValueError("the demo needs at least 1 frame of 16 x 16 pixels")
    out.mkdir(parents=True, exist_ok=True)
    with reporter.stage(f"making a synthetic series of {frames} frames of {size} x {size}"):
        scene = synthetic_series(frames, size)
    spacing = {"X": PIXEL_SIZE_UM, "Y": PIXEL_SIZE_UM, "T": FRAME_INTERVAL_S}
    noisy_path, denoised_path = out / "noisy.tif", out / "denoised.tif"
    write_image(noisy_path, ImageFile(scene.noisy, "TYX", spacing, "µm"), overwrite=True)
    write_image(out / "clean.tif", ImageFile(scene.clean, "TYX", spacing, "µm"), overwrite=True)
    args = argparse.Namespace(
        input=str(noisy_path), output=str(denoised_path), axes=None, noise="auto", sigma=None, gain=None,
        offset=None, patch_radius=None, search=None, iterations=4, pvalue=0.01, renoise=0.0, threads=threads,
        overwrite=True,
    )
    outcome = denoise_file(args, reporter)
    denoised = read_image(denoised_path).data
    with reporter.stage("scoring"):
        report: dict[str, Any] = {
            "frames": frames,
            "size": size,
            "psnr_noisy": psnr(scene.clean, scene.noisy),
            "psnr_denoised": psnr(scene.clean, denoised),
            "ssim_noisy": ssim(scene.clean, scene.noisy),
            "ssim_denoised": ssim(scene.clean, denoised),
            "gain_true": [GAIN],
            "gain_estimated": list(outcome.model.gain),
            "offset_true": [OFFSET],
            "offset_estimated": list(outcome.model.offset),
            "noise_std_max_relative_error": noise_std_error(scene.clean, outcome.model.gain[0],
                                                            outcome.model.offset[0]),
            "intensity_range": [float(scene.clean.min()), float(scene.clean.max())],
            "seconds": outcome.seconds,
            "megavoxels_per_second": outcome.voxels / 1e6 / outcome.seconds,
        }
        middle = frames // 2
        figure = out / "demo.png"
        save_figure(figure, scene.noisy[middle], denoised[middle], scene.clean[middle],
                    f"frame {middle}: PSNR {report['psnr_noisy']:.1f} dB noisy, "
                    f"{report['psnr_denoised']:.1f} dB denoised")
    report["files"] = {name: str(out / name) for name in ("noisy.tif", "denoised.tif", "clean.tif", "demo.png")}
    return report


def print_report(report: dict[str, Any], *, as_json: bool) -> None:
    """Print the report; with `as_json` also as one JSON object on the last line."""
    gain, offset = report["gain_estimated"][0], report["offset_estimated"][0]
    low, high = report["intensity_range"]
    lines = [
        f"pxvorel demo: {report['frames']} frames of {report['size']} x {report['size']} pixels (TYX), moving cells,"
        " filaments and vesicles, Poisson-Gaussian camera noise",
        "",
        "noise model           true    estimated",
        f"  gain (ADU/photon) {report['gain_true'][0]:8.3f} {gain:10.3f}  ({100 * (gain / GAIN - 1):+.1f} %)",
        f"  offset (ADU^2)    {report['offset_true'][0]:8.1f} {offset:10.1f}",
        f"  noise std over intensities {low:.0f}-{high:.0f} ADU: largest error "
        f"{100 * report['noise_std_max_relative_error']:.1f} %",
        "",
        "quality             noisy   denoised",
        f"  PSNR (dB)      {report['psnr_noisy']:8.2f} {report['psnr_denoised']:10.2f}  "
        f"({report['psnr_denoised'] - report['psnr_noisy']:+.2f} dB)",
        f"  SSIM           {report['ssim_noisy']:8.3f} {report['ssim_denoised']:10.3f}",
        "",
        f"time: {report['seconds']:.2f} s for noise estimation and denoising, "
        f"{report['megavoxels_per_second']:.2f} Mvoxel/s",
        f"files: {', '.join(report['files'].values())}",
    ]
    print("\n".join(lines))
    if as_json:
        print(json.dumps(report))
