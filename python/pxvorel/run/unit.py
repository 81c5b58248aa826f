"""An image brought to unit noise and back: the per-channel stabilising transforms that every
run applies before the engine and inverts after it, and, for a channel whose noise is
spatially correlated, the whitening that follows the transform and the colouring that
precedes its inverse (:mod:`pxvorel.noise.correlation`).

Samples far below every neighbour (dead pixels) are repaired on the way
(:mod:`pxvorel.run.outliers`). Channels without noise take no part: they are left out of the unit-noise
array and copied unchanged into the result.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from pxvorel.core.slabs import SLAB_SAMPLES as DEFAULT_SLAB_SAMPLES
from pxvorel.core.slabs import in_slabs
from pxvorel.noise.correlation import NoiseCorrelation
from pxvorel.noise.model import NoiseModel
from pxvorel.noise.table import UnitTransform, unit_transform
from pxvorel.run.outliers import repair_dark


@dataclass(frozen=True)
class UnitImage:
    """A (T, C, Z, Y, X) image and its noisy channels at unit noise."""

    engine: np.ndarray
    """The input in intensities, never written to."""
    channels: tuple[int, ...]
    """The channels of `engine` that have noise, in the order of the unit-noise array."""
    transforms: tuple[UnitTransform, ...]
    """One per entry of `channels`."""
    work: npt.NDArray[np.float32]
    """The noisy channels at unit noise: shape (T, len(channels), Z, Y, X)."""
    correlations: tuple[NoiseCorrelation | None, ...] = ()
    """One per entry of `channels`: the correlation its noise is whitened by, or None (white)."""

    @classmethod
    def of(cls, engine: np.ndarray, model: NoiseModel) -> UnitImage:
        """Every noisy channel of `engine` through its model's stabilising transform, its dead
        pixels repaired (:func:`~pxvorel.run.outliers.repair_dark`), and whitened where its
        noise is correlated."""
        channels = tuple(c for c in range(model.channels) if model.has_noise(c))
        unit = cls._through(engine, channels, tuple(unit_transform(model, c) for c in channels))
        correlations = tuple(model.correlation[c] for c in channels)
        for i, correlation in enumerate(correlations):
            repair_dark(unit.work[:, i], 1.0 if correlation is None else math.sqrt(correlation.level))
            if correlation is not None:
                unit.work[:, i] = correlation.whiten(unit.work[:, i])
        return cls(unit.engine, unit.channels, unit.transforms, unit.work, correlations)

    def correlated(self) -> bool:
        """Whether any channel's noise is whitened (its unit-noise samples are then not each
        the transform of one intensity)."""
        return any(c is not None for c in self.correlations)

    @classmethod
    def _through(
        cls, engine: np.ndarray, channels: tuple[int, ...], transforms: tuple[UnitTransform, ...]
    ) -> UnitImage:
        """`channels` of `engine` through `transforms`, one per channel."""
        work = np.empty((engine.shape[0], len(channels), *engine.shape[2:]), dtype=np.float32)
        for i, (c, transform) in enumerate(zip(channels, transforms, strict=True)):
            _in_slabs(transform.forward, engine[:, c], work[:, i])
        return cls(engine, channels, transforms, work)

    def part(self, region: tuple[slice, ...]) -> UnitImage:
        """The part of this image in `region` (a tile or a crop), its unit-noise samples a
        contiguous copy of this one's (each sample is transformed on its own, so they are
        the part's own transform; whitened samples are the whole image's, and :meth:`back`
        colours the part on its own, mirrored at its edges)."""
        return UnitImage(
            self.engine[region],
            self.channels,
            self.transforms,
            np.ascontiguousarray(self.work[region]),
            self.correlations,
        )

    def back(self, denoised: np.ndarray, *, reuse: bool = False) -> npt.NDArray[np.float32]:
        """The image in intensities (float32) from a denoised unit-noise array shaped like `work`.

        With `reuse`, a C-contiguous float32 `denoised` that holds every channel of `engine`
        (none is left out for want of noise) receives the result in place and is returned:
        each sample is transformed on its own, a few planes at a time, so nothing is read
        after it is written, and the run needs no second image-sized array at its end."""
        if reuse and self._holds_result(denoised):
            result: npt.NDArray[np.float32] = denoised
        else:
            result = np.array(self.engine, dtype=np.float32, order="C", copy=True)
        correlations = self.correlations or (None,) * len(self.channels)
        for i, (c, transform, correlation) in enumerate(zip(self.channels, self.transforms, correlations, strict=True)):
            coloured = denoised[:, i] if correlation is None else correlation.colour(denoised[:, i])
            _in_slabs(transform.inverse, coloured, result[:, c])
        return result

    def _holds_result(self, denoised: np.ndarray) -> bool:
        """Whether `denoised` can take the result in place: float32, C-contiguous, and its
        channels those of `engine` in their order."""
        return (
            denoised.dtype == np.float32
            and denoised.flags.c_contiguous
            and denoised.flags.writeable
            and denoised.shape == self.engine.shape
            and self.channels == tuple(range(self.engine.shape[1]))
        )


#: Samples a transform takes at a time (:func:`~pxvorel.core.slabs.in_slabs`).
SLAB_SAMPLES = DEFAULT_SLAB_SAMPLES


def _in_slabs(transform: Callable[[np.ndarray], np.ndarray], source: np.ndarray, target: np.ndarray) -> None:
    """target = transform(source) for (T, Z, Y, X) arrays, SLAB_SAMPLES samples at a time."""
    in_slabs(transform, source, target, SLAB_SAMPLES)
