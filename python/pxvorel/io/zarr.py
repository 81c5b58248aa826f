"""Lazy reading and chunked writing of images larger than memory.

Inputs are opened as dask arrays without reading their samples: Zarr arrays,
OME-Zarr images (the highest-resolution level, with axes and pixel sizes from the
``multiscales`` metadata, versions 0.4 and 0.5), TIFF files through tifffile's Zarr
store (page by page or tile by tile, so a TIFF larger than memory works) and ``.npy``
files mapped into memory. Each chunk is read by a task that opens the file by its
path, so the arrays work on any dask scheduler, including worker processes of a
``distributed`` cluster.

Output is an OME-Zarr image (version 0.5, Zarr format 3), written chunk by chunk into
a temporary folder beside the target and renamed into place once complete
(:mod:`pxvorel.io.atomic`). Pixel sizes are read in any unit OME-Zarr names and kept,
like everywhere in pxvorel, in micrometres and seconds; the position of the first
sample (``translation``), the image name and the ``omero`` block's channel names,
colours and display windows are read and written back, whatever format the image came
from. On request the output has a pyramid: levels that halve Y and X, each sample the
mean of the 2 x 2 it covers, placed by scale and translation as the standard asks.

The format is written with the zarr package directly: no maintained OME-Zarr writer is
packaged for the environment this project builds in, and what the format asks of one
image (the ``ome`` attributes of one group, one array per level) is small; the tests
check the levels, scales, translations and ``omero`` entries against it.
"""

from __future__ import annotations

import contextlib
import logging
import os
import warnings
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any, cast

import dask
import dask.array as da
import numpy as np
import tifffile
import zarr
from dask.delayed import Delayed
from zarr.codecs import GzipCodec, ZstdCodec

from pxvorel.core.axes import ENGINE_AXES, AxisPlan, normalize_axes
from pxvorel.io.atomic import AtomicTarget
from pxvorel.io.details import ImageDetails
from pxvorel.io.image import ImageFile
from pxvorel.io.metadata import file_axes, tiff_spacing
from pxvorel.io.paths import is_zarr
from pxvorel.io.tiff import tiff_details
from pxvorel.io.units import MICROMETRE, length_in_um, time_in_s
from pxvorel.run.chunked import RECHUNK

__all__ = ["ZARR_COMPRESSIONS", "is_zarr", "open_lazy", "write_ome_zarr"]

log = logging.getLogger(__name__)

_AXIS_TYPES = {"T": "time", "C": "channel", "Z": "space", "Y": "space", "X": "space"}

#: Compressions of Zarr output by the names the command line uses: "zlib" is stored with
#: Zarr's gzip codec (the same deflate compression, in gzip framing), "zstd" with its zstd
#: codec (Zarr's default), "none" uncompressed.
ZARR_COMPRESSIONS = ("none", "zlib", "zstd")

#: Channel colours for images that name none: grey for one channel, else the usual order.
_COLORS = ("FF0000", "00FF00", "0000FF", "FF00FF", "00FFFF", "FFFF00", "FFFFFF")


def __getattr__(name: str) -> object:
    """``LazyImage``, the former name of :class:`ImageFile` here, with a deprecation warning."""
    if name == "LazyImage":
        warnings.warn(
            "pxvorel.io.zarr.LazyImage is deprecated; use pxvorel.io.ImageFile, which holds lazy images too",
            DeprecationWarning,
            stacklevel=2,
        )
        return ImageFile
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class _TiffLevel:
    """Array-like view of one TIFF series that opens the file for every read (picklable)."""

    def __init__(self, path: Path, series: int = 0) -> None:
        self.path, self.series = str(path), series
        with self._open() as store:
            level = self._level(zarr.open(store, mode="r"))
            self.shape, self.dtype, self.chunks = level.shape, level.dtype, level.chunks
        self.ndim = len(self.shape)

    def _open(self) -> contextlib.AbstractContextManager[Any]:
        # With aszarr, imread returns a zarr store of the series (a context manager that closes
        # the file), not the array its annotation names.
        return cast(
            "contextlib.AbstractContextManager[Any]", tifffile.imread(self.path, aszarr=True, series=self.series)
        )

    @staticmethod
    def _level(node: zarr.Array[Any] | zarr.Group) -> zarr.Array[Any]:
        level = node["0"] if isinstance(node, zarr.Group) else node
        if not isinstance(level, zarr.Array):
            raise ValueError(f"{node} holds no array at its first level")
        return level

    def __getitem__(self, index: tuple[slice | int, ...]) -> np.ndarray:
        with self._open() as store:
            return np.asarray(self._level(zarr.open(store, mode="r"))[index])


