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

from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING

from pxvorel.core.axes import ENGINE_AXES

if TYPE_CHECKING:
    from pxvorel.run.refine import Blocks
    from pxvorel.run.settings import Settings

#: Axes along which an image is cut into parts (channels stay together: a patch spans them all).
CUT_AXES = "TZYX"


def _effective_radius(settings: Settings, axis: str, size: int) -> int:
    """The patch radius the engine uses along `axis`: 0 on an axis of one sample."""
    return settings.patch_radius[axis] if size > 1 else 0


def search_radii(settings: Settings, axis: str, size: int) -> list[int]:
    """Search radius along `axis` in each iteration, as the engine derives it for an axis of `size`.

    X and Y double from 1, Z grows by one from 0 and T by one from the third iteration
    on; each is capped at the axis length and is 0 on an axis of one sample or one the
    search does not extend along.
    """
    if size <= 1 or (axis in "ZT" and not settings.search[axis]):
        return [0] * settings.iterations
    grow: Callable[[int], int] = {"X": lambda i: 2**i, "Y": lambda i: 2**i, "Z": lambda i: i,
                                  "T": lambda i: max(i - 2, 0)}[axis]
    return [min(grow(i), size) for i in range(settings.iterations)]


def grid_step(settings: Settings, axis: str, size: int) -> int:
    """Spacing of the engine's interior reference grid along `axis` for an axis of `size`."""
    r = _effective_radius(settings, axis, size)
    if r == 0:
        return 1
    if axis == "Z":
        return r + 1 if size > 4 * r + 1 else 1
    if axis == "T":
        return r if r < size else 1
    return r + 1 if r < size else 1


@dataclass(frozen=True)
class Halo:
    """Per cut axis: how far a block reaches beyond its core, its grid step, and its least length."""

    reach: dict[str, int]
    step: dict[str, int]
    least: dict[str, int]

    @classmethod
    def for_image(cls, settings: Settings, shape: tuple[int, ...]) -> Halo:
        """The halo that makes blocks of a (T, C, Z, Y, X) image of `shape` equal to the whole image.

        A block at least ``4 * r + 2`` long (or the whole axis) gets the image's grid
        step along every axis: above ``4 * r + 1`` slices the z step is ``r + 1``.
        """
        sizes = dict(zip(ENGINE_AXES, shape, strict=True))
        reach, step, least = {}, {}, {}
        for axis in CUT_AXES:
            n = sizes[axis]
            r = _effective_radius(settings, axis, n)
            reach[axis] = sum(2 * r + max(radius, 1) if r else radius for radius in search_radii(settings, axis, n))
            step[axis] = grid_step(settings, axis, n)
            least[axis] = min(n, max(2, 4 * r + 2))
        return cls(reach, step, least)

    def widened(self, blocks: Blocks) -> Halo:
        """This halo with the second stage's reach added along every axis.

        The stage at a sample reads the engine's result and the input within
        ``block - 1`` of it, so the engine must be exact that much further out; and a
        block must hold at least one whole stage block along each axis (the stage's
        block positions follow the whole image's coordinates, not the grid step).
        """
        return Halo({a: r + blocks.reach(a) for a, r in self.reach.items()}, dict(self.step),
                    {a: max(n, blocks.size[a]) for a, n in self.least.items()})

    def region(self, axis: str, start: int, stop: int, size: int) -> tuple[int, int]:
        """The block [lo, hi) that computes the core [start, stop) of an axis of `size` exactly."""
        step = self.step[axis]
        lo = max(0, start - self.reach[axis]) // step * step
        hi = min(size, stop + self.reach[axis])
        if hi - lo < self.least[axis]:
            hi = min(size, lo + self.least[axis])
            lo = max(0, hi - self.least[axis]) // step * step
        return lo, hi
