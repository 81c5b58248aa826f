"""What a file says about an image beyond its samples, axes and pixel sizes.

Microscopists put names, colours, display ranges, labels and notes into their files;
denoising changes none of them, so every writer puts back what it can hold. The
details are read once into one :class:`ImageDetails` and carried with the image
(:class:`pxvorel.io.ImageFile`): ImageJ's own fields travel as ImageJ wrote them, the
source's OME-XML as text (rewritten for the result by :mod:`pxvorel.io.ome`), and what
every format has a place for (image name, channel names, colours, display windows,
the position of the first sample) in fields of their own, so that an ImageJ file
written as OME-Zarr keeps its colours and ranges and the other way round.
"""

from __future__ import annotations

import logging
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

__all__ = ["IMAGEJ_KEYS", "ImageDetails", "color_of_lut", "lut_of_color"]

log = logging.getLogger(__name__)

#: ImageJ's fields that are carried unchanged: its metadata tags (colour tables, display
#: ranges, slice labels, the Info text, properties, regions and overlays) and the
#: description's entries that are about display and position, not about axes or sizes.
IMAGEJ_KEYS = (
    "Info",
    "Labels",
    "Ranges",
    "LUTs",
    "Properties",
    "ROI",
    "Overlays",
    "min",
    "max",
    "mode",
    "loop",
    "fps",
    "xorigin",
    "yorigin",
    "zorigin",
)


@dataclass(frozen=True)
class ImageDetails:
    """The descriptive metadata of an image, carried from the file read to the file written.

    Attributes
    ----------
    name : str or None
        The image's name (OME ``Image/@Name``, the OME-Zarr multiscales name).
    channel_names : tuple of str
        One name per channel, or empty.
    channel_colors : tuple of str
        One ``"RRGGBB"`` colour per channel, or empty.
    windows : tuple of (float, float)
        One display range (low, high) per channel, or empty.
    translation : dict of str to float
        Position of the first sample per axis (micrometres for X, Y, Z; seconds for T).
    imagej : dict
        ImageJ's own fields as tifffile reads them, under the names of :data:`IMAGEJ_KEYS`.
    ome_xml : str or None
        The source's OME-XML, for an OME-TIFF result (:mod:`pxvorel.io.ome`).
    series : int
        Which series of a multi-series file the image is.
    """

    name: str | None = None
    channel_names: tuple[str, ...] = ()
    channel_colors: tuple[str, ...] = ()
    windows: tuple[tuple[float, float], ...] = ()
    translation: Mapping[str, float] = field(default_factory=dict)
    imagej: Mapping[str, Any] = field(default_factory=dict)
    ome_xml: str | None = None
    series: int = 0

    @classmethod
    def from_imagej(cls, meta: Mapping[str, Any]) -> ImageDetails:
        """The details of an ImageJ file from tifffile's ``imagej_metadata``."""
        kept = {key: meta[key] for key in IMAGEJ_KEYS if meta.get(key) is not None}
        ranges = [float(v) for v in kept.get("Ranges", ())]
        windows = tuple((ranges[i], ranges[i + 1]) for i in range(0, len(ranges) - 1, 2))
        if not windows and "min" in kept and "max" in kept:
            windows = ((float(kept["min"]), float(kept["max"])),)
        luts = kept.get("LUTs") or ()
        colors = tuple(color_of_lut(lut) for lut in luts)
        return cls(channel_colors=colors if all(colors) else (), windows=windows, imagej=kept)

    def for_channels(self, channels: int) -> ImageDetails:
        """The details with per-channel entries that do not fit `channels` channels left out (with a warning:
        e.g. names of three channels for an image read with other axes than the file's)."""
        fitting: dict[str, Any] = {}
        for key in ("channel_names", "channel_colors", "windows"):
            values: Sequence[Any] = getattr(self, key)
            if values and len(values) != channels:
                log.warning("%d %s for %d channel(s): left out", len(values), key.replace("_", " "), channels)
                fitting[key] = ()
        return ImageDetails(**{**self.__dict__, **fitting}) if fitting else self


def color_of_lut(lut: Any) -> str:
    """The ``"RRGGBB"`` colour a (3, 256) colour table ends in, or "" for another table shape."""
    table = np.asarray(lut)
    if table.shape != (3, 256):
        return ""
    return "".join(f"{int(v):02X}" for v in table[:, -1])


def lut_of_color(color: str) -> np.ndarray:
    """A (3, 256) uint8 colour table rising linearly from black to ``"RRGGBB"``."""
    rgb = np.array([int(color[i : i + 2], 16) for i in (0, 2, 4)], np.float64)
    ramp = np.arange(256) / 255.0
    return np.rint(rgb[:, None] * ramp[None, :]).astype(np.uint8)