def _open_tiff(path: Path, axes: str | None, chosen: int | None) -> ImageFile:
    series = chosen or 0
    try:
        with tifffile.TiffFile(path) as tif:
            if not 0 <= series < len(tif.series):
                raise ValueError(f"{path.name} holds {len(tif.series)} series; there is no series {series}")
            if chosen is None and len(tif.series) > 1:
                log.warning(
                    "%s holds %d series; opening the first (choose with --series N or series=N)",
                    path.name,
                    len(tif.series),
                )
            raw_axes = tif.series[series].axes
            spacing, unit = tiff_spacing(tif, series)
            details = tiff_details(tif, series)
        level = _TiffLevel(path, series)
    except (tifffile.TiffFileError, IndexError, OSError) as error:
        raise ValueError(f"cannot read {path} as a TIFF image: {error}") from error
    data = da.from_array(
        level,
        chunks=level.chunks,
        meta=np.empty((0,) * level.ndim, level.dtype),
        name=f"tiff-{dask.base.tokenize(str(path), series, os.stat(path).st_mtime_ns)}",
    )
    if axes is None:
        letters, shape = file_axes(raw_axes, data.shape)
        data = data.reshape(shape) if shape != data.shape else data
    else:
        letters = normalize_axes(axes, data.ndim)
    channels = data.shape[letters.index("C")] if "C" in letters else 1
    sizes = {a: s for a, s in spacing.items() if a in letters and s > 0}
    return ImageFile(data, letters, sizes, unit, details.for_channels(channels))


def _multiscales(attributes: Mapping[str, Any]) -> dict[str, Any] | None:
    """The first ``multiscales`` entry of OME-Zarr 0.5 (under "ome") or 0.4 metadata."""
    entries = attributes.get("ome", {}).get("multiscales") or attributes.get("multiscales")
    return entries[0] if entries else None


def _omero_details(attributes: Mapping[str, Any], name: object, translation: dict[str, float]) -> ImageDetails:
    """Image name, channel names, colours and windows from the ``omero`` block."""
    omero = attributes.get("ome", {}).get("omero") or attributes.get("omero") or {}
    channels = [c for c in omero.get("channels", []) if isinstance(c, Mapping)]
    names = tuple(str(c.get("label", "")) for c in channels)
    colors = tuple(str(c.get("color", "")).upper() for c in channels)
    windows = tuple(
        (float(w["start"]), float(w["end"])) for c in channels if {"start", "end"} <= (w := c.get("window", {})).keys()
    )
    return ImageDetails(
        name=name if isinstance(name, str) else None,
        channel_names=names if any(names) else (),
        channel_colors=colors if all(len(c) == 6 for c in colors) else (),
        windows=windows if len(windows) == len(channels) else (),
        translation=translation,
    )


