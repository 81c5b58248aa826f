"""PSNR of patch-radius and search settings on the demo's synthetic time series.

The series (moving cells, filaments and vesicles with Poisson-Gaussian camera noise) is the
one ``pxvorel demo`` makes; the noise model is estimated once and shared by all runs, so only
the denoising settings differ. The Z settings are measured on the same series read as a
z-stack (ZYX): its objects change smoothly from one plane to the next, as in a stack of a
thick sample. Also prints the mean error of the denoised series against the truth, per
intensity band, which shows the bias of the inverse of the stabilising transform.

With ``--sweep``, instead: a grid of patch radius (X and Y) x iterations x p-value, the
second stage included, on the benchmarks' synthetic data (small sizes) and on the real
noisy/clean pairs (a central 256 x 256 crop of the low-SNR image, denoised with the estimated
noise and scored against the high-SNR image after an affine intensity fit); per setting the
PSNR on each dataset and the mean difference to the best setting of each dataset, whose
smallest value marks the setting that serves all datasets best. ``--unpaired`` adds (or, alone,
prints) the estimated PSNR gain (Stein's unbiased risk estimate) of a few settings on real
images that have no clean version.

    tools/py314 python3 -m benchmarks.quality.choose_defaults [--frames N] [--size N] [--threads N]
    tools/py314 python3 -m benchmarks.quality.choose_defaults --sweep [--unpaired] [--threads N]
"""

from __future__ import annotations

import argparse
import itertools
import time
import warnings
from collections.abc import Callable
from itertools import pairwise

import numpy as np

import pxvorel
from benchmarks.data import Case, benchmark_cases, demo_series, present, real_pairs
from benchmarks.measures import affine_psnr
from benchmarks.measures import psnr as peak_psnr
from pxvorel.demo import psnr, ssim

#: The grid of --sweep: patch radius in X and Y, iterations, p-value.
GRID = list(itertools.product((1, 2), (3, 4, 5), (0.05, 0.01, 1e-3, 1e-5)))

#: (label, axes the series is read with, patch_radius, search_axes)
SETTINGS = [
    ("r1 XY", "TYX", {"X": 1, "Y": 1, "T": 0}, "XYT"),
    ("r2 XY", "TYX", {"X": 2, "Y": 2, "T": 0}, "XYT"),
    ("r3 XY", "TYX", {"X": 3, "Y": 3, "T": 0}, "XYT"),
    ("r1 XY, T1", "TYX", {"X": 1, "Y": 1, "T": 1}, "XYT"),
    ("r2 XY, T1", "TYX", {"X": 2, "Y": 2, "T": 1}, "XYT"),
    ("r3 XY, T1", "TYX", {"X": 3, "Y": 3, "T": 1}, "XYT"),
    ("r2 XY, no T search", "TYX", {"X": 2, "Y": 2, "T": 0}, "XY"),
    ("r2 XY, T1, no T search", "TYX", {"X": 2, "Y": 2, "T": 1}, "XY"),
    ("as ZYX: r2 XY, Z0", "ZYX", {"X": 2, "Y": 2, "Z": 0}, "XYZ"),
    ("as ZYX: r2 XY, Z1", "ZYX", {"X": 2, "Y": 2, "Z": 1}, "XYZ"),
    ("as ZYX: r2 XY, Z1, no Z search", "ZYX", {"X": 2, "Y": 2, "Z": 1}, "XY"),
]

#: Real images without a clean version, scored by the estimated PSNR gain (SURE).
UNPAIRED = [
    "2d_er_exit_sites_noisy_u16.tif",
    "2d_nuclei_dsb2018_u16.tif",
    "2d_microtubules_u16.tif",
    "2dc_hela_dna_tubulin_actin_3ch_u16.tif",
    "3d_golgi_bfa_u16.tif",
    "2dt_nuclei_mitocheck_30frames_u8.tif",
]
UNPAIRED_GRID = [(2, 4, 0.01), (2, 4, 1e-3), (2, 4, 1e-5), (1, 4, 1e-5)]

Score = Callable[[dict[str, object]], float]


def sweep_datasets() -> list[tuple[str, Score]]:
    """(name, score of a setting) for the benchmarks' synthetic cases and the real pairs present."""
    datasets: list[tuple[str, Score]] = []
    for case in benchmark_cases(quick=True):

        def score(keywords: dict[str, object], case: Case = case) -> float:
            return peak_psnr(case.clean, pxvorel.denoise(case.noisy, axes=case.axes, noise=case.noise, **keywords))

        datasets.append((case.name.split(",")[0], score))
    for name, low, high in real_pairs():
        noisy, clean = (image.read().data.astype(np.float32) for image in (low, high))
        y0, x0 = (noisy.shape[0] - 256) // 2, (noisy.shape[1] - 256) // 2
        noisy, clean = noisy[y0 : y0 + 256, x0 : x0 + 256], clean[y0 : y0 + 256, x0 : x0 + 256]

        def real(keywords: dict[str, object], noisy: np.ndarray = noisy, clean: np.ndarray = clean) -> float:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return affine_psnr(clean, pxvorel.denoise(noisy, axes="YX", **keywords))

        datasets.append((f"real {name}", real))
    return datasets


