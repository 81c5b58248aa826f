"""PSNR and CPU time (one thread) of candidate default settings per kind of image: a plane
(the camera image at sigma 25 and 10), three channels, a z-stack and a Poisson-Gaussian
time-lapse (the full-size data of ``vs_bm3d.py``), "defaults" being the default call (on planes
with its choice on tiles), against the engine alone as it ran
before the second stage (r2, 4 iterations, p-value 0.01, channels joint), whose CPU time
is the unit of the last column.

    tools/py314 python3 benchmarks/defaults_by_kind.py [--quick] [--only WORD]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import pxvorel
import pxvorel.run.refine as stage
from bench_refine import camera_cases, noise_of
from vs_bm3d import RECORDED
from vs_peers import Case, make_cases, psnr

BEFORE: dict[str, object] = {"refine": False, "channels": "joint", "iterations": 4, "pvalue": 0.01,
                             "patch_radius": {"X": 2, "Y": 2}}


def setting(radius: int, iterations: int, pvalue: float, **more: object) -> dict[str, object]:
    return {"patch_radius": {"X": radius, "Y": radius}, "iterations": iterations, "pvalue": pvalue, **more}


#: Candidate settings per kind: (label, keywords, stage blocks or None for the package's).
PLANE = [("defaults", {}, None), ("r2 it4 p0.01", setting(2, 4, 0.01), None), ("r2 it4 p1e-5", setting(2, 4, 1e-5), None),
         ("r1 it3 p0.05", setting(1, 3, 0.05), None), ("r1 it4 p0.05", setting(1, 4, 0.05), None),
         ("r2 it4 p1e-3", setting(2, 4, 1e-3), None), ("r1 it4 p1e-3", setting(1, 4, 1e-3), None),
         ("r2 it4 p0.05", setting(2, 4, 0.05), None), ("r1 it5 p1e-3", setting(1, 5, 1e-3), None)]
CHANNELS = PLANE
SMALL = {"Z": (6, 2), "Y": (12, 3), "X": (12, 3)}  # the stack's stage blocks before 8 x 16 x 16
STACK = [("defaults", {}, None), ("defaults, 6x12x12", {}, SMALL), ("r1 it3 p1e-5", setting(1, 3, 1e-5), None),
         ("r1 it3 p1e-5, 6x12x12", setting(1, 3, 1e-5), SMALL), ("r1 it4 p1e-5", setting(1, 4, 1e-5), None),
         ("r2 it3 p1e-5", setting(2, 3, 1e-5), None), ("r2 it4 p0.01", setting(2, 4, 0.01), None)]
MOVIE = [("defaults", {}, None), ("r2 it4 p1e-5", setting(2, 4, 1e-5), None), ("r2 it4 p0.01", setting(2, 4, 0.01), None),
         ("r1 it4 p1e-5", setting(1, 4, 1e-5), None), ("r2 it4 p1e-3", setting(2, 4, 1e-3), None),
         ("r1 it3 p1e-5", setting(1, 3, 1e-5), None), ("r2 it3 p1e-5", setting(2, 3, 1e-5), None)]


def candidates(case: Case) -> list[tuple[str, dict[str, object], dict[str, tuple[int, int]] | None]]:
    return {"ZYX": STACK, "TYX": MOVIE, "CYX": CHANNELS}.get(case.axes, PLANE)


def run(case: Case, keywords: dict[str, object]) -> tuple[float, float]:
    start = time.process_time()
    result = pxvorel.denoise(case.noisy, axes=case.axes, noise=noise_of(case), threads=1, **keywords)
    return psnr(case.clean, result), time.process_time() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", default="", help="only the data whose name holds this word")
    args = parser.parse_args()
    print("| data | setting | PSNR dB | CPU s | dB against BM3D/BM4D (recorded) | × before's CPU |")
    print("|---|---|---|---|---|---|")
    for case in [*camera_cases(), *make_cases(args.quick)]:
        if args.only not in case.name:
            continue
        peer = RECORDED.get(case.name, (float("nan"), float("nan")))[0]
        quality, base = run(case, BEFORE)
        print(f"| {case.name} | before (engine alone) | {quality:.2f} | {base:.2f} | {quality - peer:+.2f} | 1.00 |",
              flush=True)
        for label, keywords, blocks in candidates(case):
            saved = dict(stage.STACK_BLOCKS), dict(stage.FRAME_BLOCKS), dict(stage.PLANE_BLOCKS)
            if blocks is not None:
                target = {"ZYX": stage.STACK_BLOCKS, "TYX": stage.FRAME_BLOCKS}.get(case.axes, stage.PLANE_BLOCKS)
                target.clear()
                target.update(blocks)
            try:
                quality, seconds = run(case, keywords)
            finally:
                for table, old in zip((stage.STACK_BLOCKS, stage.FRAME_BLOCKS, stage.PLANE_BLOCKS), saved, strict=True):
                    table.clear()
                    table.update(old)
            print(f"| {case.name} | {label} | {quality:.2f} | {seconds:.2f} | {quality - peer:+.2f} | "
                  f"{seconds / base:.2f} |", flush=True)


if __name__ == "__main__":
    np.seterr(all="ignore")
    main()
