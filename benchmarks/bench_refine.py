"""The second stage (DCT Wiener filter after the patch averaging): PSNR and CPU seconds of
``pxvorel.denoise`` with and without it, one thread, and the stage's own speed.

Data: the camera image (scikit-image) with Gaussian noise of sigma 25 and 10, and the
synthetic cases of ``vs_peers.py`` (a 2-D image, three channels of different noise, a
z-stack, a Poisson-Gaussian time-lapse), each with its known noise model. Then the
stage alone (all its passes of ``_engine.wiener``) on a 512² plane and a 32×256² stack with the package's
block shapes, on 1 and 2 threads (wall seconds; the result is the same on both):

    tools/py314 python3 benchmarks/bench_refine.py            # full sizes
    tools/py314 python3 benchmarks/bench_refine.py --quick    # smaller data
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import pxvorel
from pxvorel.run.refine import Blocks, refine
from vs_peers import Case, make_cases, psnr


def camera_cases() -> list[Case]:
    try:
        from skimage import data
    except ImportError:
        return []
    clean = data.camera().astype(np.float32)
    rng = np.random.default_rng(5)
    return [Case(f"camera 512², σ {s}", clean, (clean + rng.normal(0, s, clean.shape)).astype(np.float32), "YX",
                 [float(s)]) for s in (25, 10)]


def noise_of(case: Case) -> object:
    if case.gain > 0:
        return pxvorel.NoiseModel(gain=[case.gain], offset=[case.sigma[0] ** 2])
    if len(case.sigma) > 1:
        return pxvorel.NoiseModel(gain=[0.0] * len(case.sigma), offset=[s * s for s in case.sigma])
    return case.sigma[0]


def cpu_run(case: Case, refine: bool) -> tuple[float, float]:
    """PSNR and CPU seconds of one run on one thread."""
    start = time.process_time()
    result = pxvorel.denoise(case.noisy, axes=case.axes, noise=noise_of(case), threads=1, refine=refine)
    return psnr(case.clean, result), time.process_time() - start


def stage_alone(shape: tuple[int, ...], threads: int, repeat: int) -> float:
    """Best wall seconds of the stage on random data of a (T, C, Z, Y, X) shape."""
    rng = np.random.default_rng(0)
    noisy = rng.normal(5.0, 1.0, shape).astype(np.float32)
    pilot = (noisy * 0.5).astype(np.float32)
    blocks = Blocks.for_shape(shape)
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        refine(noisy, pilot, blocks, threads=threads)
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="the smaller synthetic data of vs_peers --quick")
    parser.add_argument("--repeat", type=int, default=3, help="runs of the stage alone; the best counts")
    args = parser.parse_args()

    print("| data | PSNR without | PSNR with | gain dB | CPU s without | CPU s with |")
    print("|---|---|---|---|---|---|")
    for case in [*camera_cases(), *make_cases(args.quick)]:
        (p0, s0), (p1, s1) = cpu_run(case, False), cpu_run(case, True)
        print(f"| {case.name} | {p0:.2f} | {p1:.2f} | {p1 - p0:+.2f} | {s0:.2f} | {s1:.2f} |", flush=True)

    print("\n| stage alone | blocks | 1 thread s | 2 threads s | speed-up |")
    print("|---|---|---|---|---|")
    for name, shape in [("plane 512²", (1, 1, 1, 512, 512)), ("stack 32×256²", (1, 1, 32, 256, 256)),
                        ("time-lapse 10×256²", (10, 1, 1, 256, 256))]:
        described = " then ".join(
            "×".join(str(p.size[a]) for a in "TZYX" if p.size[a] > 1) + " step "
            + ",".join(str(p.step[a]) for a in "TZYX" if p.size[a] > 1) for p in Blocks.for_shape(shape).passes())
        one, two = stage_alone(shape, 1, args.repeat), stage_alone(shape, 2, args.repeat)
        print(f"| {name} | {described} | {one:.3f} | {two:.3f} | {one / two:.2f}× |", flush=True)


if __name__ == "__main__":
    main()
