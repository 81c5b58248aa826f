"""PSNR and CPU time (one thread) of candidate default settings per kind of image: a plane
(the camera image at sigma 25 and 10), three channels, a z-stack and a Poisson-Gaussian
time-lapse (the full-size data of ``vs_bm3d.py``), "defaults" being the default call (on planes
with its choice on tiles), against the engine alone as it ran
before the second stage (r2, 4 iterations, p-value 0.01, channels joint), whose CPU time
is the unit of the last column.

With ``--real``, instead: the estimated PSNR gain (Stein's unbiased risk estimate, with its
standard error) of the default call and of the candidates of each kind on the real images of
../shared/data of that kind (stacks and time-lapses; planes through the default call's choice),
and on the low-SNR image of a noisy/clean pair also the PSNR against the high-SNR image after an
affine intensity fit.

    tools/py314 python3 benchmarks/defaults_by_kind.py [--quick] [--only WORD] [--real]
"""

from __future__ import annotations

import argparse
import contextlib
import time
import warnings
from collections.abc import Iterator
from pathlib import Path

import numpy as np

import pxvorel
import pxvorel.run.refine as stage
from bench_refine import camera_cases, noise_of
from choose_defaults import affine_psnr
from vs_bm3d import RECORDED
from vs_peers import Case, make_cases, psnr

BEFORE: dict[str, object] = {"refine": False, "channels": "joint", "iterations": 4, "pvalue": 0.01,
                             "patch_radius": {"X": 2, "Y": 2}}


Passes = list[dict[str, tuple[int, int]]]


def setting(radius: int, iterations: int, pvalue: float, **more: object) -> dict[str, object]:
    return {"patch_radius": {"X": radius, "Y": radius}, "iterations": iterations, "pvalue": pvalue, **more}


#: Candidate settings per kind: (label, keywords, stage blocks or None for the package's).
PLANE = [("defaults", {}, None), ("r2 it4 p0.01", setting(2, 4, 0.01), None), ("r2 it4 p1e-5", setting(2, 4, 1e-5), None),
         ("r1 it3 p0.05", setting(1, 3, 0.05), None), ("r1 it4 p0.05", setting(1, 4, 0.05), None),
         ("r2 it4 p1e-3", setting(2, 4, 1e-3), None), ("r1 it4 p1e-3", setting(1, 4, 1e-3), None),
         ("r2 it4 p0.05", setting(2, 4, 0.05), None), ("r1 it5 p1e-3", setting(1, 5, 1e-3), None),
         ("r1 it3 p0.05, two passes", setting(1, 3, 0.05), list(stage.FINE_PLANE_BLOCKS)),
         ("r1 it4 p0.05, two passes", setting(1, 4, 0.05), list(stage.FINE_PLANE_BLOCKS)),
         ("r2 it4 p1e-5, two passes", setting(2, 4, 1e-5), list(stage.FINE_PLANE_BLOCKS)),
         ("r1 it3 p0.1, two passes", setting(1, 3, 0.1), list(stage.FINE_PLANE_BLOCKS)),
         ("r1 it4 p0.05, wide blocks", setting(1, 4, 0.05), list(stage.WIDE_PLANE_BLOCKS))]
CHANNELS = PLANE
SMALL = [{"Z": (6, 2), "Y": (12, 3), "X": (12, 3)}]  # the stack's stage blocks before 8 x 16 x 16
STACK = [("defaults", {}, None), ("defaults, 6x12x12", {}, SMALL), ("r1 it3 p1e-5", setting(1, 3, 1e-5), None),
         ("r1 it3 p1e-5, 6x12x12", setting(1, 3, 1e-5), SMALL), ("r1 it4 p1e-5", setting(1, 4, 1e-5), None),
         ("r2 it3 p1e-5", setting(2, 3, 1e-5), None), ("r2 it4 p0.01", setting(2, 4, 0.01), None)]
MOVIE = [("defaults", {}, None), ("defaults, one pass 8x16x16 /2,4,4", {}, [{"T": (8, 2), "Y": (16, 4), "X": (16, 4)}]), ("r2 it4 p1e-5", setting(2, 4, 1e-5), None), ("r2 it4 p0.01", setting(2, 4, 0.01), None),
         ("r1 it4 p1e-5", setting(1, 4, 1e-5), None), ("r2 it4 p1e-3", setting(2, 4, 1e-3), None),
         ("r1 it3 p1e-5", setting(1, 3, 1e-5), None), ("r2 it3 p1e-5", setting(2, 3, 1e-5), None),
         ("r1 it4 p1e-7, wide blocks", setting(1, 4, 1e-7), list(stage.WIDE_FRAME_BLOCKS))]


DATA = Path(__file__).resolve().parents[1] / ".." / "shared" / "data"
#: Real images per kind (file, axes) for --real, and the candidates run on them.
REAL = [("2dt_nuclei_mitocheck_30frames_u8.tif", "TYX"), ("2dt_cancer_cell_nuclei_48frames_u16.tif", "TYX"),
        ("3d_golgi_bfa_u16.tif", "ZYX"), ("3d_nuclear_envelope_drosophila_u8.tif", "ZYX"),
        ("3dc_spots_2ch_u16.tif", "ZCYX"), ("pair_nucleus_lowsnr_u8.tif", "YX"), ("pair_mito_confocal_lowsnr_u8.tif", "YX"),
        ("2d_microtubules_u16.tif", "YX"), ("2d_nuclei_with_background_u16.tif", "YX"),
        ("2dc_hela_dna_tubulin_actin_3ch_u16.tif", "CYX"),
        ("2d_er_exit_sites_noisy_u16.tif", "YX"), ("2dc_u2os_bbbc022_3ch_u16.tif", "CYX")]
