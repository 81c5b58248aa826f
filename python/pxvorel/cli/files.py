"""``pxvorel denoise`` on one file in memory: read, choose the noise model, denoise, write."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import logging
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

from pxvorel.cli.dtype import cast_to, wants_cast
from pxvorel.cli.options import OUTPUT_SUFFIXES, UsageError, noise_option, patch_radius_option
from pxvorel.cli.report import Console, describe_image, stage
from pxvorel.cli.signals import ending_the_process_on_signals
from pxvorel.io import read_image, write_image
from pxvorel.noise.model import NoiseModel
from pxvorel.pipeline import Observer, run
from pxvorel.run.job import Job, prepare
from pxvorel.run.preflight import capped_threads, check_output, covering_iterations, describe_seconds, estimate_seconds

log = logging.getLogger(__name__)


@dataclass(frozen=True)
class DenoiseOutcome:
    """What a denoising run reports back to the command that ran it."""

    model: NoiseModel
    seconds: float
    """Time for estimating the noise model and denoising (without reading and writing)."""
    voxels: int


class _Steps(Observer):
    """The run's steps as lines on the console, with the estimated time once the noise model is known."""

    def __init__(self, label: str, *, estimate_time: bool, tune: bool) -> None:
        self.label, self.estimate_time, self.tune = label, estimate_time, tune

    @contextlib.contextmanager
    def noise_step(self) -> Iterator[None]:
        with stage(log, f"choosing the noise model ({self.label})"), ending_the_process_on_signals():
            yield

    def noise_chosen(self, job: Job, model: NoiseModel) -> None:
        if self.estimate_time and job.engine.size >= 4 * 64 * 64 * 5:
            log.info(f"estimated denoising time: about {describe_seconds(estimate_seconds(job, model))}")

    def denoise_step(self, job: Job) -> contextlib.AbstractContextManager[object]:
        choosing = (
            "tuning the settings and "
            if self.tune
            else "choosing the settings and "
            if (job.settings.automatic)
            else ""
        )
        return stage(log, f"{choosing}denoising")


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
        image = read_image(source, axes=args.axes, series=args.series)
    log.info(f"image: {describe_image(image)}")
    job = prepare(
        image.data,
        axes=image.axes,
        patch_radius=patch_radius,
        search_axes=args.search,
        iterations=args.iterations,
        pvalue=args.pvalue,
        renoise=args.renoise,
        threads=threads,
        refine=args.refine,
        channels=args.channels,
    )
    useful = covering_iterations(job.plan, job.settings)
    if job.settings.iterations > useful:
        log.warning(
            f"--iterations {job.settings.iterations}: after {useful} the search already spans the "
            f"whole image; running {useful}"
        )
        job = dataclasses.replace(job, settings=dataclasses.replace(job.settings, iterations=useful))
    start = time.perf_counter()
    label = f"{noise:g}" if isinstance(noise, float) else ("given" if isinstance(noise, NoiseModel) else noise)
    with console.progress("denoising") as progress:
        result, report = run(
            job,
            noise,
            tune=args.tune,
            quality=args.quality,
            progress=progress,
            observer=_Steps(label, estimate_time=not console.quiet, tune=args.tune),
        )
    if report.quality is not None:
        print(f"{source}: {report.quality.describe()}", flush=True)
    seconds = time.perf_counter() - start
    if wants_cast(args.dtype, image.data.dtype, result.dtype):
        result, clipped = cast_to(result, image.data.dtype)
        log.info(f"{int(clipped)} sample(s) clipped to the range of {image.data.dtype}")
    with stage(log, f"writing {target}"):
        write_image(
            target, dataclasses.replace(image, data=result), overwrite=args.overwrite, compression=args.compression
        )
    voxels = int(result.size)
    log.info(f"done: {voxels / 1e6:.2f} Mvoxel in {seconds:.2f} s ({voxels / 1e6 / seconds:.2f} Mvoxel/s)")
    return DenoiseOutcome(report.noise, seconds, voxels)
