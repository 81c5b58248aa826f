"""Defective pixels: found, and kept or repaired before denoising?

A synthetic Poisson-Gaussian scene (blobs from 100 to 1500, gain 2, read noise variance
25), as a series of 12 frames and as one plane, with 64 hot pixels (800 to 3000 above the
scene, on a grid of 16 pixels). For each, the default call's model (``estimate_noise``,
which finds the defects) and three runs with it, one thread each:

- "keep": the image as recorded (the model without its defect list);
- "repair": the default call (defects replaced by the median of their eight neighbours);
- "none": the same noise without the defects (the reference).

Printed per run: the defects found, PSNR against the clean scene, and the root mean square
error at the defects, in the ring of 24 pixels around each (a repaired pixel must not ring)
and everywhere else.

    tools/py314 python3 -m benchmarks.validation.defective_pixels
"""

from __future__ import annotations

import warnings
from dataclasses import replace

import numpy as np

import pxvorel

SPACING = 16


def scene(frames: int) -> tuple[np.ndarray, np.ndarray, np.ndarray, list[tuple[int, int]]]:
    """Clean scene, noisy image, noisy image with hot pixels, and their positions."""
    rng = np.random.default_rng(1)
    y, x = np.mgrid[0:128, 0:128].astype(np.float64)
    plane = np.full((128, 128), 100.0)
    for _ in range(8):
        cy, cx, width = rng.uniform(0, 128), rng.uniform(0, 128), rng.uniform(3.0, 9.0)
        plane += rng.uniform(0.3, 1.0) * 1400.0 * np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / (2 * width**2))
    clean = np.broadcast_to(plane, (frames, 128, 128)).copy()
    noisy = (2.0 * rng.poisson(clean / 2.0) + rng.normal(0.0, 5.0, clean.shape)).astype(np.float32)
    positions = [(py, px) for py in range(4, 124, SPACING) for px in range(6, 124, SPACING)]
    broken = noisy.copy()
    for (py, px), extra in zip(positions, rng.uniform(800.0, 3000.0, len(positions)), strict=True):
        broken[:, py, px] += extra
    return clean, noisy, broken, positions


def main() -> None:
    print(f"{'image':<8} {'run':<7} {'found':>7} {'PSNR':>6} {'rms at':>8} {'ring':>6} {'elsewhere':>9}")
    for frames in (12, 1):
        clean, noisy, broken, positions = scene(frames)
        axes = "TYX" if frames > 1 else "YX"
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model = pxvorel.estimate_noise(broken.squeeze(), axes=axes)
        found = model.defects[0].count if model.defects[0] is not None else 0
        at = np.zeros((128, 128), bool)
        ring = np.zeros((128, 128), bool)
        for py, px in positions:
            ring[py - 2 : py + 3, px - 2 : px + 3] = True
            at[py, px] = True
        ring &= ~at
        runs = {
            "keep": (broken, replace(model, defects=(None,))),
            "repair": (broken, model),
            "none": (noisy, replace(model, defects=(None,))),
        }
        for name, (image, used) in runs.items():
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                result = pxvorel.denoise(image.squeeze(), axes=axes, noise=used, threads=1).reshape(clean.shape)
            error = result.astype(np.float64) - clean
            psnr = 10 * np.log10(np.ptp(clean) ** 2 / np.mean(error**2))
            rms = [float(np.sqrt(np.mean(error[:, mask] ** 2))) for mask in (at, ring, ~(at | ring))]
            label = "series" if frames > 1 else "plane"
            errors = f"{rms[0]:8.1f} {rms[1]:6.2f} {rms[2]:9.2f}"
            print(f"{label:<8} {name:<7} {found:>3}/{len(positions):<3} {psnr:6.2f} {errors}", flush=True)


if __name__ == "__main__":
    main()
