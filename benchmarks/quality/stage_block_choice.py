"""Whether the second stage's blocks could be chosen per image by the run's own estimate.

For each image the default call runs as it is; then, for the setting and floor it chose, the
stage's one-pass square blocks of :data:`SIZES` are scored on the same tiles as the choice
(the engine's results on the tiles shared, as :mod:`pxvorel.quality.tile_choice` shares them
between floors) and run on the whole image. Per image and block size: the mean estimated
error on the tiles (relative to the noise variance), the PSNR of the whole image denoised with
those blocks, and the CPU seconds of the scoring on the tiles and of the stage on the whole
image. The row marked ``*`` is the call's own blocks; ``<`` marks the lowest estimate.

Images: the camera image at sigma 25 and 10 and the 2-D synthetic image of
``benchmarks.data``, and the real noisy / clean pairs of
``benchmarks/validation/real_pairs.py`` where present (images without tiles, or whose
estimates the call does not rely on, are listed as such).

    tools/py314 python3 -m benchmarks.quality.stage_block_choice [--only TEXT]
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

import pxvorel
import pxvorel.quality.tile_choice as choice
from benchmarks.data import benchmark_cases, camera_cases
from benchmarks.measures import psnr
from pxvorel.noise.defects import repair_defects
from pxvorel.run.execute import denoise_with, run_engine, run_stage
from pxvorel.run.job import prepare
from pxvorel.run.plan import RunPlan
from pxvorel.run.refine import Blocks
from pxvorel.run.unit import UnitImage

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "validation"))
import real_pairs

#: One-pass square blocks (side, step) scored on planes.
SIZES = ((12, 2), (16, 3), (24, 4), (32, 6))


def square(size: int, step: int) -> Blocks:
    """One pass of `size` x `size` blocks with `step` along Y and X."""
    return Blocks({"T": 1, "Z": 1, "Y": size, "X": size}, {"T": 1, "Z": 1, "Y": step, "X": step})


def compare(name: str, clean: np.ndarray, noisy: np.ndarray, noise: object) -> None:
    """One table of :data:`SIZES` for the default call's choice on `noisy`."""
    keywords = {"noise": noise} if noise is not None else {}
    result, report = pxvorel.denoise(noisy, threads=1, return_report=True, **keywords)
    settings, model = report.settings, report.noise
    print(f"\n{name}: {settings.describe(report.plan)}; PSNR {psnr(clean, result):.2f}")
    if report.tuning is None or not report.tuning.trusted:
        print("  no tiles, or estimates the call does not rely on: its blocks are fixed")
        return
    job = prepare(noisy, threads=1)
    unit = UnitImage.of(repair_defects(job.engine, model.defects), model)
    parts = [unit.part(region) for region in choice.tiles(unit.engine.shape)]
    engines = [choice._EngineOnce(RunPlan.of(settings, parts[0].work.shape)) for _ in parts]
    own = Blocks.for_shape(unit.engine.shape, variant=settings.variant)
    whole = run_engine(unit.work, RunPlan.of(settings, unit.work.shape))
    rows = []
    with ThreadPoolExecutor(max_workers=1) as pool:
        choice._score(pool, RunPlan.of(settings, parts[0].work.shape), parts, engines, model)  # the tiles' engine runs
        for size, step in SIZES:
            blocks = square(size, step)
            start = time.process_time()
            plan = RunPlan.of(settings, parts[0].work.shape, blocks=blocks)
            estimate = choice._score(pool, plan, parts, engines, model)
            scoring = time.process_time() - start
            start = time.process_time()
            run_stage(unit.work, whole, RunPlan.of(settings, unit.work.shape, blocks=blocks))
            stage = time.process_time() - start
            out = job.plan.from_engine(denoise_with(job.engine, model, settings, blocks=blocks))
            rows.append((size, step, estimate, psnr(clean, out), scoring, stage, blocks == own))
    lowest = min(r[2] for r in rows)
    print(f"  {'blocks':>8} {'estimate':>9} {'PSNR':>7} {'scoring s':>10} {'stage s':>8}")
    for size, step, estimate, quality, scoring, stage, mine in rows:
        mark = ("*" if mine else " ") + ("<" if estimate == lowest else " ")
        print(f"{mark} {size:>3}/{step:<4} {estimate:9.4f} {quality:7.2f} {scoring:10.3f} {stage:8.3f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default="", help="only the images whose name holds this text")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    for case in [*camera_cases(), *benchmark_cases(False)]:
        if case.axes == "YX" and args.only in case.name:
            compare(case.name, case.clean, case.noisy, case.noise)
    for name, noisy_file, clean_file in real_pairs.PAIRS:
        if args.only in name and (real_pairs.DATA / noisy_file).exists():
            pair = real_pairs.load(name, noisy_file, clean_file)
            compare(name, pair.clean, pair.noisy.astype(np.float32), None)


if __name__ == "__main__":
    main()
