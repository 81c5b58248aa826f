"""``pxvorel denoise`` on one file in memory: read, choose the noise model, denoise, write."""

from __future__ import annotations

import argparse
import dataclasses
import logging
import time
from dataclasses import dataclass
from pathlib import Path

from pxvorel.cli.dtype import cast_to
from pxvorel.cli.options import OUTPUT_SUFFIXES, UsageError, noise_option, patch_radius_option
from pxvorel.cli.report import Console, describe_image, stage
from pxvorel.cli.signals import ending_the_process_on_signals
from pxvorel.io import ImageFile, read_image, write_image
from pxvorel.noise.model import NoiseModel
from pxvorel.quality.pipeline import run_job
from pxvorel.run.engine import DenoiseJob
from pxvorel.run.preflight import capped_threads, check_output, covering_iterations, describe_seconds, estimate_seconds

log = logging.getLogger(__name__)


@dataclass(frozen=True)
class DenoiseOutcome:
    """What a denoising run reports back to the command that ran it."""

    model: NoiseModel
    seconds: float
    """Time for estimating the noise model and denoising (without reading and writing)."""
    voxels: int


def denoise_file(args: argparse.Namespace, console: Console) -> DenoiseOutcome:
    """``pxvorel denoise``: read, choose the noise model, denoise, write."""
    source, target = Path(args.input), Path(args.output)
    noise = noise_option(args)
    patch_radius = patch_radius_option(args.patch_radius)
    check_output(target)
    if not target.name.lower().endswith(OUTPUT_SUFFIXES):
        raise UsageError(f"output {target.name!r}: use a .tif, .ome.tif or .npy file name")
    if source.exists() and target.exists() and source.samefile(target):
        raise UsageError("the output would overwrite the input; choose another output name")
    if target.exists() and not args.overwrite:
        raise FileExistsError(f"{target} exists; use --overwrite to replace it")
    threads, note = capped_threads(args.threads)
    if note:
        log.warning(note)
    with stage(log, f"reading {source}"):
        image = read_image(source, axes=args.axes)
    log.info(f"image: {describe_image(image)}")
    job = DenoiseJob.prepare(image.data, axes=image.axes, patch_radius=patch_radius, search_axes=args.search,
                             iterations=args.iterations, pvalue=args.pvalue, renoise=args.renoise,
                             threads=threads, refine=args.refine, channels=args.channels)
    useful = covering_iterations(job.plan, job.settings)
    if job.settings.iterations > useful:
        log.warning(f"--iterations {job.settings.iterations}: after {useful} the search already spans the "
                    f"whole image; running {useful}")
        job = dataclasses.replace(job, settings=dataclasses.replace(job.settings, iterations=useful))
    start = time.perf_counter()
    label = f"{noise:g}" if isinstance(noise, float) else ("given" if isinstance(noise, NoiseModel) else noise)
    with stage(log, f"choosing the noise model ({label})"), ending_the_process_on_signals():
        model = job.choose_noise(noise)
    for line in model.describe().splitlines():
        log.info(f"noise model: {line}")
    if not console.quiet and job.engine.size >= 4 * 64 * 64 * 5:
        log.info(f"estimated denoising time: about {describe_seconds(estimate_seconds(job, model))}")
    doing = "tuning and denoising" if args.tune else f"denoising ({job.settings.describe(job.plan)})"
    with stage(log, doing):
        with console.progress("denoising") as progress:
            result, report = run_job(job, model, tune=args.tune, quality=args.quality, progress=progress)
    if report.quality is not None:
        print(f"{source}: {report.quality.describe()}", flush=True)
    seconds = time.perf_counter() - start
    if args.dtype == "input" and image.data.dtype.kind in "iub":
        result, clipped = cast_to(result, image.data.dtype)
        log.info(f"{int(clipped)} sample(s) clipped to the range of {image.data.dtype}")
    with stage(log, f"writing {target}"):
        write_image(target, ImageFile(result, image.axes, image.spacing, image.unit), overwrite=args.overwrite)
    voxels = int(result.size)
    log.info(f"done: {voxels / 1e6:.2f} Mvoxel in {seconds:.2f} s ({voxels / 1e6 / seconds:.2f} Mvoxel/s)")
    return DenoiseOutcome(model, seconds, voxels)