TWO_PASSES = list(stage.FINE_PLANE_BLOCKS)  # as after the finer setting
SPARSE = {"T": (8, 3), "Y": (16, 8), "X": (16, 8)}
WIDE = [{"T": (10, 3), "Y": (24, 8), "X": (24, 8)}]
STACK_STEP3 = [{"Z": (8, 3), "Y": (16, 4), "X": (16, 4)}]
STACK_STEP5 = [{"Z": (8, 2), "Y": (16, 5), "X": (16, 5)}]
REAL_CANDIDATES: dict[str, list[tuple[str, dict[str, object], Passes | None]]] = {
    "TYX": [("p1e-7", {"pvalue": 1e-7}, None), ("10x24x24 /3,8,8", {}, WIDE),
            ("8x24x24 /2,8,8", {}, [{"T": (8, 2), "Y": (24, 8), "X": (24, 8)}]),
            ("10x16x16 /3,4,4", {}, [{"T": (10, 3), "Y": (16, 4), "X": (16, 4)}]),
            ("8x16x16 /3,8,8 then 10x24x24 /3,8,8", {}, [SPARSE, *WIDE]),
            ("8x16x16 /3,8,8 then 8x16x16 /2,4,4", {}, [SPARSE, {"T": (8, 2), "Y": (16, 4), "X": (16, 4)}]),
            ("8x16x16 /3,8,8 then 8x16x16 /3,4,4", {}, [SPARSE, {"T": (8, 3), "Y": (16, 4), "X": (16, 4)}]),
            ("8x16x16 /3,8,8 then 8x24x24 /2,8,8", {}, [SPARSE, {"T": (8, 2), "Y": (24, 8), "X": (24, 8)}])],
    "ZYX": [("8x16x16 /3,4,4", {}, STACK_STEP3), ("8x16x16 /2,5,5", {}, STACK_STEP5),
            ("Z radius 0", {"patch_radius": {"Z": 0}}, None)],
    "ZCYX": [("8x16x16 /3,4,4", {}, STACK_STEP3), ("8x16x16 /2,5,5", {}, STACK_STEP5),
             ("Z radius 0", {"patch_radius": {"Z": 0}}, None)],
    "YX": [("two passes after the default setting too", {}, TWO_PASSES)],
    "CYX": [("two passes after the default setting too", {}, TWO_PASSES)]}


@contextlib.contextmanager
def stage_blocks(axes: str, blocks: Passes | None) -> Iterator[None]:
    """The package's stage blocks for images of `axes` replaced by `blocks` (None: kept) meanwhile."""
    saved = list(stage.STACK_BLOCKS), list(stage.FRAME_BLOCKS), list(stage.PLANE_BLOCKS)
    if blocks is not None:
        target = stage.STACK_BLOCKS if "Z" in axes else stage.FRAME_BLOCKS if "T" in axes else stage.PLANE_BLOCKS
        target.clear()
        target.extend(blocks)
    try:
        yield
    finally:
        for table, old in zip((stage.STACK_BLOCKS, stage.FRAME_BLOCKS, stage.PLANE_BLOCKS), saved, strict=True):
            table.clear()
            table.extend(old)


def real(only: str, label_word: str) -> None:
    """Estimated PSNR gain of the default call and the kind's candidates on the real images present."""
    print("| real image | setting | estimated gain dB | PSNR dB against the high-SNR image | CPU s |")
    print("|---|---|---|---|---|")
    for name, axes in REAL:
        if only not in name or not (DATA / name).exists():
            continue
        image = pxvorel.read_image(DATA / name, axes=axes)
        high = DATA / name.replace("lowsnr", "highsnr")
        clean = pxvorel.read_image(high).data if "lowsnr" in name and high.exists() else None
        for label, keywords, blocks in [("defaults", {}, None), *REAL_CANDIDATES[axes]]:
            if label_word not in label and label != "defaults":
                continue
            with stage_blocks(axes, blocks), warnings.catch_warnings():
                warnings.simplefilter("ignore")
                start = time.process_time()
                result, report = pxvorel.denoise(image.data, axes=image.axes, threads=1, quality=True, return_report=True,
                                            **keywords)
                seconds = time.process_time() - start
            assert report.quality is not None
            paired = f"{affine_psnr(clean, result):.2f}" if clean is not None else ""
            print(f"| {name.removesuffix('.tif')} | {label} | {report.quality.gain_db:.2f} ± "
                  f"{report.quality.spread_db:.2f} | {paired} | {seconds:.1f} |", flush=True)


def candidates(case: Case) -> list[tuple[str, dict[str, object], Passes | None]]:
    return {"ZYX": STACK, "TYX": MOVIE, "CYX": CHANNELS}.get(case.axes, PLANE)


def run(case: Case, keywords: dict[str, object]) -> tuple[float, float]:
    start = time.process_time()
    result = pxvorel.denoise(case.noisy, axes=case.axes, noise=noise_of(case), threads=1, **keywords)
    return psnr(case.clean, result), time.process_time() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", default="", help="only the data whose name holds this word")
    parser.add_argument("--real", action="store_true", help="the estimated gain on the real images instead")
    parser.add_argument("--setting", default="", help="with --real: only the candidates whose label holds this")
    args = parser.parse_args()
    if args.real:
        real(args.only, args.setting)
        return
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
            with stage_blocks(case.axes, blocks):
                quality, seconds = run(case, keywords)
            print(f"| {case.name} | {label} | {quality:.2f} | {seconds:.2f} | {quality - peer:+.2f} | "
                  f"{seconds / base:.2f} |", flush=True)


if __name__ == "__main__":
    np.seterr(all="ignore")
    main()
