"""The demo: a synthetic fluorescence time series with ground truth (:mod:`pxvorel.demo.scene`),
denoised from its file as the command line would, and scored (:mod:`pxvorel.demo.score`).
"""

from __future__ import annotations

import json
import logging
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from pxvorel.demo.scene import FRAME_INTERVAL_S, GAIN, OFFSET, PIXEL_SIZE_UM, Scene, synthetic_series
from pxvorel.demo.score import noise_std_error, psnr, save_figure, ssim
from pxvorel.io import ImageFile, read_image, write_image
from pxvorel.pipeline import run
from pxvorel.run.job import prepare
from pxvorel.run.progress import Fractions

__all__ = ["FRAME_INTERVAL_S", "PIXEL_SIZE_UM", "Scene", "print_report", "psnr", "run_demo", "ssim", "synthetic_series"]

log = logging.getLogger(__name__)


def run_demo(
    out: Path,
    *,
    frames: int = 24,
    size: int = 256,
    threads: int | None = None,
    progress: Callable[[float], object] | None = None,
) -> dict[str, Any]:
    """Build the synthetic series, write it, denoise the file as ``pxvorel denoise --noise auto``
    does (axes and pixel sizes from the file, the noise model estimated) and score it.

    Stages are logged on the ``pxvorel.demo`` logger; `progress` receives the denoising's
    fraction done. Returns the report as a dict (see :func:`print_report` for its keys).
    """
    if frames < 1 or size < 16:
        raise ValueError("the demo needs at least 1 frame of 16 x 16 pixels")
    out.mkdir(parents=True, exist_ok=True)
    log.info("making a synthetic series of %d frames of %d x %d", frames, size, size)
    scene = synthetic_series(frames, size)
    spacing = {"X": PIXEL_SIZE_UM, "Y": PIXEL_SIZE_UM, "T": FRAME_INTERVAL_S}
    noisy_path, denoised_path = out / "noisy.tif", out / "denoised.tif"
    write_image(noisy_path, ImageFile(scene.noisy, "TYX", spacing, "µm"), overwrite=True)
    write_image(out / "clean.tif", ImageFile(scene.clean, "TYX", spacing, "µm"), overwrite=True)
    noisy = read_image(noisy_path)
    job = prepare(noisy.data, axes=noisy.axes, threads=threads)
    start = time.perf_counter()
    denoised, run_report = run(job, "auto", progress=Fractions(progress) if progress is not None else None)
    model = run_report.noise
    seconds = time.perf_counter() - start
    write_image(denoised_path, ImageFile(denoised, noisy.axes, noisy.spacing, noisy.unit), overwrite=True)
    log.info("scoring")
    report: dict[str, Any] = {
        "frames": frames,
        "size": size,
        "psnr_noisy": psnr(scene.clean, scene.noisy),
        "psnr_denoised": psnr(scene.clean, denoised),
        "ssim_noisy": ssim(scene.clean, scene.noisy),
        "ssim_denoised": ssim(scene.clean, denoised),
        "gain_true": [GAIN],
        "gain_estimated": list(model.gain),
        "offset_true": [OFFSET],
        "offset_estimated": list(model.offset),
        "noise_std_max_relative_error": noise_std_error(scene.clean, model.gain[0], model.offset[0]),
        "intensity_range": [float(scene.clean.min()), float(scene.clean.max())],
        "seconds": seconds,
        "megavoxels_per_second": denoised.size / 1e6 / seconds,
    }
    middle = frames // 2
    figure = out / "demo.png"
    save_figure(
        figure,
        scene.noisy[middle],
        denoised[middle],
        scene.clean[middle],
        f"frame {middle}: PSNR {report['psnr_noisy']:.1f} dB noisy, {report['psnr_denoised']:.1f} dB denoised",
    )
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
