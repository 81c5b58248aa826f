"""PSNR and CPU time of candidate default settings per kind of image.

On one thread: a plane (the camera image at sigma 25 and 10), three channels, a z-stack and a
Poisson-Gaussian time-lapse (the benchmark data, full size unless ``--quick``), "defaults"
being the default call (on planes and time-lapses with its choice on tiles), against the patch
averaging alone with fixed parameters (radius 2, 4 iterations, p-value 0.01, channels joint,
no second stage), whose CPU time is the unit of the last column.

With ``--real``, instead: the estimated PSNR gain (Stein's unbiased risk estimate, with its
standard error) of the default call and of the candidates of each kind on the real images of
that kind (stacks and time-lapses; planes through the default call's choice), and on the
low-SNR image of a noisy/clean pair also the PSNR against the high-SNR image after an affine
intensity fit.

Candidates with other passes of the second stage run through ``benchmarks.stage_passes``;
where the default call's choice runs, it compares its settings with the package's own passes.

    tools/py314 python3 -m benchmarks.quality.defaults_by_kind [--quick] [--only WORD] [--real [--setting WORD]]
"""

from __future__ import annotations

import argparse
import warnings
from collections.abc import Mapping

import numpy as np

import pxvorel
import pxvorel.run.refine as stage
from benchmarks.data import Case, benchmark_cases, camera_cases, present
from benchmarks.measures import affine_psnr, psnr
from benchmarks.peers import RECORDED
from benchmarks.stage_passes import Passes, denoise_with_passes
from benchmarks.timing import cpu

#: The patch averaging alone, the unit of the CPU column.
ENGINE_ALONE: dict[str, object] = {
    "refine": False,
    "channels": "joint",
    "iterations": 4,
    "pvalue": 0.01,
    "patch_radius": {"X": 2, "Y": 2},
}
#: A candidate: label, keywords of ``pxvorel.denoise``, and the stage's passes (None: the package's).
Candidate = tuple[str, dict[str, object], Passes | None]


def setting(radius: int, iterations: int, pvalue: float) -> dict[str, object]:
    return {"patch_radius": {"X": radius, "Y": radius}, "iterations": iterations, "pvalue": pvalue}


#: Candidate settings per kind of synthetic data.
PLANE: list[Candidate] = [
    ("defaults", {}, None),
    ("r2 it4 p0.01", setting(2, 4, 0.01), None),
    ("r2 it4 p1e-5", setting(2, 4, 1e-5), None),
    ("r1 it3 p0.05", setting(1, 3, 0.05), None),
    ("r1 it4 p0.05", setting(1, 4, 0.05), None),
    ("r2 it4 p1e-3", setting(2, 4, 1e-3), None),
    ("r1 it4 p1e-3", setting(1, 4, 1e-3), None),
    ("r2 it4 p0.05", setting(2, 4, 0.05), None),
    ("r1 it5 p1e-3", setting(1, 5, 1e-3), None),
    ("r1 it3 p0.05, two passes", setting(1, 3, 0.05), stage.FINE_PLANE_BLOCKS),
    ("r1 it4 p0.05, two passes", setting(1, 4, 0.05), stage.FINE_PLANE_BLOCKS),
    ("r2 it4 p1e-5, two passes", setting(2, 4, 1e-5), stage.FINE_PLANE_BLOCKS),
    ("r1 it3 p0.1, two passes", setting(1, 3, 0.1), stage.FINE_PLANE_BLOCKS),
    ("r1 it4 p0.05, wide blocks", setting(1, 4, 0.05), stage.WIDE_PLANE_BLOCKS),
]
SMALL_STACK_BLOCKS = [{"Z": (6, 2), "Y": (12, 3), "X": (12, 3)}]
STACK: list[Candidate] = [
    ("defaults", {}, None),
    ("defaults, 6x12x12", {}, SMALL_STACK_BLOCKS),
    ("r1 it3 p1e-5", setting(1, 3, 1e-5), None),
    ("r1 it3 p1e-5, 6x12x12", setting(1, 3, 1e-5), SMALL_STACK_BLOCKS),
    ("r1 it4 p1e-5", setting(1, 4, 1e-5), None),
    ("r2 it3 p1e-5", setting(2, 3, 1e-5), None),
    ("r2 it4 p0.01", setting(2, 4, 0.01), None),
]
MOVIE: list[Candidate] = [
    ("defaults", {}, None),
    ("defaults, one pass 8x16x16 /2,4,4", {}, [{"T": (8, 2), "Y": (16, 4), "X": (16, 4)}]),
    ("r2 it4 p1e-5", setting(2, 4, 1e-5), None),
    ("r2 it4 p0.01", setting(2, 4, 0.01), None),
    ("r1 it4 p1e-5", setting(1, 4, 1e-5), None),
    ("r2 it4 p1e-3", setting(2, 4, 1e-3), None),
    ("r1 it3 p1e-5", setting(1, 3, 1e-5), None),
    ("r2 it3 p1e-5", setting(2, 3, 1e-5), None),
    ("r1 it4 p1e-7, wide blocks", setting(1, 4, 1e-7), stage.WIDE_FRAME_BLOCKS),
]
CANDIDATES: Mapping[str, list[Candidate]] = {"ZYX": STACK, "TYX": MOVIE, "CYX": PLANE, "YX": PLANE}

