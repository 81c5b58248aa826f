"""Speed of the Gaussian denoiser with its default parameters.

Prints seconds and megavoxels per second for a 2-D image, a 3-D stack and a
2-D time series, each with 1 and 2 threads:

    tools/py314 make bench
    python3 benchmarks/bench_denoise.py --repeat 3 --threads 1,2,4
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import pxvorel._px as px

# Default parameters: patch radius and search switches in x, y, z, c, t order.
PATCH_RADIUS = [3, 3, 1, 0, 1]
NEIGHBORHOOD_AXES = [1, 1, 1, 0, 1]
MAX_ITER = 4
PVALUE = 0.01
RENOISE = 0.0
SIGMA = 10.0

CASES = [
    ("2-D 512 x 512", (512, 512)),
    ("3-D 32 x 256 x 256", (32, 256, 256)),
    ("2-D+t 10 x 256 x 256", (10, 1, 1, 256, 256)),
]


def bench_image(shape: tuple[int, ...], seed: int = 0) -> np.ndarray:
    """Smooth structure plus Gaussian noise of standard deviation SIGMA."""
    axes = np.meshgrid(*(np.linspace(0.0, 1.0, n, dtype=np.float32) for n in shape), indexing="ij")
    clean = 60.0 + 30.0 * np.sin(6.0 * axes[-1]) * np.cos(5.0 * axes[-2])
    for axis in axes[:-2]:
        clean = clean + 10.0 * axis
    noise = np.random.default_rng(seed).normal(0.0, SIGMA, size=shape)
    return (clean + noise).astype(np.float32)


def seconds_to_denoise(image: np.ndarray, nthreads: int, repeat: int) -> float:
    """Best wall time of repeat runs, each on a fresh copy of the image."""
    best = float("inf")
    for _ in range(repeat):
        work = image.copy()
        start = time.perf_counter()
        px._denoise_gaussian(work, SIGMA, PATCH_RADIUS, NEIGHBORHOOD_AXES, MAX_ITER, PVALUE, nthreads, RENOISE)
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=1, help="runs per case; the best time counts (default 1)")
    parser.add_argument("--threads", default="1,2", help="comma-separated thread counts (default 1,2)")
    args = parser.parse_args()
    thread_counts = [int(n) for n in args.threads.split(",")]

    # Warm up the thread pool and the caches once.
    seconds_to_denoise(bench_image((64, 64)), max(thread_counts), 1)

    print(f"patch radius {PATCH_RADIUS}, neighborhood axes {NEIGHBORHOOD_AXES}, max_iter {MAX_ITER}, "
          f"pvalue {PVALUE}, renoise {RENOISE}")
    print(f"{'image':<22} {'shape':<20} {'threads':>7} {'seconds':>9} {'Mvoxel/s':>9}")
    for name, shape in CASES:
        image = bench_image(shape)
        megavoxels = image.size / 1e6
        for nthreads in thread_counts:
            seconds = seconds_to_denoise(image, nthreads, args.repeat)
            print(f"{name:<22} {str(shape):<20} {nthreads:>7} {seconds:>9.2f} {megavoxels / seconds:>9.3f}",
                  flush=True)


if __name__ == "__main__":
    main()
