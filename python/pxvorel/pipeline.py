"""One run of the denoiser, in the order its steps take; every entry point goes through here.

1. :func:`~pxvorel.run.job.prepare`: the image as a (T, C, Z, Y, X) view, its axes and the
   validated settings;
2. the noise model, measured and chosen (:func:`~pxvorel.noise.choose.choose_model`);
3. the defective pixels the model lists replaced by their neighbours' median
   (:func:`~pxvorel.noise.defects.repair_defects`), every noisy channel brought to unit
   noise (:class:`~pxvorel.run.unit.UnitImage`), its single dark outlying samples repaired
   (:func:`~pxvorel.run.outliers.repair_dark`), and whitened where the model says its
   noise is spatially correlated;
4. the settings chosen: given, tuned (``tune=True``) or, in the default call, compared with
   others on tiles (:mod:`pxvorel.quality.tile_choice`); this step returns settings only;
5. the run planned (:class:`~pxvorel.run.plan.RunPlan`: channels, bands, threads, the
   second stage's blocks) and executed (:func:`~pxvorel.run.execute.execute`: the engine,
   then the second stage, which leaves single bright samples at the engine's value);
6. the quality estimated, when asked for (:mod:`pxvorel.quality.sure`);
7. the result brought back to intensities, kept within what the detector recorded (a
   channel's clips and saturation: :func:`~pxvorel.noise.recorded_range.keep_recorded_range`),
   and brought to the caller's axis order, with the report.

:func:`run` chains steps 2 to 7 for an in-memory image; a part of a larger image (a dask block)
goes through steps 3, 5 and 7 with the whole image's model and settings
(:func:`~pxvorel.run.execute.denoise_with`).
"""

from __future__ import annotations

import contextlib
import logging

import numpy as np
import numpy.typing as npt

from pxvorel.noise.choose import choose_model
from pxvorel.noise.defects import repair_defects
from pxvorel.noise.model import NoiseModel, NoiseSpec
from pxvorel.noise.recorded_range import keep_recorded_range
from pxvorel.quality.candidates import CANDIDATES
from pxvorel.quality.crop import tuning_crop
from pxvorel.quality.estimate import QualityEstimate
from pxvorel.quality.report import RunReport
from pxvorel.quality.sure import estimate_risk
from pxvorel.quality.tile_choice import choices, choose, tiles
from pxvorel.quality.tune import Tuning, clipped_channels
from pxvorel.quality.tune import tune as tune_settings
from pxvorel.run.execute import execute
from pxvorel.run.job import Job
from pxvorel.run.plan import RunPlan
from pxvorel.run.progress import Fractions, ProgressCallback
from pxvorel.run.release import release
from pxvorel.run.settings import Settings
from pxvorel.run.unit import UnitImage

log = logging.getLogger(__name__)


class Observer:
    """What an entry point sees of a run between its steps (the command line logs them and
    estimates the time); the defaults do nothing."""

    def noise_step(self) -> contextlib.AbstractContextManager[object]:
        """Wraps the measurement of the noise model (step 2)."""
        return contextlib.nullcontext()

    def noise_chosen(self, job: Job, model: NoiseModel) -> None:
        """Called once the noise model is known, before anything else runs on the image."""

    def denoise_step(self, job: Job) -> contextlib.AbstractContextManager[object]:
        """Wraps the rest of the run (steps 3 to 6)."""
        return contextlib.nullcontext()


def run(
    job: Job,
    noise: NoiseSpec | NoiseModel,
    *,
    tune: bool = False,
    quality: bool = False,
    progress: Fractions | None = None,
    observer: Observer | None = None,
    stacklevel: int = 1,
) -> tuple[npt.NDArray[np.float32], RunReport]:
    """The denoised image (float32, in the caller's axis order) and the run's report."""
    observer = observer if observer is not None else Observer()
    with observer.noise_step():
        model = choose_model(job.engine, noise, stacklevel=stacklevel + 1, threads=job.settings.threads)
    for line in model.describe().splitlines():
        log.info(f"noise model: {line}")
    observer.noise_chosen(job, model)
    with observer.denoise_step(job):
        unit = UnitImage.of(repair_defects(job.engine, model.defects), model)
        edges = _progress_edges(job, tune, quality)

        def share(k: int) -> ProgressCallback | None:
            return None if progress is None else progress.share(edges[k], edges[k + 1])

        tuning = _choose_settings(unit, model, job.settings, tune, share(0))
        settings = tuning.chosen if tuning is not None else job.settings
        release()  # what the measurement and the choice freed, before the run's largest arrays
        estimate = None
        if unit.channels:
            plan = RunPlan.of(settings, unit.work.shape)
            denoised = execute(unit.work, plan, share(1))
            if quality:
                probe = share(2)
                risk = estimate_risk(unit, model, lambda work: execute(work, plan, probe), denoised_unit=denoised)
                estimate = QualityEstimate.from_risk(risk, tuple(clipped_channels(job.engine, unit.channels)))
                result = risk.denoised
            else:
                result = unit.back(denoised, reuse=True)
        else:
            result = unit.back(unit.work)
        result = keep_recorded_range(job.engine, model, result)
        if progress is not None:
            progress.finish()
    report = RunReport(job.plan, model, settings, tuning, estimate)
    for line in report.describe().splitlines():
        log.info(line)
    return np.ascontiguousarray(job.plan.from_engine(result)), report


def _choose_settings(
    unit: UnitImage, model: NoiseModel, settings: Settings, tune: bool, progress: ProgressCallback | None
) -> Tuning | None:
    """Step 4: how the settings were chosen (None: as given); the run uses ``tuning.chosen``."""
    if tune:
        return tune_settings(unit, model, settings, progress)
    if settings.automatic:
        return choose(unit, model, settings, progress)
    return None


def _progress_edges(job: Job, tune: bool, quality: bool) -> list[float]:
    """Boundaries in [0, 1] of the choice of settings, the run and the probe run, by the samples each processes."""
    size = float(job.engine.size)
    shape = job.engine.shape
    if tune:
        crop = float(np.prod([len(range(*s.indices(n))) for s, n in zip(tuning_crop(shape), shape, strict=True)]))
        choosing = 2.0 * (len(CANDIDATES) + 1) * crop
    elif job.settings.automatic:
        count = len(choices(job.settings, shape)[0])
        choosing = 2.0 * count * sum(float(job.engine[region].size) for region in tiles(shape))
    else:
        choosing = 0.0
    costs = [choosing, size, size if quality else 0.0]
    total = sum(costs)
    return [0.0, costs[0] / total, (costs[0] + costs[1]) / total, 1.0]
