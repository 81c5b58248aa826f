"""The engine's geometry, asked of the engine itself: search radii, reference grid, reach and work."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import pxvorel._engine as _engine

if TYPE_CHECKING:
    from pxvorel.run.settings import Settings

#: Axes along which an image is cut into parts (channels stay together: a patch spans them all).
CUT_AXES = "TZYX"


def _by_axis(values: Sequence[int]) -> dict[str, int]:
    return {axis: int(v) for axis, v in zip(CUT_AXES, values, strict=True)}


@dataclass(frozen=True)
class Geometry:
    """The engine's geometry for one image shape and settings, as the engine itself derives it."""

    search_radius: tuple[dict[str, int], ...]
    """Per iteration, the search radius along T, Z, Y and X."""
    grid_step: dict[str, int]
    """Spacing of the interior reference grid along T, Z, Y and X."""
    reach: dict[str, int]
    """How far from a cut face a part's result can differ from the whole image's."""
    work: int
    """The units of work of a run (neighbours compared times patch samples read), as its progress counts them."""

    @classmethod
    def of(cls, settings: Settings, shape: tuple[int, ...]) -> Geometry:
        """The geometry of a run with `settings` on a (T, C, Z, Y, X) image of `shape`."""
        radius, search = settings.native_lists()
        native = _engine.geometry(shape, radius, search, settings.iterations)
        return cls(
            tuple(_by_axis(r) for r in native["search_radius"]),
            _by_axis(native["grid_step"]),
            _by_axis(native["reach"]),
            int(native["work"]),
        )
