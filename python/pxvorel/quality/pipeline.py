"""A whole run with its report: settings tuned on a crop when asked, the image denoised, and
its quality estimated when asked (one more run, on the input plus a probe)."""

from __future__ import annotations

import logging

import numpy as np

from pxvorel.noise.model import NoiseModel
from pxvorel.quality.choice import choices, choose, tiles
from pxvorel.quality.crop import tuning_crop
from pxvorel.quality.figure import QualityEstimate
from pxvorel.quality.report import RunReport
from pxvorel.quality.sure import estimate_risk
from pxvorel.quality.tune import clipped_channels, tune as tune_settings
from pxvorel.quality.candidates import CANDIDATES
from pxvorel.run.engine import DenoiseJob, denoise_unit
from pxvorel.run.progress import Fractions, ProgressCallback
from pxvorel.run.unit import UnitImage

log = logging.getLogger(__name__)


def _shares(job: DenoiseJob, tune: bool, quality: bool) -> list[float]:
    """Boundaries in [0, 1] of the tuning, the run and the probe run, by the samples each processes."""
    size = float(job.engine.size)
    crop = float(np.prod([len(range(*s.indices(n))) for s, n in zip(tuning_crop(job.engine.shape),
                                                                     job.engine.shape, strict=True)]))
    if tune:
        choosing = 2.0 * (len(CANDIDATES) + 1) * crop
    elif job.settings.automatic:
        regions = tiles(job.engine.shape)
        count = len(choices(job.settings, job.engine.shape)[0])
        choosing = 2.0 * count * sum(float(job.engine[region].size) for region in regions)
    else:
        choosing = 0.0
    costs = [choosing, size, size if quality else 0.0]
    total = sum(costs)
    return [0.0, costs[0] / total, (costs[0] + costs[1]) / total, 1.0]


def run_job(job: DenoiseJob, model: NoiseModel, *, tune: bool = False, quality: bool = False,
            progress: Fractions | None = None) -> tuple[np.ndarray, RunReport]:
    """The denoised image in the caller's axis order and the run's report.

    Without `tune` and `quality`, and with settings that are not :attr:`Settings.automatic`,
    this is :meth:`DenoiseJob.run` (the same result, bit for bit). Automatic settings on a
    plane or a time-lapse are first compared with others on tiles (:func:`choose`).
    """
    edges = _shares(job, tune, quality)

    def share(k: int) -> ProgressCallback | None:
        return None if progress is None else progress.share(edges[k], edges[k + 1])

    settings = job.settings
    tuning = None
    if tune:
        tuning = tune_settings(job.engine, model, settings, share(0))
        settings = tuning.chosen
    elif settings.automatic:
        tuning = choose(job.engine, model, settings, share(0))
        settings = settings if tuning is None else tuning.chosen
    unit = UnitImage.of(job.engine, model)
    estimate = None
    if not unit.channels:
        result = unit.back(unit.work)
    else:
        denoised = denoise_unit(unit.work, settings, share(1))
        if quality:
            probe_share = share(2)
            risk = estimate_risk(unit, model, lambda work: denoise_unit(work, settings, probe_share),
                                 denoised_unit=denoised)
            estimate = QualityEstimate.from_risk(risk, tuple(clipped_channels(job.engine, unit.channels)))
            result = risk.denoised
        else:
            result = unit.back(denoised)
    if progress is not None:
        progress.finish()
    report = RunReport(job.plan, model, settings, tuning, estimate)
    for line in report.describe().splitlines():
        log.info(line)
    return np.ascontiguousarray(job.plan.from_engine(result)), report
