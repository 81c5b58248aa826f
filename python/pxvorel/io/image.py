"""The image-file type: samples (in memory or a dask array) with their axes, pixel sizes and details."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

from pxvorel.io.details import ImageDetails
from pxvorel.io.units import MICROMETRE, um_per

if TYPE_CHECKING:
    from dask.array.core import Array as DaskArray

__all__ = ["ImageFile"]


@dataclass
class ImageFile:
    """An image read from or to be written to a file, with its axes and pixel sizes.

    The same type holds an image read whole (a NumPy array) and one opened lazily (a
    dask array).

    Attributes
    ----------
    data : numpy.ndarray or dask.array.Array
        The samples, in the file's own axis order.
    axes : str
        One letter of T, C, Z, Y, X per dimension of `data`.
    spacing : dict of str to float
        Physical size per axis where known: ``"X"``, ``"Y"`` and ``"Z"`` in micrometres,
        ``"T"`` (frame interval) in seconds.
    unit : str or None
        ``"µm"`` when the spatial sizes are physical; None when the file gave only
        relative pixel sizes (no unit). Another length unit may be given when the
        object is made: the spatial sizes are then converted to micrometres and
        `unit` becomes ``"µm"``.
    details : ImageDetails
        Names, colours, display ranges and the rest of what the file says about the
        image, which the writers put back (empty for an image made in memory).

    Raises
    ------
    ValueError
        When `unit` names no length unit.

    Examples
    --------
    >>> image = ImageFile(np.zeros((4, 8, 8)), "ZYX", {"Z": 300.0, "X": 65.0, "Y": 65.0}, "nm")
    >>> image.spacing, image.unit
    ({'Z': 0.3, 'X': 0.065, 'Y': 0.065}, 'µm')
    """

    data: np.ndarray | DaskArray
    axes: str
    spacing: dict[str, float] = field(default_factory=dict)
    unit: str | None = None
    details: ImageDetails = field(default_factory=ImageDetails)

    def __post_init__(self) -> None:
        spacing = {str(a): float(s) for a, s in self.spacing.items()}
        if self.unit is not None and self.unit != MICROMETRE:
            factor = um_per(self.unit)
            if factor is None:
                raise ValueError(f"{self.unit!r} is not a unit of length; give pixel sizes in e.g. µm or nm")
            spacing = {a: s * factor if a in "XYZ" else s for a, s in spacing.items()}
            self.unit = MICROMETRE
        self.spacing = spacing
