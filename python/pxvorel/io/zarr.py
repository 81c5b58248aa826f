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
like everywhere in pxvorel, in micrometres and seconds.
"""

from __future__ import annotations

import contextlib
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

from pxvorel.core.axes import ENGINE_AXES, AxisPlan, normalize_axes
from pxvorel.io.atomic import AtomicTarget
from pxvorel.io.image import ImageFile
from pxvorel.io.metadata import file_axes, tiff_spacing
from pxvorel.io.paths import is_zarr
from pxvorel.io.units import MICROMETRE, length_in_um, time_in_s
from pxvorel.run.chunked import RECHUNK

__all__ = ["is_zarr", "open_lazy", "write_ome_zarr"]

_AXIS_TYPES = {"T": "time", "C": "channel", "Z": "space", "Y": "space", "X": "space"}


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


def _open_tiff(path: Path, axes: str | None) -> ImageFile:
    try:
        with tifffile.TiffFile(path) as tif:
            raw_axes = tif.series[0].axes
            spacing, unit = tiff_spacing(tif)
        level = _TiffLevel(path)
    except (tifffile.TiffFileError, IndexError, OSError) as error:
        raise ValueError(f"cannot read {path} as a TIFF image: {error}") from error
    data = da.from_array(
        level,
        chunks=level.chunks,
        meta=np.empty((0,) * level.ndim, level.dtype),
        name=f"tiff-{dask.base.tokenize(str(path), os.stat(path).st_mtime_ns)}",
    )
    if axes is None:
        letters, shape = file_axes(raw_axes, data.shape)
        data = data.reshape(shape) if shape != data.shape else data
    else:
        letters = normalize_axes(axes, data.ndim)
    return ImageFile(data, letters, {a: s for a, s in spacing.items() if a in letters and s > 0}, unit)


def _multiscales(attributes: Mapping[str, Any]) -> dict[str, Any] | None:
    """The first ``multiscales`` entry of OME-Zarr 0.5 (under "ome") or 0.4 metadata."""
    entries = attributes.get("ome", {}).get("multiscales") or attributes.get("multiscales")
    return entries[0] if entries else None


def _open_zarr(path: Path, axes: str | None) -> ImageFile:
    try:
        node = zarr.open(str(path), mode="r")
    except (FileNotFoundError, ValueError, KeyError) as error:
        raise ValueError(f"cannot open {path} as Zarr: {error}") from error
    spacing: dict[str, float] = {}
    unit = None
    component = None
    letters = None
    if isinstance(node, zarr.Group):
        meta = _multiscales(node.attrs.asdict())
        if meta is None:
            raise ValueError(f"{path} is a Zarr group without OME-Zarr multiscales metadata; give the array inside it")
        level = meta["datasets"][0]
        component = level["path"]
        names = [axis["name"] if isinstance(axis, Mapping) else axis for axis in meta["axes"]]
        letters = "".join(name.upper() for name in names)
        scales = [t["scale"] for t in level.get("coordinateTransformations", []) if t.get("type") == "scale"]
        for axis, entry, scale in zip(
            letters, meta["axes"], scales[0] if scales else [1.0] * len(letters), strict=True
        ):
            if not (isinstance(entry, Mapping) and "unit" in entry):
                continue
            if axis == "T" and (seconds := time_in_s(float(scale), entry["unit"])) is not None:
                spacing[axis] = seconds
            elif axis in "XYZ" and (size := length_in_um(float(scale), entry["unit"])) is not None:
                spacing[axis], unit = size, MICROMETRE
    data = da.from_zarr(str(path), component=component)
    letters = normalize_axes(axes or letters, data.ndim)
    return ImageFile(data, letters, spacing, unit)


def open_lazy(path: str | os.PathLike[str], *, axes: str | None = None) -> ImageFile:
    """Open a Zarr array, an OME-Zarr image, a TIFF or a ``.npy`` file as a dask array.

    Parameters
    ----------
    path : str or path-like
        A ``.zarr`` folder (an array, or an OME-Zarr image whose first, highest-
        resolution level is taken), a TIFF file (its first series) or a ``.npy`` file.
    axes : str, optional
        The data's axes, overriding the metadata (for a plain Zarr array or ``.npy``
        file the default is by dimension count, as for :func:`pxvorel.denoise`).

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
    return _open_tiff(path, axes)


def _ome_attributes(axes: str, spacing: Mapping[str, float], unit: str | None, name: str) -> dict[str, Any]:
    entries = []
    for axis in axes:
        entry = {"name": axis.lower(), "type": _AXIS_TYPES[axis]}
        if axis == "T":
            entry["unit"] = "second"
        elif axis in "XYZ" and unit == MICROMETRE:
            entry["unit"] = "micrometer"
        entries.append(entry)
    scale = [float(spacing.get(axis, 1.0)) for axis in axes]
    dataset = {"path": "0", "coordinateTransformations": [{"type": "scale", "scale": scale}]}
    return {"ome": {"version": "0.5", "multiscales": [{"name": name, "axes": entries, "datasets": [dataset]}]}}


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


def prepare_ome_zarr(path: str | os.PathLike[str], image: ImageFile, *, overwrite: bool = False) -> ZarrWrite:
    """Create the OME-Zarr image in a temporary folder and return the tasks that fill it.

    The axes are written in OME-Zarr's order (T, C, Z, Y, X; the data transposed if
    needed), with the pixel sizes as the scale of the one resolution level, the dask
    array's chunks (made regular) as Zarr chunks.
    """
    path = Path(path)
    if not path.name.lower().endswith(".zarr"):
        raise ValueError(f"cannot write {path.name} as OME-Zarr: use a name ending in .zarr")
    folder = AtomicTarget(path, overwrite=overwrite)
    axes = "".join(a for a in ENGINE_AXES if a in image.axes)
    data = da.transpose(image.data, [image.axes.index(a) for a in axes])
    data = data.rechunk(data.chunksize, method=RECHUNK)
    try:
        group = zarr.open_group(str(folder.tmp), mode="w-", zarr_format=3)
        group.attrs.update(_ome_attributes(axes, image.spacing, image.unit, path.name.removesuffix(".zarr")))
        array = group.create_array(
            "0", shape=data.shape, chunks=data.chunksize, dtype=data.dtype, dimension_names=[a.lower() for a in axes]
        )
    except BaseException:
        folder.abandon()
        raise
    starts = [np.cumsum((0, *c)) for c in data.chunks]
    tasks = []
    for index, block in zip(np.ndindex(*data.numblocks), data.to_delayed().ravel(), strict=True):
        region = tuple(slice(int(s[i]), int(s[i + 1])) for s, i in zip(starts, index, strict=True))
        tasks.append(dask.delayed(_write_chunk, pure=False)(block, array, region))
    return ZarrWrite(folder, tasks)


def write_ome_zarr(path: str | os.PathLike[str], image: ImageFile, *, overwrite: bool = False) -> Path:
    """Write a lazy image as OME-Zarr on the active dask scheduler, atomically.

    Parameters
    ----------
    path : str or path-like
        Target folder, a name ending in ``.zarr`` (e.g. ``out.ome.zarr``).
    image : ImageFile
        The samples (a dask array, computed chunk by chunk) with axes and pixel sizes.
    overwrite : bool, optional
        Replace an existing target. Default False.

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
    write = prepare_ome_zarr(path, image, overwrite=overwrite)
    try:
        dask.compute(*write.tasks)
    except BaseException:
        write.abandon()
        raise
    return write.finish()
