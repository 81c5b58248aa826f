"""Quality and CPU time against the best classical denoisers, BM3D (2-D) and BM4D (3-D),
side by side in one run on the benchmark data: the camera image with Gaussian noise of
sigma 25 and 10, and the synthetic three channels, z-stack and Poisson-Gaussian
time-lapse of ``vs_peers.py``, each with its known noise.

pxvorel runs on one thread three ways: as it ran before the second stage and the
per-image parameters ("engine alone": patch radius 2 (Z and T 1), 4 iterations, p-value
0.01, channels joint, no second stage), with today's defaults, and tuned per image (``tune=True``). BM3D and
BM4D come from PyPI into ``build/peers`` (``make bench`` installs them there where the
package index is reachable); without them the figures recorded on this machine's kind
are shown instead, marked as such. The Poisson-Gaussian time-lapse goes to BM4D through
the generalised Anscombe transform (unit noise) and its algebraic inverse.

    tools/py314 python3 benchmarks/vs_bm3d.py            # full sizes (BM4D takes minutes)
    tools/py314 python3 benchmarks/vs_bm3d.py --quick    # smaller data
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

import pxvorel
from bench_refine import camera_cases, noise_of
from vs_peers import Case, anscombe, inverse_anscombe, make_cases, psnr

PEERS = Path(__file__).resolve().parents[1] / "build" / "peers"

#: BM3D/BM4D on the full-size data (PSNR dB, CPU s), measured on a machine of this kind
#: with bm3d 4.0.3 and bm4d 4.2.5; shown when they are not installed.
RECORDED = {"camera 512², σ 25": (29.91, 12.4), "camera 512², σ 10": (34.24, 12.3),
            "3 channels 256², σ 10/20/5": (38.75, 9.8), "stack 32×256², σ 15, z radius 1": (42.43, 184.0),
            "time-lapse 10×256², Poisson-Gaussian, t radius 1": (42.40, 80.7)}

Denoiser = Callable[[np.ndarray], np.ndarray]


def peers() -> tuple[object, object] | None:
    """The bm3d and bm4d modules from build/peers, or None."""
    sys.path.insert(0, str(PEERS))
    try:
        import bm3d
        import bm4d
    except ImportError:
        return None
    return bm3d, bm4d


def classical(case: Case, bm3d: object, bm4d: object) -> tuple[str, Denoiser]:
    """BM3D per 2-D plane (per channel with its sigma), BM4D on a stack or time-lapse."""
    if case.gain > 0:
        gain, read = case.gain, case.sigma[0]

        def movie(a: np.ndarray) -> np.ndarray:
            stabilised = anscombe(a, gain, read)
            return inverse_anscombe(np.asarray(bm4d.bm4d(stabilised, 1.0)), gain, read)  # type: ignore[attr-defined]

        return "BM4D (Anscombe)", movie
    if case.axes == "ZYX":
        return "BM4D", lambda a: np.asarray(bm4d.bm4d(a, case.sigma[0]))  # type: ignore[attr-defined]
    if case.axes == "CYX":
        return "BM3D per channel", lambda a: np.stack([np.asarray(bm3d.bm3d(p, s))  # type: ignore[attr-defined]
                                                       for p, s in zip(a, case.sigma, strict=True)])
    return "BM3D", lambda a: np.asarray(bm3d.bm3d(a, case.sigma[0]))  # type: ignore[attr-defined]


def ours(case: Case) -> dict[str, Denoiser]:
    noise = noise_of(case)

    def run(**keywords: object) -> Denoiser:
        return lambda a: pxvorel.denoise(a, axes=case.axes, noise=noise, threads=1, **keywords)

    before = {a: r for a, r in {"X": 2, "Y": 2, "Z": 1, "T": 1}.items() if a in case.axes}
    return {"pxvorel engine alone (as before)": run(refine=False, patch_radius=before, iterations=4, pvalue=0.01,
                                                    channels="joint"),
            "pxvorel defaults": run(),
            "pxvorel tune=True": run(tune=True)}


def cpu_seconds(denoise: Denoiser, noisy: np.ndarray) -> tuple[float, np.ndarray]:
    start = time.process_time()
    result = denoise(noisy)
    return time.process_time() - start, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="the smaller synthetic data of vs_peers --quick")
    args = parser.parse_args()
    modules = peers()
    print("## Against BM3D / BM4D (PSNR dB; CPU seconds, pxvorel on one thread)\n")
    if modules is None:
        print("BM3D/BM4D are not installed in build/peers: their figures are the recorded ones "
              "(full sizes only).\n")
    print("| data | tool | PSNR dB | CPU s | dB against BM3D/BM4D | share of their CPU | × engine alone's CPU |")
    print("|---|---|---|---|---|---|---|")
    for case in [*camera_cases(), *make_cases(args.quick)]:
        if modules is not None:
            label, denoise = classical(case, *modules)
            seconds, result = cpu_seconds(denoise, case.noisy)
            theirs = (psnr(case.clean, result), seconds)
        elif case.name in RECORDED:
            label, theirs = "BM3D/BM4D (recorded)", RECORDED[case.name]
        else:
            label, theirs = "", (float("nan"), float("nan"))
        base = None
        for name, denoise in ours(case).items():
            seconds, result = cpu_seconds(denoise, case.noisy)
            base = seconds if base is None else base
            quality = psnr(case.clean, result)
            print(f"| {case.name} | {name} | {quality:.2f} | {seconds:.2f} | {quality - theirs[0]:+.2f} | "
                  f"{seconds / theirs[1]:.3f} | {seconds / base:.2f} |", flush=True)
        if label:
            print(f"| {case.name} | {label} | {theirs[0]:.2f} | {theirs[1]:.1f} | | | |", flush=True)


if __name__ == "__main__":
    main()
