"""Figures on three promises of ``pxvorel.denoise``, printed as markdown.

1. Low light: the mean of flat Poisson fields (gain 1) after denoising, per photon count.
2. Units: ``denoise(k x, k noise)`` against ``k denoise(x, noise)`` over k = 1e-4 ... 1e6,
   Gaussian and Poisson-Gaussian (gain x k, offset x k**2), with and without renoise;
   the largest difference relative to the largest value.
3. The process: the OpenMP thread count after runs under OMP_NUM_THREADS=1 and inside
   threadpoolctl's limit, and whether a child forked after a 2-thread run finishes.
"""

from __future__ import annotations

import subprocess
import sys
import textwrap

import numpy as np

import pxvorel
from pxvorel import NoiseModel


def low_light() -> None:
    print("| photons per pixel | mean after / before - 1 |\n|---|---|")
    for photons in (0.1, 0.25, 0.5, 1.0, 2.0, 5.0):
        counts = np.random.default_rng(int(photons * 100)).poisson(photons, (8, 96, 96)).astype(np.float32)
        denoised = pxvorel.denoise(counts, axes="TYX", noise=NoiseModel([1.0], [0.0]), threads=1)
        print(f"| {photons:g} | {denoised.mean() / counts.mean() - 1:+.4f} |")


def units() -> None:
    rng = np.random.default_rng(8)
    y, x = np.mgrid[0:64, 0:64]
    clean = 20.0 + 280.0 * np.exp(-((y - 30.0) ** 2 + (x - 25.0) ** 2) / 200.0)
    image = clean + rng.normal(0.0, 1.0, clean.shape) * np.sqrt(2.0 * clean + 20.0)
    scales = (1e-4, 1e-2, 1.0, 3.7, 1e3, 1e6)
    print("| noise | renoise | " + " | ".join(f"k={k:g}" for k in scales) + " |")
    print("|---|---|" + "---|" * len(scales))
    for label, noise in (("Gaussian 8", 8.0), ("gain 2, offset 20", NoiseModel([2.0], [20.0]))):
        for renoise in (0.0, 0.5):
            settings = dict(iterations=3, renoise=renoise, threads=1)
            reference = pxvorel.denoise(image, noise=noise, **settings).astype(np.float64)
            errors = []
            for k in scales:
                scaled = (NoiseModel([g * k for g in noise.gain], [o * k * k for o in noise.offset])
                          if isinstance(noise, NoiseModel) else noise * k)
                result = pxvorel.denoise(image * k, noise=scaled, **settings).astype(np.float64)
                errors.append(np.max(np.abs(result - k * reference)) / np.max(np.abs(k * reference)))
            print(f"| {label} | {renoise:g} | " + " | ".join(f"{e:.1e}" for e in errors) + " |")


def in_fresh_process(body: str, env: dict[str, str], timeout: float) -> str:
    import os

    script = "import os, numpy as np, pxvorel, threadpoolctl\nimage = np.random.default_rng(0).normal(100, 5, (64, 64))\n"
    script += "def count():\n    return [i['num_threads'] for i in threadpoolctl.threadpool_info() if i['prefix'] == 'libgomp'][0]\n"
    try:
        done = subprocess.run([sys.executable, "-c", script + textwrap.dedent(body)], capture_output=True, text=True,
                              env={**os.environ, **env}, timeout=timeout)
        return done.stdout.strip() or done.stderr.strip().splitlines()[-1]
    except subprocess.TimeoutExpired:
        return f"no answer after {timeout:g} s (hangs)"


def process() -> None:
    print("| case | thread count before, after default run, after threads=2 run |\n|---|---|")
    body = """
        before = count()
        pxvorel.denoise(image, noise=5.0, iterations=1)
        middle = count()
        pxvorel.denoise(image, noise=5.0, iterations=1, threads=2)
        print(before, middle, count())
    """
    print(f"| OMP_NUM_THREADS=1 | {in_fresh_process(body, {'OMP_NUM_THREADS': '1'}, 120)} |")
    limited = "with threadpoolctl.threadpool_limits(1, user_api='openmp'):\n" + textwrap.indent(
        textwrap.dedent(body), "    ")
    print(f"| threadpool_limits(1), OMP_NUM_THREADS=2 | {in_fresh_process(limited, {'OMP_NUM_THREADS': '2'}, 120)} |")
    fork = """
        pxvorel.denoise(image, noise=5.0, iterations=2, threads=2)
        pid = os.fork()
        if pid == 0:
            pxvorel.denoise(image, noise=5.0, iterations=2, threads=2)
            os._exit(0)
        print("child exit status", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    """
    print(f"| fork after a 2-thread run | {in_fresh_process(fork, {'OMP_NUM_THREADS': '2'}, 30)} |")


if __name__ == "__main__":
    low_light()
    print()
    units()
    print()
    process()
