"""Figures on three promises of ``pxvorel.denoise``, printed as markdown.

1. Low light: the mean of flat Poisson fields (gain 1) after denoising, per photon count.
2. Units: ``denoise(k x, k noise)`` against ``k denoise(x, noise)`` over k = 1e-4 ... 1e6,
   Gaussian and Poisson-Gaussian (gain x k, offset x k**2), with and without renoise;
   the largest difference relative to the largest value.
3. The process: the OpenMP thread count after runs under OMP_NUM_THREADS=1 and inside
   threadpoolctl's limit, and whether a child forked after a 2-thread run finishes.

    tools/py314 python3 -m benchmarks.validation.promises
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import textwrap

import numpy as np

import pxvorel
from benchmarks.data import ROOT, blob_image, flat_counts
from pxvorel import NoiseModel

PHOTONS = (0.1, 0.25, 0.5, 1.0, 2.0, 5.0)
SCALES = (1e-4, 1e-2, 1.0, 3.7, 1e3, 1e6)


def low_light() -> None:
    print("| photons per pixel | mean after / before - 1 |\n|---|---|")
    for photons in PHOTONS:
        counts = flat_counts(photons)
        denoised = pxvorel.denoise(counts, axes="TYX", noise=NoiseModel([1.0], [0.0]), threads=1)
        print(f"| {photons:g} | {denoised.mean() / counts.mean() - 1:+.4f} |")


def units() -> None:
    image = blob_image()
    print("| noise | renoise | " + " | ".join(f"k={k:g}" for k in SCALES) + " |")
    print("|---|---|" + "---|" * len(SCALES))
    for label, noise in (("Gaussian 8", 8.0), ("gain 2, offset 20", NoiseModel([2.0], [20.0]))):
        for renoise in (0.0, 0.5):
            reference = pxvorel.denoise(image, noise=noise, iterations=3, renoise=renoise, threads=1).astype(np.float64)
            errors = []
            for k in SCALES:
                scaled = (
                    NoiseModel([g * k for g in noise.gain], [o * k * k for o in noise.offset])
                    if isinstance(noise, NoiseModel)
                    else noise * k
                )
                result = pxvorel.denoise(image * k, noise=scaled, iterations=3, renoise=renoise, threads=1).astype(
                    np.float64
                )
                errors.append(np.max(np.abs(result - k * reference)) / np.max(np.abs(k * reference)))
            print(f"| {label} | {renoise:g} | " + " | ".join(f"{e:.1e}" for e in errors) + " |")


PREAMBLE = """import os, numpy as np, pxvorel, threadpoolctl
from benchmarks.data import flat_noise
image = flat_noise((64, 64), mean=100.0, sigma=5.0)
def count():
    return [i['num_threads'] for i in threadpoolctl.threadpool_info() if i['prefix'] == 'libgomp'][0]
"""


def in_fresh_process(body: str, env: dict[str, str], timeout: float) -> str:
    """The output of `body` run after :data:`PREAMBLE` in a new interpreter with `env` added."""
    try:
        done = subprocess.run(
            [sys.executable, "-c", PREAMBLE + textwrap.dedent(body)],
            capture_output=True,
            text=True,
            env={**os.environ, **env},
            timeout=timeout,
            cwd=ROOT,
        )
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
        textwrap.dedent(body), "    "
    )
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.parse_args()
    low_light()
    print()
    units()
    print()
    process()


if __name__ == "__main__":
    main()
