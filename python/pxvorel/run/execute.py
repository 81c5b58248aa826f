"""Executing a :class:`~pxvorel.run.plan.RunPlan`: the engine on a unit-noise image (its
channels side by side, in bands, or on the engine's own threads), then the second stage;
and :func:`denoise_with`, which brings an image to unit noise, executes its plan and brings
it back (what a dask block runs, with the whole image's model and settings)."""

from __future__ import annotations

from collections.abc import Callable, Sequence

import numpy as np
import numpy.typing as npt

import pxvorel._engine as _engine
from pxvorel.noise.defects import repair_defects
from pxvorel.noise.model import NoiseModel
from pxvorel.noise.recorded_range import keep_recorded_range
from pxvorel.run.bands import channel_bands, run_bands
from pxvorel.run.outliers import bright_samples, ring_medians
from pxvorel.run.plan import RunPlan
from pxvorel.run.progress import part_of
from pxvorel.run.refine import STAGE_SHARE, Blocks, refine
from pxvorel.run.release import release
from pxvorel.run.settings import Settings
from pxvorel.run.threads import native_threads
from pxvorel.run.unit import UnitImage


def execute(
    work: npt.NDArray[np.float32],
    plan: RunPlan,
    progress: Callable[[float], object] | None = None,
    *,
    origin: Sequence[int] | None = None,
) -> npt.NDArray[np.float32]:
    """Denoise a (T, C, Z, Y, X) float32 array of unit noise, of ``plan.shape``, into a new array.

    With ``channels == "joint"`` the engine runs once on all channels, so that a patch spans
    all of them (each weighing the same); with ``"separate"`` it runs once per channel, and
    every channel finds its own similar patches. With more than one thread, separate channels
    run side by side in whole rounds, each on one thread, as many at a time as threads (the
    one-thread result; a round of fewer channels than threads would leave threads idle, so the
    channels left over go one after another on all threads, as one channel alone does); an
    engine call on all threads runs once per band where bands pay (:mod:`pxvorel.run.bands`;
    the one-thread result too), or on the engine's own threads. The second stage then runs on
    all channels (each filtered apart), with the engine's result as its pilot, on the threads
    of the run (its result does not depend on their number).

    A part of a larger image (the chunked path) passes its `origin` in the whole image (T, C,
    Z, Y, X), so that the stage places its blocks as on the whole image.
    """
    if work.shape != plan.shape:
        raise ValueError(f"the plan is for shape {plan.shape}, not {work.shape}")
    engine_progress = part_of(progress, 0.0, 1.0 - STAGE_SHARE) if plan.blocks is not None else progress
    denoised = run_engine(work, plan, engine_progress)
    release()
    return run_stage(work, denoised, plan, part_of(progress, 1.0 - STAGE_SHARE, 1.0), origin=origin, in_place=True)


def run_engine(
    work: npt.NDArray[np.float32], plan: RunPlan, progress: Callable[[float], object] | None = None
) -> npt.NDArray[np.float32]:
    """The engine's part of :func:`execute`: its result on `work`, as a new array."""
    settings = plan.settings
    count = work.shape[1]
    if settings.channels == "separate" and count > 1:
        denoised = np.empty_like(work)
        side = plan.side_channels
        if side > 0:
            run_bands(
                work[:, :side],
                channel_bands(work[:, :side].shape),
                _one_thread_engine(settings),
                part_of(progress, 0.0, side / count),
                workers=plan.threads,
                out=denoised[:, :side],
            )
        for c in range(side, count):
            part = part_of(progress, c / count, (c + 1) / count)
            denoised[:, c : c + 1] = _engine_call(np.ascontiguousarray(work[:, c : c + 1]), plan, part)
        return denoised
    return _engine_call(work, plan, progress)


