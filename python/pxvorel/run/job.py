"""A denoising job: the image as a (T, C, Z, Y, X) view, its axes and the validated settings,
checked before any work (the first step of :mod:`pxvorel.pipeline`)."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np

from pxvorel.core.axes import AxisPlan
from pxvorel.core.image import as_image
from pxvorel.run.settings import DEFAULT_CHANNELS, DEFAULT_ITERATIONS, DEFAULT_PVALUE, Settings


@dataclass(frozen=True)
class Job:
    """An image ready for a run: its axes, the settings asked for, and the image itself."""

    plan: AxisPlan
    settings: Settings
    engine: np.ndarray
    """The input as a (T, C, Z, Y, X) view; never written to."""


def prepare(
    image: np.typing.ArrayLike,
    *,
    axes: str | None = None,
    patch_radius: int | Mapping[str, int] | None = None,
    search_axes: str | Mapping[str, bool] | None = None,
    iterations: int = DEFAULT_ITERATIONS,
    pvalue: float = DEFAULT_PVALUE,
    renoise: float = 0.0,
    threads: int | None = None,
    refine: bool = True,
    channels: str = DEFAULT_CHANNELS,
) -> Job:
    """Step 1: check the image, its axes and the engine parameters before any work."""
    array = as_image(image)
    plan = AxisPlan.for_array(array.shape, axes)
    engine = plan.to_engine(array)
    settings = Settings.from_arguments(
        plan,
        patch_radius=patch_radius,
        search_axes=search_axes,
        iterations=iterations,
        pvalue=pvalue,
        renoise=renoise,
        threads=threads,
        refine=refine,
        channels=channels,
    )
    return Job(plan, settings, engine)
