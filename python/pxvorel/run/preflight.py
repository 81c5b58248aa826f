"""Checks the command line makes before any work, and its estimate of the denoising time."""

from __future__ import annotations

import dataclasses
import errno
import math
import tempfile
import time
from pathlib import Path

import numpy as np

from pxvorel.core.axes import AxisPlan
from pxvorel.noise.model import NoiseModel
from pxvorel.run.execute import denoise_with
from pxvorel.run.geometry import Geometry
from pxvorel.run.job import Job
from pxvorel.run.plan import RunPlan
from pxvorel.run.refine import Blocks, refine
from pxvorel.run.settings import Settings
from pxvorel.run.threads import available_cores, current_threads


def check_output(target: Path) -> None:
    """Raise an OSError naming `target` unless a file can be created there."""
    if target.is_dir():
        raise IsADirectoryError(f"output {target} is a folder; give a file name such as {target / 'denoised.tif'}")
    folder = target.parent
    if not folder.is_dir():
        raise FileNotFoundError(f"output folder {folder} does not exist")
    try:
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as error:
        # A folder that exists but takes no files (procfs, say) answers "no such file".
        why = "it takes no new files" if error.errno == errno.ENOENT else error.strerror
        raise PermissionError(f"cannot write to the output folder {folder}: {why}") from None


def covering_iterations(plan: AxisPlan, settings: Settings) -> int:
    """Iterations after which the search already spans every searched axis of the image
    (later iterations search no further), at most ``settings.iterations``."""
    geometry = Geometry.of(settings, plan.engine_shape)
    searched = [a for a in "XYZT" if plan.size(a) > 1 and (a in "XY" or settings.search[a])]
    for iteration, radius in enumerate(geometry.search_radius, start=1):
        if all(radius[a] >= plan.size(a) - 1 for a in searched):
            return iteration
    return settings.iterations


def capped_threads(threads: int | None) -> tuple[int | None, str | None]:
    """`threads` capped at the cores this process may run on, with a note when capped."""
    cores = available_cores()
    if threads is not None and threads > cores:
        return cores, f"--threads {threads} is more than the {cores} core(s) available; using {cores}"
    return threads, None


def _work(shape: tuple[int, ...], settings: Settings) -> float:
    """The engine's work for a run on an image of `shape`, as it counts it for its progress."""
    return float(Geometry.of(settings, shape).work)


def estimate_seconds(job: Job, model: NoiseModel) -> float:
    """Denoising time, extrapolated from timed runs on a crop of the image.

    The crop is denoised with k - 1 and with k iterations: the difference is the time of
    one iteration with a wide search, free of the fixed costs of a call, and sets the
    time per unit of work. When the image will run in bands, the crop runs on one
    thread, as each band does, and the work is that of the bands, overlap included,
    shared among them. The second stage (whose time the difference cancels) is timed
    apart, on one thread on a crop with room for its blocks, and scaled by the sample
    count and shared among the run's threads (its own result does not depend on them).
    """
    engine_seconds = _engine_seconds(job, model)
    if not job.settings.refine:
        return engine_seconds
    return engine_seconds + _stage_seconds(job.engine.shape, job.settings.threads or current_threads())


def _stage_seconds(shape: tuple[int, ...], threads: int) -> float:
    """The second stage's time on a (T, C, Z, Y, X) image of `shape`, from a timed crop."""
    blocks = Blocks.for_shape(shape)
    t, _, z, y, x = shape
    crop_shape = (min(t, 2 * blocks.longest("T")), 1, min(z, 2 * blocks.longest("Z")), min(y, 96), min(x, 96))
    crop = np.random.default_rng(0).normal(0.0, 1.0, crop_shape).astype(np.float32)
    start = time.perf_counter()
    refine(crop, crop, blocks, threads=1)
    return (time.perf_counter() - start) * math.prod(shape) / math.prod(crop_shape) / max(threads, 1)


def _engine_seconds(job: Job, model: NoiseModel) -> float:
    """The engine's time alone (see :func:`estimate_seconds`)."""
    t, c, z, y, x = job.engine.shape
    bands = RunPlan.of(job.settings, job.engine.shape).bands
    share = 1.0
    if bands is not None:
        share = sum(band.size(job.engine.shape) for band in bands) / math.prod(job.engine.shape) / len(bands)
        job = dataclasses.replace(job, settings=dataclasses.replace(job.settings, threads=1))
    r = job.settings.patch_radius
    # Large enough that the runs take a measurable time, small enough to take well under a second.
    crop_shape = (min(t, 2 * r["T"] + 3), c, min(z, 2 * r["Z"] + 3), min(y, 128), min(x, 128))
    crop = np.ascontiguousarray(job.engine[tuple(slice(0, n) for n in crop_shape)], dtype=np.float32)
    timed: list[tuple[float, float]] = []
    for iterations in range(max(min(job.settings.iterations, 6) - 1, 1), min(job.settings.iterations, 6) + 1):
        settings = dataclasses.replace(job.settings, iterations=iterations, refine=False)
        start = time.perf_counter()
        denoise_with(crop, model, settings)
        timed.append((time.perf_counter() - start, _work(crop.shape, settings)))
    seconds, work = timed[-1][0] - timed[0][0], timed[-1][1] - timed[0][1]
    if len(timed) == 1 or seconds <= 0 or work <= 0:
        seconds, work = timed[-1]
    return seconds * _work(job.engine.shape, job.settings) / max(work, 1.0) * share


def describe_seconds(seconds: float) -> str:
    """'40 s', '6 min 10 s' or '2 h 5 min'."""
    seconds = round(seconds)
    if seconds < 60:
        return f"{seconds} s"
    if seconds < 3600:
        return f"{seconds // 60} min {seconds % 60} s"
    return f"{seconds // 3600} h {seconds % 3600 // 60} min"
