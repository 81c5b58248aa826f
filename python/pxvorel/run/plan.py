"""The plan of one run of the engine and the second stage on a unit-noise image, worked out
once before it starts: the settings, how the channels go through the engine, the bands the
image is cut into on several threads (from the engine's geometry, asked of the engine only
then), and the second stage's blocks."""

from __future__ import annotations

from dataclasses import dataclass

from pxvorel.run.bands import Band, plan_bands
from pxvorel.run.geometry import Geometry
from pxvorel.run.halo import Halo
from pxvorel.run.refine import Blocks
from pxvorel.run.settings import Settings
from pxvorel.run.threads import run_threads


@dataclass(frozen=True)
class RunPlan:
    """How a (T, C, Z, Y, X) unit-noise image of `shape` is denoised with `settings`."""

    settings: Settings
    shape: tuple[int, ...]
    threads: int
    """The threads the run gets (one in a forked child)."""
    side_channels: int
    """Channels denoised apart that run side by side in whole rounds, one thread each (see
    :func:`pxvorel.run.execute.execute`); 0 when none do."""
    bands: tuple[Band, ...] | None
    """The bands of one engine call on all threads (the image, or one channel of it when
    channels are denoised apart), or None for one call on the engine's own threads."""
    blocks: Blocks | None
    """The second stage's passes (None without the stage)."""

    @classmethod
    def of(cls, settings: Settings, shape: tuple[int, ...], *, blocks: Blocks | None = None) -> RunPlan:
        """The plan for an image of `shape`; `blocks` for a part of a larger image, whose stage
        places its blocks as on the whole image (by default they are chosen for `shape`)."""
        threads = run_threads(settings.threads)
        count = shape[1]
        separate = settings.channels == "separate" and count > 1
        side = count - count % threads if separate and threads > 1 else 0
        call = (shape[0], 1, *shape[2:]) if separate else shape
        bands = None
        if threads > 1 and side < count:  # some engine call runs on all threads: bands may pay
            planned = plan_bands(call, Halo.of(settings, call, Geometry.of(settings, call)), threads)
            bands = tuple(planned) if planned is not None else None
        if settings.refine and blocks is None:
            blocks = Blocks.for_shape(shape, variant=settings.variant)
        return cls(settings, shape, threads, side, bands, blocks if settings.refine else None)