#: Real images per kind (file names; their axes from ``benchmarks.data``) for --real, and the candidates run on them.
REAL = [
    "2dt_nuclei_mitocheck_30frames_u8.tif",
    "2dt_cancer_cell_nuclei_48frames_u16.tif",
    "3d_golgi_bfa_u16.tif",
    "3d_nuclear_envelope_drosophila_u8.tif",
    "3dc_spots_2ch_u16.tif",
    "pair_nucleus_lowsnr_u8.tif",
    "pair_mito_confocal_lowsnr_u8.tif",
    "2d_microtubules_u16.tif",
    "2d_nuclei_with_background_u16.tif",
    "2dc_hela_dna_tubulin_actin_3ch_u16.tif",
    "2d_er_exit_sites_noisy_u16.tif",
    "2dc_u2os_bbbc022_3ch_u16.tif",
]
TWO_PASSES = stage.FINE_PLANE_BLOCKS
SPARSE = {"T": (8, 3), "Y": (16, 8), "X": (16, 8)}
WIDE = [{"T": (10, 3), "Y": (24, 8), "X": (24, 8)}]
STACK_STEP3 = [{"Z": (8, 3), "Y": (16, 4), "X": (16, 4)}]
STACK_STEP5 = [{"Z": (8, 2), "Y": (16, 5), "X": (16, 5)}]
REAL_CANDIDATES: Mapping[str, list[Candidate]] = {
    "TYX": [
        ("p1e-7", {"pvalue": 1e-7}, None),
        ("10x24x24 /3,8,8", {}, WIDE),
        ("8x24x24 /2,8,8", {}, [{"T": (8, 2), "Y": (24, 8), "X": (24, 8)}]),
        ("10x16x16 /3,4,4", {}, [{"T": (10, 3), "Y": (16, 4), "X": (16, 4)}]),
        ("8x16x16 /3,8,8 then 10x24x24 /3,8,8", {}, [SPARSE, *WIDE]),
        ("8x16x16 /3,8,8 then 8x16x16 /2,4,4", {}, [SPARSE, {"T": (8, 2), "Y": (16, 4), "X": (16, 4)}]),
        ("8x16x16 /3,8,8 then 8x16x16 /3,4,4", {}, [SPARSE, {"T": (8, 3), "Y": (16, 4), "X": (16, 4)}]),
        ("8x16x16 /3,8,8 then 8x24x24 /2,8,8", {}, [SPARSE, {"T": (8, 2), "Y": (24, 8), "X": (24, 8)}]),
    ],
    "ZYX": [
        ("8x16x16 /3,4,4", {}, STACK_STEP3),
        ("8x16x16 /2,5,5", {}, STACK_STEP5),
        ("Z radius 0", {"patch_radius": {"Z": 0}}, None),
    ],
    "ZCYX": [
        ("8x16x16 /3,4,4", {}, STACK_STEP3),
        ("8x16x16 /2,5,5", {}, STACK_STEP5),
        ("Z radius 0", {"patch_radius": {"Z": 0}}, None),
    ],
    "YX": [("two passes after the default setting too", {}, TWO_PASSES)],
    "CYX": [("two passes after the default setting too", {}, TWO_PASSES)],
}