def _open_zarr(path: Path, axes: str | None) -> ImageFile:
    try:
        node = zarr.open(str(path), mode="r")
    except (FileNotFoundError, ValueError, KeyError) as error:
        raise ValueError(f"cannot open {path} as Zarr: {error}") from error
    spacing: dict[str, float] = {}
    unit = None
    component = None
    letters = None
    details = ImageDetails()
    if isinstance(node, zarr.Group):
        meta = _multiscales(node.attrs.asdict())
        if meta is None:
            raise ValueError(f"{path} is a Zarr group without OME-Zarr multiscales metadata; give the array inside it")
        level = meta["datasets"][0]
        component = level["path"]
        names = [axis["name"] if isinstance(axis, Mapping) else axis for axis in meta["axes"]]
        letters = "".join(name.upper() for name in names)
        transforms = level.get("coordinateTransformations", [])
        scales = [t["scale"] for t in transforms if t.get("type") == "scale"]
        shifts = [t["translation"] for t in transforms if t.get("type") == "translation"]
        translation: dict[str, float] = {}
        for axis, entry, scale, shift in zip(
            letters,
            meta["axes"],
            scales[0] if scales else [1.0] * len(letters),
            shifts[0] if shifts else [0.0] * len(letters),
            strict=True,
        ):
            if not (isinstance(entry, Mapping) and "unit" in entry):
                continue
            if axis == "T" and (seconds := time_in_s(float(scale), entry["unit"])) is not None:
                spacing[axis] = seconds
                if float(shift):
                    translation[axis] = time_in_s(float(shift), entry["unit"]) or 0.0
            elif axis in "XYZ" and (size := length_in_um(float(scale), entry["unit"])) is not None:
                spacing[axis], unit = size, MICROMETRE
                if float(shift):
                    translation[axis] = length_in_um(float(shift), entry["unit"]) or 0.0
        details = _omero_details(node.attrs.asdict(), meta.get("name"), translation)
    data = da.from_zarr(str(path), component=component)
    letters = normalize_axes(axes or letters, data.ndim)
    channels = data.shape[letters.index("C")] if "C" in letters else 1
    return ImageFile(data, letters, spacing, unit, details.for_channels(channels))


def open_lazy(path: str | os.PathLike[str], *, axes: str | None = None, series: int | None = None) -> ImageFile:
    """Open a Zarr array, an OME-Zarr image, a TIFF or a ``.npy`` file as a dask array.

    Parameters
    ----------
    path : str or path-like
        A ``.zarr`` folder (an array, or an OME-Zarr image whose first, highest-
        resolution level is taken), a TIFF file (its first series) or a ``.npy`` file.
    axes : str, optional
        The data's axes, overriding the metadata (for a plain Zarr array or ``.npy``
        file the default is by dimension count, as for :func:`pxvorel.denoise`).
    series : int, optional
        Which series of a TIFF file to open (counted from 0). By default the first, with a
        warning when the file holds more.

    Returns
    -------
    ImageFile
        The samples as a dask array in the file's chunks (TIFF: pages or tiles).

    Raises
    ------
    FileNotFoundError
        When the path does not exist.
    ValueError
        When it cannot be read as an image or its axes cannot be determined.

    Examples
    --------
    >>> from pxvorel.io.zarr import open_lazy
    >>> image = open_lazy("light-sheet.ome.zarr")  # doctest: +SKIP
    >>> image.axes, image.data.chunksize  # doctest: +SKIP
    ('ZYX', (64, 512, 512))
    """
    path = Path(path)
    if not path.exists():
        raise FileNotFoundError(f"no such file or folder: {path}")
    if is_zarr(path):
        return _open_zarr(path, axes)
    if path.suffix.lower() == ".npy":
        data = np.load(path, mmap_mode="r", allow_pickle=False)
        return ImageFile(da.from_array(data, chunks="auto"), AxisPlan.for_array(data.shape, axes).axes)
    return _open_tiff(path, axes, series)


def _level_transforms(axes: str, image: ImageFile, level: int) -> list[dict[str, Any]]:
    """Scale and translation of pyramid level `level`: Y and X halved `level` times, each sample
    centred on the 2**level samples of the full level it averages."""
    factor = {a: 2.0**level if a in "YX" else 1.0 for a in axes}
    scale = [float(image.spacing.get(a, 1.0)) * factor[a] for a in axes]
    shift = [
        float(image.details.translation.get(a, 0.0)) + (factor[a] - 1) / 2 * float(image.spacing.get(a, 1.0))
        for a in axes
    ]
    transforms: list[dict[str, Any]] = [{"type": "scale", "scale": scale}]
    if any(shift):
        transforms.append({"type": "translation", "translation": shift})
    return transforms


