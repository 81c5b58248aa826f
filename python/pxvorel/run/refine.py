"""The second stage: an empirical Wiener filter in a sliding-window DCT, with the engine's
result as the pilot.

Each block of the unit-noise image and of the engine's result goes to the orthonormal
DCT; every noisy coefficient is multiplied by ``S / (S + 1)``, ``S = max(P**2 - floor, 0)``
(P the pilot's coefficient, the floor the part of it the pilot's own error may hold), and
the blocks, taken back, are averaged with a Kaiser window weighted by ``1 / sum(W**2)``
(``_engine.wiener``). Channels are filtered apart.

The block shape follows the image: on stacks and time-lapses the blocks extend along Z
or T, without which they do not beat the pilot there (see
docs/decisions/0005-second-stage-blocks.md). An axis shorter than the block gets a block of
its whole length.

After the default call's finer setting on a plane the stage runs twice, the second pass with
the first one's result as its pilot; after the wider settings it may choose the blocks are wider.
A sample's result depends on the samples within ``block - 1`` of it per pass (its
:meth:`Blocks.reach`),
and block positions are multiples of the step in the whole image's coordinates, so a
part of an image that reaches that far beyond its core, and says where it lies
(``origin``), filters the core exactly as the whole image does.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import pxvorel._engine as _engine
from pxvorel.core.axes import ENGINE_AXES
from pxvorel.run.progress import part_of
from pxvorel.run.settings import DEFAULT_FLOOR, StageVariant

#: Block (samples) and step per axis of plain images, of stacks (Z > 1) and of time-lapses
#: (T > 1, Z = 1), by PSNR on the benchmarks' synthetic data and the estimated gain on real
#: stacks (see docs/decisions/0005-second-stage-blocks.md).
#:
#: Each kind lists its passes: a second pass takes the first one's result as its pilot. It
#: pays where the pilot keeps noise, after the default call's finer setting on a plane (patch
#: radius 1, 3 iterations, p-value 0.1): 16 x 16 with step 3 then 12 x 12 with step 2. After
#: the default setting, whose result is smoother, and on stacks and time-lapses, a second pass
#: loses on some images, so those keep one (see docs/decisions/0006-second-stage-passes.md).
PLANE_BLOCKS = [{"Y": (12, 2), "X": (12, 2)}]
FINE_PLANE_BLOCKS = [{"Y": (16, 3), "X": (16, 3)}, {"Y": (12, 2), "X": (12, 2)}]
STACK_BLOCKS = [{"Z": (8, 2), "Y": (16, 4), "X": (16, 4)}]
FRAME_BLOCKS = [{"T": (8, 2), "Y": (16, 4), "X": (16, 4)}]
#: Wider blocks, after the settings that the default call may choose per image by the estimated
#: error on tiles (:mod:`pxvorel.quality.tile_choice`): on a time-lapse after p-value 1e-7, 10 x 24 x 24
#: blocks with steps 3, 8, 8 follow slow, smooth change further; on a plane after patch radius 1,
#: 4 iterations and p-value 0.05, one pass of 16 x 16 with step 3 (see
#: docs/decisions/0007-choice-on-planes.md and docs/decisions/0008-choice-on-time-lapses.md).
WIDE_PLANE_BLOCKS = [{"Y": (16, 3), "X": (16, 3)}]
WIDE_FRAME_BLOCKS = [{"T": (10, 3), "Y": (24, 8), "X": (24, 8)}]

#: Share of a run's time the stage takes with the default settings, for progress reports: a
#: value between its shares on stacks and on time-lapses (see docs/decisions/0005-second-stage-blocks.md).
STAGE_SHARE = 0.2


@dataclass(frozen=True)
class Blocks:
    """Block length and step of the second stage per axis (T, Z, Y, X; C is always 1), and
    the pass that follows this one, if any (it takes this pass's result as its pilot)."""

    size: dict[str, int]
    step: dict[str, int]
    then: Blocks | None = None

    @classmethod
    def for_shape(cls, shape: Sequence[int], *, variant: StageVariant = "default") -> Blocks:
        """The passes for a whole (T, C, Z, Y, X) image of `shape` after the engine's setting
        `variant`: "fine" after a pilot that keeps noise (the finer setting on a plane, see
        :data:`FINE_PLANE_BLOCKS`), "wide" after a smoother one (:data:`WIDE_PLANE_BLOCKS`,
        :data:`WIDE_FRAME_BLOCKS`); stacks have one kind of passes.

        Examples
        --------
        >>> Blocks.for_shape((1, 1, 32, 256, 256)).size
        {'T': 1, 'Z': 8, 'Y': 16, 'X': 16}
        >>> blocks = Blocks.for_shape((1, 1, 1, 5, 300), variant="fine")
        >>> blocks.size, blocks.then.size if blocks.then else None
        ({'T': 1, 'Z': 1, 'Y': 5, 'X': 16}, {'T': 1, 'Z': 1, 'Y': 5, 'X': 12})
        """
        sizes = dict(zip(ENGINE_AXES, shape, strict=True))
        plane = {"default": PLANE_BLOCKS, "fine": FINE_PLANE_BLOCKS, "wide": WIDE_PLANE_BLOCKS}[variant]
        frames = WIDE_FRAME_BLOCKS if variant == "wide" else FRAME_BLOCKS
        chosen = STACK_BLOCKS if sizes["Z"] > 1 else frames if sizes["T"] > 1 else plane
        result: Blocks | None = None
        for table in reversed(chosen):
            size, step = {}, {}
            for axis in "TZYX":
                block, spacing = table.get(axis, (1, 1))
                size[axis] = max(1, min(block, sizes[axis]))
                step[axis] = min(spacing, size[axis])
            result = cls(size, step, result)
        if result is None:
            raise ValueError("the second stage has no passes for this kind of image")
        return result

    def passes(self) -> list[Blocks]:
        """This pass and those that follow it, in order."""
        chain: list[Blocks] = []
        current: Blocks | None = self
        while current is not None:
            chain.append(current)
            current = current.then
        return chain

    def reach(self, axis: str) -> int:
        """How far along `axis` (samples) the stage's result at a sample looks: each pass
        reads the previous one's result within ``block - 1``."""
        return sum(p.size[axis] - 1 for p in self.passes())

    def longest(self, axis: str) -> int:
        """The longest block of any pass along `axis`."""
        return max(p.size[axis] for p in self.passes())

    def native(self, origin: Sequence[int] | None = None) -> tuple[list[int], list[int], list[int]]:
        """This pass's block, step and origin lists in the native x, y, z, c, t order; `origin`
        is the (T, C, Z, Y, X) position of the array's first sample in the whole image."""
        at = dict(zip(ENGINE_AXES, origin if origin is not None else (0,) * 5, strict=True))
        order = ("X", "Y", "Z", "C", "T")
        return (
            [1 if a == "C" else self.size[a] for a in order],
            [1 if a == "C" else self.step[a] for a in order],
            [0 if a == "C" else int(at[a]) for a in order],
        )


def refine(
    noisy: npt.NDArray[np.float32],
    pilot: npt.NDArray[np.float32],
    blocks: Blocks,
    *,
    origin: Sequence[int] | None = None,
    threads: int = 0,
    progress: Callable[[float], object] | None = None,
    floor: float = DEFAULT_FLOOR,
) -> npt.NDArray[np.float32]:
    """The second stage on a (T, C, Z, Y, X) image at unit noise, as a new float32 array.

    `pilot` is the engine's result on `noisy`; neither is written. Each pass of `blocks`
    filters `noisy` with the previous pass's result (at first `pilot`) as its pilot. `threads` as for the
    native calls (0: the count in force). The result does not depend on the thread count.
    `floor` is the part of each squared pilot coefficient, in noise variances, that the stage
    takes for the pilot's own error: each noisy coefficient is scaled by S / (S + 1) with
    S = max(P**2 - floor, 0). Where the engine kept noise (a patch without similar ones, a
    dark clump, a rare configuration) its coefficients are of the noise's size, and a stage
    that trusted them would pass that noise through in the shape of the block's cosines
    (checkerboard specks, plaid).

    Examples
    --------
    >>> rng = np.random.default_rng(0)
    >>> clean = np.zeros((1, 1, 1, 32, 32), np.float32)
    >>> noisy = (clean + rng.standard_normal(clean.shape)).astype(np.float32)
    >>> out = refine(noisy, clean, Blocks.for_shape(noisy.shape))
    >>> float(np.abs(out).max()) < float(np.abs(noisy).max())
    True
    """
    passes = blocks.passes()
    result = pilot
    for k, one in enumerate(passes):
        block, step, start = one.native(origin)
        part = part_of(progress, k / len(passes), (k + 1) / len(passes))
        result = _engine.wiener(noisy, result, block, step, start, threads, progress=part, floor=floor)
    return result