def denoised(
    image: np.ndarray,
    axes: str,
    noise: pxvorel.NoiseModel | str,
    keywords: dict[str, object],
    passes: Passes | None,
    quality: bool,
) -> tuple[np.ndarray, pxvorel.QualityEstimate | None]:
    """One run on one thread: the package's call, or with other passes of the second stage."""
    if passes is None:
        result, report = pxvorel.denoise(
            image, axes=axes, noise=noise, threads=1, quality=quality, return_report=True, **keywords
        )
        return result, report.quality
    run = denoise_with_passes(image, passes, axes=axes, noise=noise, threads=1, quality=quality, **keywords)  # type: ignore[arg-type]
    return run.result, run.quality


def real(only: str, label_word: str) -> None:
    """Estimated PSNR gain of the default call and the kind's candidates on the real images present."""
    print("| real image | setting | estimated gain dB | PSNR dB against the high-SNR image | CPU s |")
    print("|---|---|---|---|---|")
    for entry in present(name for name in REAL if only in name):
        image = entry.read()
        partner = entry.partner() if "lowsnr" in entry.file else None
        clean = partner.read().data if partner is not None else None
        for label, keywords, passes in [("defaults", {}, None), *REAL_CANDIDATES[entry.axes]]:
            if label_word not in label and label != "defaults":
                continue
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                seconds, (result, quality) = cpu(
                    lambda keywords=keywords, passes=passes: denoised(
                        image.data, image.axes, "auto", keywords, passes, quality=True
                    )
                )
            assert quality is not None
            paired = f"{affine_psnr(clean, result):.2f}" if clean is not None else ""
            print(
                f"| {entry.name} | {label} | {quality.gain_db:.2f} ± {quality.spread_db:.2f} | {paired} | "
                f"{seconds:.1f} |",
                flush=True,
            )


def synthetic(quick: bool, only: str) -> None:
    print("| data | setting | PSNR dB | CPU s | dB against BM3D/BM4D (recorded) | × engine alone's CPU |")
    print("|---|---|---|---|---|---|")
    for case in [*camera_cases(), *benchmark_cases(quick)]:
        if only not in case.name:
            continue
        peer = RECORDED.get(case.name, (float("nan"), float("nan")))[0]

        def run(keywords: dict[str, object], passes: Passes | None, case: Case = case) -> tuple[float, float]:
            seconds, (result, _) = cpu(lambda: denoised(case.noisy, case.axes, case.noise, keywords, passes, False))
            return psnr(case.clean, result), seconds

        quality, base = run(ENGINE_ALONE, None)
        print(f"| {case.name} | engine alone | {quality:.2f} | {base:.2f} | {quality - peer:+.2f} | 1.00 |", flush=True)
        for label, keywords, passes in CANDIDATES[case.axes]:
            quality, seconds = run(keywords, passes)
            print(
                f"| {case.name} | {label} | {quality:.2f} | {seconds:.2f} | {quality - peer:+.2f} | "
                f"{seconds / base:.2f} |",
                flush=True,
            )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="the smaller synthetic data")
    parser.add_argument("--only", default="", help="only the data whose name holds this word")
    parser.add_argument("--real", action="store_true", help="the estimated gain on the real images instead")
    parser.add_argument("--setting", default="", help="with --real: only the candidates whose label holds this")
    args = parser.parse_args()
    if args.real:
        real(args.only, args.setting)
    else:
        synthetic(args.quick, args.only)


if __name__ == "__main__":
    np.seterr(all="ignore")
    main()
