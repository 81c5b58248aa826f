"""Quality and CPU time against BM3D (2-D) and BM4D (3-D).

The best classical denoisers side by side with pxvorel in one run on the benchmark data: the
camera image with Gaussian noise of sigma 25 and 10, and the synthetic three channels, z-stack
and Poisson-Gaussian time-lapse (``benchmarks.data``), each with its known noise.

pxvorel runs on one thread three ways: the patch averaging alone with fixed parameters
("engine alone": patch radius 2 (Z and T 1), 4 iterations, p-value 0.01, channels joint,
no second stage), the default call, and tuned per image (``tune=True``). BM3D and BM4D
come from the package index into ``build/peers`` (``make bench`` installs them there where
the index is reachable); without them the figures recorded on a machine of this kind are
shown instead, marked as such. The Poisson-Gaussian time-lapse goes to BM4D through the
generalised Anscombe transform (unit noise) and its algebraic inverse.

    tools/py314 python3 -m benchmarks.quality.vs_bm3d            # full sizes (BM4D takes minutes)
    tools/py314 python3 -m benchmarks.quality.vs_bm3d --quick    # smaller data
"""

from __future__ import annotations

import argparse

import pxvorel
from benchmarks.data import Case, benchmark_cases, camera_cases
from benchmarks.measures import psnr
from benchmarks.peers import RECORDED, Denoiser, bm3d_modules, bm3d_or_bm4d
from benchmarks.timing import cpu

#: The patch averaging alone: fixed parameters, channels joint, no second stage.
ENGINE_ALONE: dict[str, object] = {"refine": False, "iterations": 4, "pvalue": 0.01, "channels": "joint"}
ENGINE_ALONE_RADIUS = {"X": 2, "Y": 2, "Z": 1, "T": 1}


def ours(case: Case) -> dict[str, Denoiser]:
    """pxvorel's three ways, each on one thread with the known noise."""

    def run(**keywords: object) -> Denoiser:
        return lambda a: pxvorel.denoise(a, axes=case.axes, noise=case.noise, threads=1, **keywords)

    radius = {a: r for a, r in ENGINE_ALONE_RADIUS.items() if a in case.axes}
    return {
        "pxvorel engine alone": run(patch_radius=radius, **ENGINE_ALONE),
        "pxvorel defaults": run(),
        "pxvorel tune=True": run(tune=True),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="the smaller synthetic data")
    args = parser.parse_args()
    modules = bm3d_modules()
    print("## Against BM3D / BM4D (PSNR dB; CPU seconds, pxvorel on one thread)\n")
    if modules is None:
        print("BM3D/BM4D are not installed in build/peers: their figures are the recorded ones (full sizes only).\n")
    print("| data | tool | PSNR dB | CPU s | dB against BM3D/BM4D | share of their CPU | × engine alone's CPU |")
    print("|---|---|---|---|---|---|---|")
    for case in [*camera_cases(), *benchmark_cases(args.quick)]:
        if modules is not None:
            label, denoise = bm3d_or_bm4d(case, *modules)
            seconds, result = cpu(lambda denoise=denoise: denoise(case.noisy))
            theirs = (psnr(case.clean, result), seconds)
        elif case.name in RECORDED:
            label, theirs = "BM3D/BM4D (recorded)", RECORDED[case.name]
        else:
            label, theirs = "", (float("nan"), float("nan"))
        base = None
        for name, denoise in ours(case).items():
            seconds, result = cpu(lambda denoise=denoise: denoise(case.noisy))
            base = seconds if base is None else base
            quality = psnr(case.clean, result)
            print(
                f"| {case.name} | {name} | {quality:.2f} | {seconds:.2f} | {quality - theirs[0]:+.2f} | "
                f"{seconds / theirs[1]:.3f} | {seconds / base:.2f} |",
                flush=True,
            )
        if label:
            print(f"| {case.name} | {label} | {theirs[0]:.2f} | {theirs[1]:.1f} | | | |", flush=True)


if __name__ == "__main__":
    main()
