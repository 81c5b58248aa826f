"""pxvorel runs whose second stage takes passes given here rather than the package's own.

The package chooses the stage's passes per kind of image from its tables
(:mod:`pxvorel.run.refine`). A benchmark comparing other block shapes hands them to the run's
plan (:meth:`pxvorel.run.plan.RunPlan.of`) as :class:`~pxvorel.run.refine.Blocks` and takes the
other steps of :func:`pxvorel.pipeline.run` as they are: the noise model, the default call's
choice on tiles, the execution and the quality estimate. The package's tables stay as they are.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass

import numpy as np

from pxvorel.noise.choose import choose_model
from pxvorel.noise.model import NoiseSpec
from pxvorel.quality.estimate import QualityEstimate
from pxvorel.quality.sure import estimate_risk
from pxvorel.quality.tile_choice import choose
from pxvorel.quality.tune import clipped_channels
from pxvorel.run.execute import execute
from pxvorel.run.job import prepare
from pxvorel.run.plan import RunPlan
from pxvorel.run.refine import Blocks
from pxvorel.run.settings import DEFAULT_CHANNELS, DEFAULT_ITERATIONS, DEFAULT_PVALUE, Settings
from pxvorel.run.unit import UnitImage

#: The stage's passes: per pass, (block, step) by axis letter (T, Z, Y, X; an axis not named: 1, 1).
Passes = Sequence[Mapping[str, tuple[int, int]]]


def blocks_for(shape: tuple[int, ...], passes: Passes) -> Blocks:
    """`passes` as the stage's blocks for a (T, C, Z, Y, X) image of `shape`: each block at most
    the axis long, each step at most the block, as the package fits its own tables."""
    sizes = {"T": shape[0], "Z": shape[2], "Y": shape[3], "X": shape[4]}
    result: Blocks | None = None
    for table in reversed(passes):
        size = {a: max(1, min(table.get(a, (1, 1))[0], n)) for a, n in sizes.items()}
        step = {a: min(table.get(a, (1, 1))[1], size[a]) for a in sizes}
        result = Blocks(size, step, result)
    if result is None:
        raise ValueError("no passes given")
    return result


@dataclass(frozen=True)
class Run:
    """A run's result in the caller's axis order, the settings it ran with and its quality estimate."""

    result: np.ndarray
    settings: Settings
    quality: QualityEstimate | None


def denoise_with_passes(
    image: np.ndarray,
    passes: Passes,
    *,
    axes: str,
    noise: NoiseSpec = "auto",
    threads: int | None = None,
    quality: bool = False,
    patch_radius: int | Mapping[str, int] | None = None,
    iterations: int = DEFAULT_ITERATIONS,
    pvalue: float = DEFAULT_PVALUE,
    channels: str = DEFAULT_CHANNELS,
) -> Run:
    """As ``pxvorel.denoise`` with these arguments, with `passes` as the second stage after the
    default setting (the variant whose passes the package takes from its kind's table).

    The default call's choice on tiles of a plane or time-lapse is the package's own, made with
    the package's passes; `passes` then follow the setting it chooses when that is the default
    one, and its alternatives keep their own passes.
    """
    job = prepare(
        image,
        axes=axes,
        patch_radius=patch_radius,
        iterations=iterations,
        pvalue=pvalue,
        threads=threads,
        channels=channels,
    )
    model = choose_model(job.engine, noise, stacklevel=2)
    unit = UnitImage.of(job.engine, model)
    settings = job.settings
    if settings.automatic:
        tuning = choose(unit, model, settings)
        settings = settings if tuning is None else tuning.chosen
    estimate = None
    if not unit.channels:
        result = unit.back(unit.work)
    else:
        blocks = blocks_for(job.engine.shape, passes) if settings.variant == "default" else None
        plan = RunPlan.of(settings, unit.work.shape, blocks=blocks)
        denoised = execute(unit.work, plan)
        if quality:
            risk = estimate_risk(unit, model, lambda work: execute(work, plan), denoised_unit=denoised)
            estimate = QualityEstimate.from_risk(risk, tuple(clipped_channels(job.engine, unit.channels)))
            result = risk.denoised
        else:
            result = unit.back(denoised)
    return Run(np.ascontiguousarray(job.plan.from_engine(result)), settings, estimate)
