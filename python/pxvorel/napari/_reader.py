"""The napari reader: TIFF, ``.npy`` and Zarr files open as image layers with their axes and scale.

Files are read as the command line reads them (:func:`pxvorel.io.read_image`; Zarr lazily
with :func:`pxvorel.io.zarr.open_lazy`). Each channel becomes its own layer, named after
the file's channel names where it has them and shown in its colour and display range; every layer
is labelled with its axes (``t``, ``z``, ``y``, ``x``, which the denoise widget reads
back) and scaled by the file's pixel sizes, in micrometres and seconds. Every series of a
multi-series TIFF opens, each as its own layers.

napari offers a file to every reader whose name patterns match, so the reader looks
before it claims one (reading headers only) and leaves to other readers what they show
better: colour (RGB) and palette TIFFs, label images (an OME-Zarr ``image-label``, or an
integer TIFF named as labels or a mask), OME-Zarr plates and wells, Zarr groups that hold
no image of their own, and files that are no TIFF at all.
"""

from __future__ import annotations

import json
import logging
import re
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, Union

import numpy as np
import tifffile

from pxvorel.core.axes import default_axes, doubtful_axes
from pxvorel.io import ImageFile, read_image, series_count
from pxvorel.io.zarr import is_zarr, open_lazy

__all__ = ["image_layer", "napari_get_reader", "read_layers"]

log = logging.getLogger(__name__)

PathLike = Union[str, Path]  # noqa: UP007  (napari passes str or a list of str)
LayerData = tuple[Any, dict[str, Any], str]

_SUFFIXES = (".tif", ".tiff", ".npy", ".zarr")


def _paths(path: PathLike | Sequence[PathLike]) -> list[Path]:
    return [Path(path)] if isinstance(path, (str, Path)) else [Path(p) for p in path]


#: File names that mark a label image or mask (as words of the name: "cells_labels.tif").
_LABEL_NAMES = re.compile(r"(^|[^a-z])(labels?|masks?|segmentation|seg)([^a-z]|$)")


def _zarr_attributes(path: Path) -> dict[str, Any] | None:
    """The attributes of a Zarr group or array (format 2 or 3), or None for an array or a
    folder without them."""
    v3 = path / "zarr.json"
    if v3.is_file():
        meta = json.loads(v3.read_text())
        return dict(meta.get("attributes", {})) if meta.get("node_type") == "group" else None
    if (path / ".zarray").is_file():
        return None
    attributes = path / ".zattrs"
    return dict(json.loads(attributes.read_text())) if attributes.is_file() else {}


def _claims_zarr(path: Path) -> bool:
    """A Zarr array, or an OME-Zarr image that is not a label image, a plate or a well."""
    try:
        attributes = _zarr_attributes(path)
    except (OSError, ValueError):
        return False
    if attributes is None:
        return True  # a plain array
    ome = {**attributes, **attributes.get("ome", {})}
    return "multiscales" in ome and not ({"image-label", "plate", "well"} & ome.keys())


def _claims_tiff(path: Path) -> bool:
    """A TIFF whose first series is a grey-level image (not RGB or a palette) and not labels."""
    try:
        with tifffile.TiffFile(path) as tif:
            series = tif.series[0]
            photometric = series.keyframe.photometric
            integer = series.dtype.kind in "iu"
    except (tifffile.TiffFileError, OSError, ValueError, IndexError):
        return False
    if photometric in (tifffile.PHOTOMETRIC.RGB, tifffile.PHOTOMETRIC.PALETTE, tifffile.PHOTOMETRIC.YCBCR):
        return False
    return not (integer and _LABEL_NAMES.search(path.stem.lower()))


def _readable(path: Path) -> bool:
    name = path.name.lower()
    if is_zarr(path):
        return path.is_dir() and _claims_zarr(path)
    if name.endswith((".tif", ".tiff")):
        return _claims_tiff(path)
    return name.endswith(_SUFFIXES) and path.is_file()


def napari_get_reader(path: PathLike | Sequence[PathLike]) -> Callable[..., list[LayerData]] | None:
    """The reader for `path` (one path or several) when pxvorel reads all of them, else None.

    Parameters
    ----------
    path : str or list of str
        What napari was asked to open.

    Returns
    -------
    callable or None
        :func:`read_layers`, or None for files of other kinds and for those other readers
        show better (see the module's description).
    """
    paths = _paths(path)
    return read_layers if paths and all(_readable(p) for p in paths) else None


