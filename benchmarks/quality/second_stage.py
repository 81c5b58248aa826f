"""The second stage: PSNR and CPU seconds of ``pxvorel.denoise`` with and without it.

The DCT Wiener filter after the patch averaging, each run on one thread.

Data: the camera image (scikit-image) with Gaussian noise of sigma 25 and 10, and the
benchmarks' synthetic cases (a 2-D image, three channels of different noise, a z-stack, a
Poisson-Gaussian time-lapse), each with its known noise model. The stage's own speed is
``benchmarks.speed.stage``.

    tools/py314 python3 -m benchmarks.quality.second_stage [--quick]
"""

from __future__ import annotations

import argparse

import pxvorel
from benchmarks.data import Case, benchmark_cases, camera_cases
from benchmarks.measures import psnr
from benchmarks.timing import cpu


def with_and_without(case: Case) -> list[tuple[float, float]]:
    """(PSNR, CPU seconds) of one-thread runs without and with the stage."""
    found = []
    for refine in (False, True):
        seconds, result = cpu(
            lambda refine=refine: pxvorel.denoise(
                case.noisy, axes=case.axes, noise=case.noise, threads=1, refine=refine
            )
        )
        found.append((psnr(case.clean, result), seconds))
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="the smaller synthetic data")
    args = parser.parse_args()
    print("| data | PSNR without | PSNR with | gain dB | CPU s without | CPU s with |")
    print("|---|---|---|---|---|---|")
    for case in [*camera_cases(), *benchmark_cases(args.quick)]:
        (p0, s0), (p1, s1) = with_and_without(case)
        print(f"| {case.name} | {p0:.2f} | {p1:.2f} | {p1 - p0:+.2f} | {s0:.2f} | {s1:.2f} |", flush=True)


if __name__ == "__main__":
    main()
