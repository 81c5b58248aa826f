"""Speed of the Gaussian denoiser: the native engine call beside the package's.

For a 2-D image, a 3-D stack and a 2-D time series (a smooth wave with Gaussian noise of
known sigma), with each thread count, the best wall seconds and megavoxels per second of

- ``_px._denoise_gaussian`` with the engine's parameters (patch radius x 3, y 3, z 1, t 1,
  4 iterations, p-value 0.01);
- ``pxvorel.denoise`` with the same parameters and no second stage (the package's own work
  around the engine: unit noise and back, bands or the engine's threads);
- ``pxvorel.denoise`` as the default call runs it with the known sigma (its own parameters,
  the second stage and, on the plane, its choice on tiles):

    tools/py314 python3 -m benchmarks.speed.engine [--repeat 3] [--threads 1,2,4]
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable

import numpy as np

import pxvorel
import pxvorel._px as px
from benchmarks.data import wave_image
from benchmarks.timing import best

#: The engine's parameters: patch radius and search switches in x, y, z, c, t order.
PATCH_RADIUS = [3, 3, 1, 0, 1]
NEIGHBORHOOD_AXES = [1, 1, 1, 0, 1]
MAX_ITER = 4
PVALUE = 0.01
RENOISE = 0.0

#: (name, shape, the package's axes for it).
CASES = [
    ("2-D 512 x 512", (512, 512), "YX"),
    ("3-D 32 x 256 x 256", (32, 256, 256), "ZYX"),
    ("2-D+t 10 x 256 x 256", (10, 1, 1, 256, 256), "TCZYX"),
]


def engine_seconds(image: np.ndarray, sigma: float, threads: int, repeat: int) -> float:
    """Best wall seconds of `repeat` engine calls, each on a fresh copy (the call works in place)."""
    seconds = float("inf")
    for _ in range(repeat):
        work = image.copy()
        start = time.perf_counter()
        px._denoise_gaussian(work, sigma, PATCH_RADIUS, NEIGHBORHOOD_AXES, MAX_ITER, PVALUE, threads, RENOISE)
        seconds = min(seconds, time.perf_counter() - start)
    return seconds


def package_runs(image: np.ndarray, axes: str, sigma: float, threads: int) -> dict[str, Callable[[], object]]:
    """The package with the engine's parameters (no second stage), and its default call."""
    radius = {a: r for a, r in zip("XYZ", PATCH_RADIUS[:3], strict=True)} | {"T": PATCH_RADIUS[4]}
    radius = {a: r for a, r in radius.items() if a in axes}
    same = {"patch_radius": radius, "iterations": MAX_ITER, "pvalue": PVALUE, "refine": False, "channels": "joint"}
    return {
        "same": lambda: pxvorel.denoise(image, axes=axes, noise=sigma, threads=threads, **same),
        "default": lambda: pxvorel.denoise(image, axes=axes, noise=sigma, threads=threads),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=1, help="runs per case; the best time counts (default 1)")
    parser.add_argument("--threads", default="1,2", help="comma-separated thread counts (default 1,2)")
    parser.add_argument("--sigma", type=float, default=10.0, help="the noise's standard deviation (default 10)")
    args = parser.parse_args()
    thread_counts = [int(n) for n in args.threads.split(",")]

    # Warm up the thread pool and the caches once.
    engine_seconds(wave_image((64, 64), args.sigma), args.sigma, max(thread_counts), 1)

    print(
        f"engine: patch radius {PATCH_RADIUS}, neighborhood axes {NEIGHBORHOOD_AXES}, max_iter {MAX_ITER}, "
        f"pvalue {PVALUE}, renoise {RENOISE}; sigma {args.sigma:g}"
    )
    print("package: the same parameters without the second stage, and the default call with the known sigma")
    print(
        f"{'image':<22} {'shape':<20} {'threads':>7} {'seconds':>9} {'Mvoxel/s':>9} "
        f"{'package s':>10} {'Mvoxel/s':>9} {'default s':>10} {'Mvoxel/s':>9}"
    )
    for name, shape, axes in CASES:
        image = wave_image(shape, args.sigma)
        megavoxels = image.size / 1e6
        for threads in thread_counts:
            seconds = engine_seconds(image, args.sigma, threads, args.repeat)
            runs = package_runs(image, axes, args.sigma, threads)
            same, default = (best(runs[k], args.repeat) for k in ("same", "default"))
            print(
                f"{name:<22} {shape!s:<20} {threads:>7} {seconds:>9.2f} {megavoxels / seconds:>9.3f} "
                f"{same:>10.2f} {megavoxels / same:>9.3f} {default:>10.2f} {megavoxels / default:>9.3f}",
                flush=True,
            )


if __name__ == "__main__":
    main()