def _omero(axes: str, shape: tuple[int, ...], dtype: np.dtype[Any], details: ImageDetails) -> dict[str, Any]:
    """The ``omero`` block: per channel its name, colour and, where known, display window."""
    count = shape[axes.index("C")] if "C" in axes else 1
    details = details.for_channels(count)
    limits = (float(np.iinfo(dtype).min), float(np.iinfo(dtype).max)) if dtype.kind in "iu" else None
    colors = details.channel_colors or ((_COLORS * count)[:count] if count > 1 else ("FFFFFF",))
    channels = []
    for c, color in enumerate(colors):
        channel: dict[str, Any] = {
            "label": details.channel_names[c] if details.channel_names else f"channel {c}",
            "color": color,
            "active": True,
        }
        if details.windows:
            start, end = details.windows[c]
            low, high = limits or (min(start, end), max(start, end))
            channel["window"] = {"start": start, "end": end, "min": min(low, start), "max": max(high, end)}
        channels.append(channel)
    return {"channels": channels, "rdefs": {"model": "color" if count > 1 else "greyscale"}}


def _ome_attributes(
    axes: str, image: ImageFile, name: str, levels: int, shape: tuple[int, ...], dtype: np.dtype[Any]
) -> dict[str, Any]:
    unit = image.unit
    entries = []
    for axis in axes:
        entry = {"name": axis.lower(), "type": _AXIS_TYPES[axis]}
        if axis == "T":
            entry["unit"] = "second"
        elif axis in "XYZ" and unit == MICROMETRE:
            entry["unit"] = "micrometer"
        entries.append(entry)
    datasets = [
        {"path": str(level), "coordinateTransformations": _level_transforms(axes, image, level)}
        for level in range(levels)
    ]
    multiscales: dict[str, Any] = {"name": image.details.name or name, "axes": entries, "datasets": datasets}
    if levels > 1:
        multiscales["type"] = "mean"
        multiscales["metadata"] = {
            "description": "each level halves Y and X; a sample is the mean of the 2 x 2 it covers"
        }
    return {"ome": {"version": "0.5", "multiscales": [multiscales], "omero": _omero(axes, shape, dtype, image.details)}}


def _codecs(compression: str | None) -> Any:
    """Zarr's compressors for a name of :data:`ZARR_COMPRESSIONS` (None: Zarr's default)."""
    if compression is None:
        return "auto"
    if compression not in ZARR_COMPRESSIONS:
        raise ValueError(f"compression {compression!r}: choose one of {', '.join(ZARR_COMPRESSIONS)}")
    return {"none": None, "zlib": GzipCodec(level=6), "zstd": ZstdCodec(level=3)}[compression]


def _halved(data: da.Array, axes: str) -> da.Array | None:
    """`data` with Y and X halved (each sample the mean of 2 x 2; an odd last row or column
    left out), in the type of `data`; None when Y or X has fewer than 2 samples."""
    factors = {axes.index(a): 2 for a in "YX" if a in axes}
    if not factors or any(data.shape[i] < 2 for i in factors):
        return None
    mean = da.coarsen(np.mean, data, factors, trim_excess=True)
    if data.dtype.kind in "iub":
        info = np.iinfo(data.dtype)
        mean = da.clip(da.rint(mean), info.min, info.max)
    halved: da.Array = mean.astype(data.dtype)
    return halved


def _write_chunk(block: np.ndarray, target: zarr.Array[Any], region: tuple[slice, ...]) -> int:
    target[region] = block
    return 1


@dataclass
class ZarrWrite:
    """A prepared OME-Zarr write: one task per chunk, then :meth:`finish` or :meth:`abandon`."""

    target: AtomicTarget
    tasks: list[Delayed]

    @property
    def path(self) -> Path:
        """The folder the image is written to."""
        return self.target.path

    def finish(self) -> Path:
        """Move the complete image into place (after every task has run)."""
        return self.target.commit()

    def abandon(self) -> None:
        """Remove the temporary folder."""
        self.target.abandon()


