"""How far the engine's result at a sample depends on the image, so that a part of an
image can be denoised exactly as the whole image would denoise it.

One iteration of the engine computes each sample from the current estimate within
``2 * r + R`` samples of it along every axis (r the patch radius, R that iteration's
search radius): a reference patch covering the sample lies within r, its neighbours
within R of it, and their patches within r again. Whatever a part does differently
from the whole image happens at its cut faces: neighbours that do not fit change the
last ``2 * r + R`` samples, and the edge pass on the part's last interior position
(which the whole image does not have there) the last ``2 * r + 1``. So after all
iterations only the samples within the *reach* ``sum_i (2 * r + max(R_i, 1))`` of a
cut face can differ (``sum_i R_i`` along an axis of patch radius 0). A part that
extends its core by at least the reach therefore computes the core exactly as the
whole image would, provided that it also places its reference patches where the whole
image does: the interior reference grid starts at the part's origin, so every origin
lies on the whole image's grid (a multiple of the grid step), and a part spans enough
samples that its own grid step is the image's (the z step depends on the stack depth).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

from pxvorel.core.axes import ENGINE_AXES
from pxvorel.run.geometry import CUT_AXES, Geometry

if TYPE_CHECKING:
    from pxvorel.run.refine import Blocks
    from pxvorel.run.settings import Settings


@dataclass(frozen=True)
class Halo:
    """Per cut axis: how far a block reaches beyond its core, its grid step, and its least length."""

    reach: dict[str, int]
    step: dict[str, int]
    least: dict[str, int]

    @classmethod
    def for_image(cls, settings: Settings, shape: tuple[int, ...]) -> Halo:
        """The halo that makes blocks of a (T, C, Z, Y, X) image of `shape` equal to the whole image."""
        return cls.of(settings, shape, Geometry.of(settings, shape))

    @classmethod
    def of(cls, settings: Settings, shape: tuple[int, ...], geometry: Geometry) -> Halo:
        """:meth:`for_image` from the engine's `geometry` for that image and settings.

        A block at least ``4 * r + 2`` long (or the whole axis) gets the image's grid
        step along every axis: above ``4 * r + 1`` slices the z step is ``r + 1``.
        """
        sizes = dict(zip(ENGINE_AXES, shape, strict=True))
        least = {}
        for axis in CUT_AXES:
            r = settings.patch_radius[axis] if sizes[axis] > 1 else 0
            least[axis] = min(sizes[axis], max(2, 4 * r + 2))
        return cls(dict(geometry.reach), dict(geometry.grid_step), least)

    def widened(self, blocks: Blocks) -> Halo:
        """This halo with the second stage's reach added along every axis.

        The stage at a sample reads the engine's result and the input within its
        reach (``block - 1`` per pass), so the engine must be exact that much further out;
        and a block must hold at least one whole stage block of each pass along each axis (the stage's
        block positions follow the whole image's coordinates, not the grid step).
        """
        return Halo(
            {a: r + blocks.reach(a) for a, r in self.reach.items()},
            dict(self.step),
            {a: max(n, blocks.longest(a)) for a, n in self.least.items()},
        )

    def region(self, axis: str, start: int, stop: int, size: int) -> tuple[int, int]:
        """The block [lo, hi) that computes the core [start, stop) of an axis of `size` exactly."""
        step = self.step[axis]
        lo = max(0, start - self.reach[axis]) // step * step
        hi = min(size, stop + self.reach[axis])
        if hi - lo < self.least[axis]:
            hi = min(size, lo + self.least[axis])
            lo = max(0, hi - self.least[axis]) // step * step
        return lo, hi