def sweep(threads: int | None) -> None:
    datasets = sweep_datasets()
    table: dict[tuple[int, int, float], list[float]] = {}
    print("| radius | iterations | p-value | " + " | ".join(name for name, _ in datasets) + " |")
    print("|---|---|---|" + "---|" * len(datasets))
    for radius, iterations, pvalue in GRID:
        keywords: dict[str, object] = {
            "patch_radius": {"X": radius, "Y": radius},
            "iterations": iterations,
            "pvalue": pvalue,
            "threads": threads,
        }
        table[radius, iterations, pvalue] = [score(keywords) for _, score in datasets]
        print(
            f"| {radius} | {iterations} | {pvalue:g} | "
            + " | ".join(f"{v:.2f}" for v in table[radius, iterations, pvalue])
            + " |",
            flush=True,
        )
    best = np.max(np.array(list(table.values())), axis=0)
    print("\nmean shortfall from each dataset's best setting (dB), the best five:")
    shortfalls = {key: float(np.mean(best - np.array(values))) for key, values in table.items()}
    for key in sorted(shortfalls, key=shortfalls.__getitem__)[:5]:
        print(
            f"  radius {key[0]}, {key[1]} iterations, p-value {key[2]:g}: {shortfalls[key]:.3f} dB "
            f"(worst {float(np.max(best - np.array(table[key]))):.2f})"
        )


def unpaired(threads: int | None) -> None:
    """Estimated PSNR gain (dB, ± one standard error) of a few settings on real images."""
    images = present(UNPAIRED)
    print("\nestimated PSNR gain over the input (dB) on real images without a clean version:\n")
    print("| radius | iterations | p-value | " + " | ".join(image.name for image in images) + " |")
    print("|---|---|---|" + "---|" * len(images))
    read = [image.read() for image in images]
    for radius, iterations, pvalue in UNPAIRED_GRID:
        cells = []
        for image in read:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                _, report = pxvorel.denoise(
                    image.data,
                    axes=image.axes,
                    patch_radius={"X": radius, "Y": radius},
                    iterations=iterations,
                    pvalue=pvalue,
                    threads=threads,
                    quality=True,
                    return_report=True,
                )
            assert report.quality is not None
            cells.append(f"{report.quality.gain_db:.2f} ± {report.quality.spread_db:.2f}")
        print(f"| {radius} | {iterations} | {pvalue:g} | " + " | ".join(cells) + " |", flush=True)


def settings_table(frames: int, size: int, threads: int | None) -> None:
    """PSNR and SSIM of each of :data:`SETTINGS` on the demo series, and the default result's bias."""
    scene = demo_series(frames, size)
    model = pxvorel.estimate_noise(scene.noisy, axes="TYX")
    print(
        f"series: {frames} frames of {size} x {size}; estimated gain {model.gain[0]:.3f}, offset {model.offset[0]:.1f}"
    )
    print(f"noisy: PSNR {psnr(scene.clean, scene.noisy):.2f} dB, SSIM {ssim(scene.clean, scene.noisy):.3f}")
    print()
    print(f"| {'setting':32} | PSNR (dB) | SSIM  | seconds |")
    print(f"|{'-' * 34}|-----------|-------|---------|")
    for label, axes, radius, search in SETTINGS:
        start = time.perf_counter()
        denoised = pxvorel.denoise(
            scene.noisy, axes=axes, noise=model, patch_radius=radius, search_axes=search, threads=threads
        )
        seconds = time.perf_counter() - start
        print(
            f"| {label:32} | {psnr(scene.clean, denoised):9.2f} | {ssim(scene.clean, denoised):.3f} | {seconds:7.1f} |",
            flush=True,
        )

    denoised = pxvorel.denoise(scene.noisy, axes="TYX", noise=model, threads=threads)
    error = denoised.astype(np.float64) - scene.clean
    print()
    print("mean error of the default result against the truth, by true intensity (ADU):")
    edges = np.percentile(scene.clean, [0, 25, 50, 75, 90, 99, 100])
    for low, high in pairwise(edges):
        band = (scene.clean >= low) & (scene.clean <= high)
        print(
            f"  {low:6.0f} - {high:6.0f}: {error[band].mean():+.3f} "
            f"(noisy {np.mean(scene.noisy[band] - scene.clean[band]):+.3f})"
        )
    print(f"  all:             {error.mean():+.3f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=24)
    parser.add_argument("--size", type=int, default=256)
    parser.add_argument("--threads", type=int)
    parser.add_argument("--sweep", action="store_true", help="the grid of radius, iterations and p-value instead")
    parser.add_argument(
        "--unpaired",
        action="store_true",
        help="the estimated gain of a few settings on real images without a clean version",
    )
    args = parser.parse_args()
    if args.sweep:
        sweep(args.threads)
    if args.unpaired:
        unpaired(args.threads)
    if not (args.sweep or args.unpaired):
        settings_table(args.frames, args.size, args.threads)


if __name__ == "__main__":
    main()