def prepare_ome_zarr(
    path: str | os.PathLike[str],
    image: ImageFile,
    *,
    overwrite: bool = False,
    compression: str | None = None,
    pyramid: int = 0,
) -> ZarrWrite:
    """Create the OME-Zarr image in a temporary folder and return the tasks that fill it.

    The axes are written in OME-Zarr's order (T, C, Z, Y, X; the data transposed if
    needed), with the pixel sizes as the scale of the full resolution level, the dask
    array's chunks (made regular) as Zarr chunks, and `pyramid` more levels (see
    :func:`write_ome_zarr`).
    """
    path = Path(path)
    if not path.name.lower().endswith(".zarr"):
        raise ValueError(f"cannot write {path.name} as OME-Zarr: use a name ending in .zarr")
    folder = AtomicTarget(path, overwrite=overwrite)
    axes = "".join(a for a in ENGINE_AXES if a in image.axes)
    data = da.transpose(image.data, [image.axes.index(a) for a in axes])
    data = data.rechunk(data.chunksize, method=RECHUNK)
    if pyramid < 0:
        raise ValueError(f"a pyramid of {pyramid} levels: give 0 or more")
    levels = [data]
    while len(levels) <= pyramid and (smaller := _halved(levels[-1], axes)) is not None:
        levels.append(smaller.rechunk(tuple(min(c, n) for c, n in zip(data.chunksize, smaller.shape, strict=True))))
    if len(levels) <= pyramid:
        log.warning("%d pyramid level(s) written: Y and X cannot be halved further", len(levels) - 1)
    compressors = _codecs(compression)
    name = path.name.removesuffix(".zarr").removesuffix(".ome")
    try:
        group = zarr.open_group(str(folder.tmp), mode="w-", zarr_format=3)
        group.attrs.update(_ome_attributes(axes, image, name, len(levels), data.shape, data.dtype))
        arrays = [
            group.create_array(
                str(number),
                shape=level.shape,
                chunks=level.chunksize,
                dtype=level.dtype,
                dimension_names=[a.lower() for a in axes],
                compressors=compressors,
            )
            for number, level in enumerate(levels)
        ]
    except BaseException:
        folder.abandon()
        raise
    tasks = []
    for level, array in zip(levels, arrays, strict=True):
        starts = [np.cumsum((0, *c)) for c in level.chunks]
        for index, block in zip(np.ndindex(*level.numblocks), level.to_delayed().ravel(), strict=True):
            region = tuple(slice(int(s[i]), int(s[i + 1])) for s, i in zip(starts, index, strict=True))
            tasks.append(dask.delayed(_write_chunk, pure=False)(block, array, region))
    return ZarrWrite(folder, tasks)


def write_ome_zarr(
    path: str | os.PathLike[str],
    image: ImageFile,
    *,
    overwrite: bool = False,
    compression: str | None = None,
    pyramid: int = 0,
) -> Path:
    """Write a lazy image as OME-Zarr on the active dask scheduler, atomically.

    Parameters
    ----------
    path : str or path-like
        Target folder, a name ending in ``.zarr`` (e.g. ``out.ome.zarr``).
    image : ImageFile
        The samples (a dask array, computed chunk by chunk) with axes and pixel sizes.
    overwrite : bool, optional
        Replace an existing target. Default False.
    compression : {"none", "zlib", "zstd"}, optional
        The chunks' compression (default Zarr's: zstd).
    pyramid : int, optional
        How many lower-resolution levels to add (default none): each halves Y and X,
        a sample being the mean of the 2 x 2 it covers, in the image's type.

    Returns
    -------
    pathlib.Path
        The path written.

    Examples
    --------
    >>> import dask.array as da
    >>> from pxvorel.io import ImageFile
    >>> from pxvorel.io.zarr import write_ome_zarr
    >>> stack = da.zeros((8, 64, 64), chunks=(4, 64, 64), dtype="float32")
    >>> write_ome_zarr("stack.ome.zarr", ImageFile(stack, "ZYX", {"Z": 0.5}, "µm"))  # doctest: +SKIP
    PosixPath('stack.ome.zarr')
    """
    write = prepare_ome_zarr(path, image, overwrite=overwrite, compression=compression, pyramid=pyramid)
    try:
        dask.compute(*write.tasks)
    except BaseException:
        write.abandon()
        raise
    return write.finish()