def _unit(image: ImageFile, axis: str) -> str:
    if axis == "T" and "T" in image.spacing:
        return "second"
    if axis in "XYZ" and axis in image.spacing and image.unit is not None:
        return "micrometer"
    return "pixel"


def _ramp(color: str) -> np.ndarray:
    """A napari colour map from black to ``"RRGGBB"`` (napari names the common ones, e.g. "magenta")."""
    rgb = [int(color[i : i + 2], 16) / 255 for i in (0, 2, 4)]
    return np.array([[0.0, 0.0, 0.0, 1.0], [*rgb, 1.0]])


def image_layer(image: ImageFile, name: str) -> LayerData:
    """The napari layer data of an image: split by channel, labelled with its axes, scaled.

    Parameters
    ----------
    image : ImageFile
        The image with its axes, pixel sizes and details (channel names, colours, display ranges).
    name : str
        The layer's name (napari appends the channel number, or the layers are named after
        the channels, for each channel).

    Returns
    -------
    tuple
        ``(data, keyword arguments of napari's ``add_image``, "image")``.

    Examples
    --------
    >>> import numpy as np
    >>> _, meta, _ = image_layer(ImageFile(np.zeros((2, 3, 4, 5)), "CZYX", {"Z": 0.5, "X": 0.1, "Y": 0.1}, "µm"), "a")
    >>> meta["channel_axis"], meta["scale"], meta["axis_labels"]
    (0, (0.5, 0.1, 0.1), ('z', 'y', 'x'))
    """
    shown = [a for a in image.axes if a != "C"]
    meta: dict[str, Any] = {
        "name": name,
        "scale": tuple(image.spacing.get(a, 1.0) for a in shown),
        "axis_labels": tuple(a.lower() for a in shown),
        "units": tuple(_unit(image, a) for a in shown),
    }
    details = image.details
    ramps = [_ramp(color) for color in details.channel_colors]
    if "C" in image.axes:
        meta["channel_axis"] = image.axes.index("C")
        if details.channel_names:
            meta["name"] = [f"{name} {channel}" for channel in details.channel_names]
        if details.windows and all(low < high for low, high in details.windows):
            meta["contrast_limits"] = [list(window) for window in details.windows]
        if ramps:
            meta["colormap"] = ramps
    else:
        if len(details.windows) == 1 and details.windows[0][0] < details.windows[0][1]:
            meta["contrast_limits"] = list(details.windows[0])
        if len(ramps) == 1 and details.channel_colors[0] != "FFFFFF":
            meta["colormap"] = ramps[0]
    return image.data, meta, "image"


def _read(file: Path) -> ImageFile:
    """The file as an image. A ``.npy`` file carries no axes: where its shape leaves them in
    doubt, it opens with the default axes for its dimension count, so that it can be seen;
    the widget's axes field shows them and is where the right ones are set before denoising."""
    if is_zarr(file):
        return open_lazy(file)
    if file.suffix.lower() == ".npy":
        try:
            shape = np.load(file, mmap_mode="r", allow_pickle=False).shape
        except (OSError, ValueError):
            return read_image(file)  # which says what is wrong with the file
        if 1 <= len(shape) <= 5 and doubtful_axes(shape):
            log.warning(
                "%s: the axes of a %s array cannot be told from its shape; shown as %s (set the "
                "axes in the denoise widget)",
                file,
                shape,
                default_axes(len(shape)),
            )
            return read_image(file, axes=default_axes(len(shape)))
    return read_image(file)


def _read_series(file: Path) -> list[tuple[ImageFile, str]]:
    """Each series of a TIFF file with its layer name (the file's name, with the series' name or
    number when there are several); the one image of other files."""
    count = series_count(file) if file.suffix.lower() in (".tif", ".tiff") else 1
    if count == 1:
        return [(_read(file), file.name)]
    images = [read_image(file, series=number) for number in range(count)]
    return [(image, f"{file.name} {image.details.name or f'series {n}'}") for n, image in enumerate(images)]


def read_layers(path: PathLike | Sequence[PathLike]) -> list[LayerData]:
    """Read each file of `path` as napari layer data (see :func:`image_layer`).

    Raises
    ------
    FileNotFoundError, ValueError
        When a file is missing or cannot be read as an image (napari shows the message).
    """
    layers = []
    for file in _paths(path):
        for image, name in _read_series(file):
            log.info("%s: axes %s, pixel sizes %s", name, image.axes, image.spacing)
            layers.append(image_layer(image, name))
    return layers