def run_stage(
    work: npt.NDArray[np.float32],
    denoised: npt.NDArray[np.float32],
    plan: RunPlan,
    progress: Callable[[float], object] | None = None,
    *,
    origin: Sequence[int] | None = None,
    in_place: bool = False,
) -> npt.NDArray[np.float32]:
    """The second stage's part of :func:`execute` on `work`, with the engine's result
    `denoised` as its pilot (returned as it is without the stage).

    Single bright samples far above their neighbours that the engine kept
    (:func:`~pxvorel.run.outliers.bright_samples`) are left out of the stage, which would ring
    around them: it filters the image with them replaced by their neighbours' median (in the
    noisy image and the pilot), and they keep the engine's value. With `in_place` the
    replacements are written into `work` and `denoised` themselves and undone once the stage
    is done (no other thread may read them meanwhile); otherwise into copies."""
    if plan.blocks is None:
        return denoised
    spikes = [bright_samples(work[:, c], denoised[:, c]) for c in range(work.shape[1])]
    noisy, pilot = work, denoised
    kept: list[tuple[int, npt.NDArray[np.float32], npt.NDArray[np.float32]]] = []
    if any(len(s[0]) for s in spikes):
        if not in_place:
            noisy, pilot = work.copy(), denoised.copy()
        for c, where in enumerate(spikes):
            if len(where[0]):
                kept.append((c, work[:, c][where], denoised[:, c][where]))
                noisy_values, pilot_values = ring_medians(work[:, c], where), ring_medians(denoised[:, c], where)
                noisy[:, c][where], pilot[:, c][where] = noisy_values, pilot_values
    try:
        with native_threads(plan.settings.threads) as threads:
            result = refine(
                noisy,
                pilot,
                plan.blocks,
                origin=origin,
                threads=threads,
                progress=progress,
                floor=plan.settings.floor,
            )
    finally:
        if in_place:
            for c, noisy_values, pilot_values in kept:
                work[:, c][spikes[c]], denoised[:, c][spikes[c]] = noisy_values, pilot_values
    for c, where in enumerate(spikes):
        result[:, c][where] = denoised[:, c][where]
    return result


def _one_thread_engine(
    settings: Settings,
) -> Callable[[npt.NDArray[np.float32], Callable[[float], None]], npt.NDArray[np.float32]]:
    """The engine on one thread with `settings`, as :func:`run_bands` calls it on each band."""
    radius, search = settings.native_lists()

    def one_band(band: npt.NDArray[np.float32], report: Callable[[float], None]) -> npt.NDArray[np.float32]:
        return _engine.denoise(
            band, 1.0, radius, search, settings.iterations, settings.pvalue, 1, settings.renoise, progress=report
        )

    return one_band


def _engine_call(
    work: npt.NDArray[np.float32], plan: RunPlan, progress: Callable[[float], object] | None
) -> npt.NDArray[np.float32]:
    """One engine call on all the run's threads: in the plan's bands, or on the engine's own threads."""
    settings = plan.settings
    if plan.bands is not None:
        return run_bands(work, list(plan.bands), _one_thread_engine(settings), progress)
    radius, search = settings.native_lists()
    with native_threads(settings.threads) as threads:
        return _engine.denoise(
            work,
            1.0,
            radius,
            search,
            settings.iterations,
            settings.pvalue,
            threads,
            settings.renoise,
            progress=progress,
        )


def denoise_with(
    engine: np.ndarray,
    model: NoiseModel,
    settings: Settings,
    progress: Callable[[float], object] | None = None,
    *,
    blocks: Blocks | None = None,
    origin: Sequence[int] | None = None,
) -> npt.NDArray[np.float32]:
    """A (T, C, Z, Y, X) array denoised with a noise model and settings already chosen, as a new
    float32 array in intensities (steps 3, 5 and 7 of :mod:`pxvorel.pipeline`). A part of a
    larger image passes the whole image's stage `blocks` and its `origin` in it, so that it is
    denoised as the whole image would be.
    A channel without noise (gain and offset 0) is copied and takes no part."""
    unit = UnitImage.of(repair_defects(engine, model.defects, origin or ()), model)
    if not unit.channels:
        return unit.back(unit.work)
    plan = RunPlan.of(settings, unit.work.shape, blocks=blocks)
    return keep_recorded_range(engine, model, unit.back(execute(unit.work, plan, progress, origin=origin), reuse=True))
