"""Runs of the denoiser that the texture figure judges: the default call as a new user makes it,
and, to find which part of a run leaves a texture, the same image with one part changed.

All runs use one thread (the result then does not depend on the machine's load, and the
default call's own result on more threads is the same but for the last bits).
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from scipy import ndimage

import pxvorel
from pxvorel.noise.model import NoiseModel
from pxvorel.run.execute import denoise_with
from pxvorel.run.job import prepare
from pxvorel.run.refine import Blocks, refine
from pxvorel.run.settings import Settings
from pxvorel.run.unit import UnitImage

Image = npt.NDArray[np.float32]


@dataclass(frozen=True)
class Run:
    """A result in the image's own axes, with the noise model and settings it was made with."""

    output: Image
    model: NoiseModel
    settings: Settings
    shape: tuple[int, int, int, int, int]
    """The image's (T, C, Z, Y, X) shape."""


def default_run(image: Image, axes: str) -> Run:
    """``pxvorel.denoise(image, axes=axes)`` on one thread, with the model and settings it chose."""
    output, report = pxvorel.denoise(image, axes=axes, threads=1, return_report=True)
    return Run(output, report.noise, report.settings, report.plan.engine_shape)


def run_with(image: Image, axes: str, model: NoiseModel, settings: Settings) -> Image:
    """`image` denoised with a model and settings given (no choice of settings)."""
    job = prepare(image, axes=axes, threads=1)
    return job.plan.from_engine(denoise_with(job.engine, model, dataclasses.replace(settings, threads=1)))


def fixed_settings(image: Image, axes: str) -> Settings:
    """The default call's settings before its choice on tiles (patch radius 2, or 1 in X and Y
    on a time-lapse; 4 iterations, p-value 1e-5, the stage's default blocks)."""
    return prepare(image, axes=axes, threads=1).settings


def stage_alone(image: Image, axes: str, model: NoiseModel, settings: Settings, sigma: float) -> Image:
    """The second stage of `settings` on the unit-noise image, with a Gaussian blur of `sigma`
    samples (along Y and X, and along Z or T) of that image as its pilot in the engine's stead."""
    job = prepare(image, axes=axes, threads=1)
    unit = UnitImage.of(job.engine, model)
    along = [0.0 if axis == 1 or n == 1 else sigma for axis, n in enumerate(unit.work.shape)]
    pilot = ndimage.gaussian_filter(unit.work, along, mode="reflect").astype(np.float32)
    blocks = Blocks.for_shape(unit.work.shape, variant=settings.variant)
    return job.plan.from_engine(unit.back(refine(unit.work, pilot, blocks, threads=1)))


def lattices(
    settings: Settings, shape: tuple[int, int, int, int, int]
) -> tuple[tuple[int, int, int], tuple[int, int, int]]:
    """The periods (D, Y, X) along which a result of `settings` on a (T, C, Z, Y, X) image of
    `shape` may repeat: the second stage's block steps (every pass's; all 1 without the stage)
    and the engine's reference grid (patch radius + 1 along X, Y and Z, the latter only where
    Z holds more than four radii; the radius itself along T). D is Z on stacks, T otherwise."""
    t, _, z, y, x = shape
    r = settings.patch_radius
    grid = {
        "X": r["X"] + 1 if 0 < r["X"] < x else 1,
        "Y": r["Y"] + 1 if 0 < r["Y"] < y else 1,
        "Z": r["Z"] + 1 if r["Z"] > 0 and z > 4 * r["Z"] + 1 else 1,
        "T": r["T"] if 0 < r["T"] < t else 1,
    }
    stage = dict.fromkeys("TZYX", 1)
    if settings.refine:
        for one in Blocks.for_shape(shape, variant=settings.variant).passes():
            stage = {a: math.lcm(stage[a], one.step[a]) for a in stage}
    depth = "Z" if z > 1 else "T"
    return (stage[depth], stage["Y"], stage["X"]), (grid[depth], grid["Y"], grid["X"])


def describe(settings: Settings) -> str:
    """The settings that the choice changes, in a few words."""
    r = settings.patch_radius
    stage = {"default": "stage", "fine": "stage two passes", "wide": "stage wide blocks"}[settings.variant]
    return (
        f"radius {r['X']}, {settings.iterations} it., p {settings.pvalue:g}, {stage if settings.refine else 'no stage'}"
    )
