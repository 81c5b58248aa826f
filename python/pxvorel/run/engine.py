"""Driving the engine: every channel brought to unit noise, one engine call (or one per band),
the second stage (:mod:`pxvorel.run.refine`) unless switched off, each channel brought
back; and a run in three steps for callers that report each step."""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import pxvorel._engine as _engine
from pxvorel.core.axes import AxisPlan
from pxvorel.core.image import as_image
from pxvorel.noise.model import NoiseModel, NoiseSpec, choose_model
from pxvorel.run.bands import bands_for, channel_bands, run_bands
from pxvorel.run.progress import Fractions, part_of
from pxvorel.run.refine import STAGE_SHARE, Blocks, refine
from pxvorel.run.settings import DEFAULT_CHANNELS, DEFAULT_ITERATIONS, DEFAULT_PVALUE, Settings
from pxvorel.run.threads import native_threads, run_threads
from pxvorel.run.unit import UnitImage


def denoise_unit(work: npt.NDArray[np.float32], settings: Settings,
                 progress: Callable[[float], object] | None = None, *, blocks: Blocks | None = None,
                 origin: Sequence[int] | None = None) -> npt.NDArray[np.float32]:
    """Denoise a (T, C, Z, Y, X) float32 array of unit noise into a new array.

    With ``settings.channels == "joint"`` the engine runs once on all channels, so that a
    patch spans all of them (each weighing the same); with ``"separate"`` it runs once per
    channel, and every channel finds its own similar patches. With more than one thread,
    separate channels run side by side in whole rounds, each on one thread, as many at a
    time as threads (the one-thread result); the rest, and a single image, run once per band
    where bands pay (:mod:`pxvorel.run.bands`; the one-thread result too), or on the engine's
    own threads. With ``settings.refine`` the second stage then runs on all
    channels (each filtered apart), with the engine's result as its pilot, on the threads
    of the run (its result does not depend on their number).

    A part of a larger image (the chunked path) passes the whole image's `blocks` and the
    part's `origin` in it (T, C, Z, Y, X), so that the stage places its blocks as on the
    whole image; by default the blocks are chosen for `work` itself.
    """
    engine_progress = part_of(progress, 0.0, 1.0 - STAGE_SHARE) if settings.refine else progress
    count = work.shape[1]
    threads = run_threads(settings.threads)
    if settings.channels == "separate" and count > 1:
        denoised = np.empty_like(work)
        # Whole rounds of channels, one per thread: each channel on a thread of its own gives
        # the one-thread bits, with no overlap to pay for as bands have; as many at a time as
        # threads, so that the work arrays are those of that many channels. The channels left
        # over (fewer than threads) go one after another on all threads, as one channel alone
        # does: a round of them would leave threads idle (three channels on two threads: 0.088
        # against 0.108 s, median wall time of the package on the 3 x 256² of benchmarks/vs_peers.py).
        side = count - count % threads if threads > 1 else 0
        if side > 0:
            run_bands(work[:, :side], channel_bands(work[:, :side].shape), _one_thread_engine(settings),
                      part_of(engine_progress, 0.0, side / count), workers=threads, out=denoised[:, :side])
        for c in range(side, count):
            part = part_of(engine_progress, c / count, (c + 1) / count)
            denoised[:, c:c + 1] = _engine_run(np.ascontiguousarray(work[:, c:c + 1]), settings, part)
    else:
        denoised = _engine_run(work, settings, engine_progress)
    if settings.refine:
        with native_threads(settings.threads) as threads:
            blocks = blocks if blocks is not None else Blocks.for_shape(work.shape, variant=settings.variant)
            denoised = refine(work, denoised, blocks, origin=origin, threads=threads,
                              progress=part_of(progress, 1.0 - STAGE_SHARE, 1.0))
    return denoised


def _one_thread_engine(settings: Settings) -> Callable[[npt.NDArray[np.float32], Callable[[float], None]],
                                                     npt.NDArray[np.float32]]:
    """The engine on one thread with `settings`, as :func:`run_bands` calls it on each band."""
    radius, search = settings.native_lists()

    def one_band(band: npt.NDArray[np.float32], report: Callable[[float], None]) -> npt.NDArray[np.float32]:
        return _engine.denoise(band, 1.0, radius, search, settings.iterations, settings.pvalue, 1,
                               settings.renoise, progress=report)

    return one_band


def _engine_run(work: npt.NDArray[np.float32], settings: Settings,
                progress: Callable[[float], object] | None) -> npt.NDArray[np.float32]:
    radius, search = settings.native_lists()
    bands = bands_for(work.shape, settings)
    if bands is not None:
        return run_bands(work, bands, _one_thread_engine(settings), progress)
    with native_threads(settings.threads) as threads:
        return _engine.denoise(work, 1.0, radius, search, settings.iterations, settings.pvalue, threads,
                               settings.renoise, progress=progress)


def run_engine(engine: np.ndarray, model: NoiseModel, settings: Settings,
               progress: Callable[[float], object] | None = None, *, blocks: Blocks | None = None,
               origin: Sequence[int] | None = None) -> npt.NDArray[np.float32]:
    """Denoise a (T, C, Z, Y, X) array into a new float32 array.

    Every channel is brought to unit noise (Poisson-Gaussian channels through the
    stabilising transform, Gaussian channels divided by their sigma), denoised at sigma 1
    (:func:`denoise_unit`, whose `blocks` and `origin` these are), so that each channel
    weighs the same in the patch distances whatever its model, and transformed back with
    its own model. A channel without noise (gain and offset 0) is copied and takes no part.
    """
    unit = UnitImage.of(engine, model)
    if not unit.channels:
        return unit.back(unit.work)
    return unit.back(denoise_unit(unit.work, settings, progress, blocks=blocks, origin=origin))


@dataclass(frozen=True)
class DenoiseJob:
    """One denoising run in three steps (prepare, choose the noise model, run), so that a
    caller such as the command line can report each step; :func:`denoise` chains them."""

    plan: AxisPlan
    settings: Settings
    engine: np.ndarray
    """The input as a (T, C, Z, Y, X) view; never written to."""

    @classmethod
    def prepare(cls, image: np.typing.ArrayLike, *, axes: str | None, patch_radius: int | Mapping[str, int] | None,
                search_axes: str | Mapping[str, bool] | None, iterations: int = DEFAULT_ITERATIONS,
                pvalue: float = DEFAULT_PVALUE, renoise: float, threads: int | None, refine: bool = True,
                channels: str = DEFAULT_CHANNELS) -> DenoiseJob:
        """Check the image, its axes and the engine parameters before any work."""
        array = as_image(image)
        plan = AxisPlan.for_array(array.shape, axes)
        settings = Settings.from_arguments(plan, patch_radius=patch_radius, search_axes=search_axes,
                                           iterations=iterations, pvalue=pvalue, renoise=renoise, threads=threads,
                                           refine=refine, channels=channels)
        return cls(plan, settings, plan.to_engine(array))

    def choose_noise(self, noise: NoiseSpec, *, stacklevel: int = 1) -> NoiseModel:
        """The noise model for this image (estimated unless given)."""
        return choose_model(self.engine, noise, stacklevel=stacklevel + 1)

    def run(self, model: NoiseModel, progress: Fractions | None = None) -> npt.NDArray[np.float32]:
        """The denoised image as a new float32 array in the caller's axis order."""
        result = run_engine(self.engine, model, self.settings, progress)
        if progress is not None:
            progress.finish()
        return np.ascontiguousarray(self.plan.from_engine(result))
