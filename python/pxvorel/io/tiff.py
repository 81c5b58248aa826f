"""Reading and writing images with their axes and physical pixel sizes.

TIFF files (plain, ImageJ hyperstacks and OME-TIFF) go through tifffile; ``.npy``
files through NumPy. Axes come from the file's metadata and are translated to the
letters T, C, Z, Y and X that :func:`pxvorel.denoise` takes:

* ``S`` (samples, e.g. RGB) becomes C when the file has no C axis;
* ``Q`` and ``I`` (unspecified or image-sequence axes) become T when the file has no
  T axis and only one of them; otherwise the axes must be given explicitly;
* axes of length 1 with other letters are dropped.

Output is written to a temporary file in the target folder and renamed into place,
so an interrupted run never leaves a half-written file behind.
"""

from __future__ import annotations

import contextlib
import logging
import math
import os
import secrets
import xml.etree.ElementTree as ET
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import BinaryIO

import numpy as np
import tifffile

from pxvorel.core.axes import normalize_axes

__all__ = ["ImageFile", "read_image", "write_image"]

_IMAGEJ_ORDER = "TZCYX"
_IMAGEJ_DTYPES = (np.uint8, np.uint16, np.float32)
_MICRON_NAMES = {"micron", "microns", "um", "µm", "μm", "\\u00b5m", "\\u00B5m"}


@dataclass
class ImageFile:
    """An image read from or to be written to a file, with its axes and pixel sizes.

    Attributes
    ----------
    data : numpy.ndarray
        The samples, in the file's own axis order.
    axes : str
        One letter of T, C, Z, Y, X per dimension of `data`.
    spacing : dict of str to float
        Physical size per axis where known: ``"X"``, ``"Y"`` and ``"Z"`` in `unit`,
        ``"T"`` (frame interval) in seconds.
    unit : str or None
        Unit of the spatial sizes, e.g. ``"µm"``.
    """

    data: np.ndarray
    axes: str
    spacing: dict[str, float] = field(default_factory=dict)
    unit: str | None = None


def _file_axes(raw: str, shape: tuple[int, ...]) -> tuple[str, tuple[int, ...]]:
    """Translate tifffile's axis letters to T, C, Z, Y, X; return the axes and the squeezed shape."""
    kept = [(a, n) for a, n in zip(raw, shape, strict=True) if a in "TCZYXSQI" or n > 1]
    letters = "".join(a for a, _ in kept)
    if "S" in letters and "C" not in letters:
        letters = letters.replace("S", "C")
    sequence = [a for a in letters if a in "QI"]
    if len(sequence) == 1 and "T" not in letters:
        letters = letters.replace(sequence[0], "T")
    unknown = sorted(set(letters) - set("TCZYX"))
    if unknown:
        raise ValueError(
            f"cannot tell what axis {''.join(unknown)!r} of the file's axes {raw!r} is; give the axes explicitly "
            "(e.g. --axes TZYX)"
        )
    return letters, tuple(n for _, n in kept)


def _resolution(page: tifffile.TiffPage, tag: str) -> float | None:
    """Physical size of one pixel from an X/YResolution tag (pixels per unit), or None."""
    entry = page.tags.get(tag)
    if entry is None:
        return None
    numerator, denominator = entry.value
    if not numerator or not denominator or numerator == denominator:  # absent or the 1/1 default
        return None
    return denominator / numerator


def _unit(name: object) -> str | None:
    if not name or not isinstance(name, str) or name in ("pixel", "pixels"):
        return None
    return "µm" if name in _MICRON_NAMES else name


def _ome_spacing(xml: str) -> tuple[dict[str, float], str | None]:
    pixels = next((e for e in ET.fromstring(xml).iter() if e.tag.endswith("}Pixels") or e.tag == "Pixels"), None)
    if pixels is None:
        return {}, None
    spacing: dict[str, float] = {}
    for axis, key in (("X", "PhysicalSizeX"), ("Y", "PhysicalSizeY"), ("Z", "PhysicalSizeZ"), ("T", "TimeIncrement")):
        if key in pixels.attrib:
            spacing[axis] = float(pixels.attrib[key])
    return spacing, _unit(pixels.attrib.get("PhysicalSizeXUnit", "µm"))


def _tiff_spacing(tif: tifffile.TiffFile) -> tuple[dict[str, float], str | None]:
    if tif.is_ome and tif.ome_metadata:
        return _ome_spacing(tif.ome_metadata)
    page = tif.pages.first
    spacing = {a: s for a, s in (("X", _resolution(page, "XResolution")), ("Y", _resolution(page, "YResolution")))
               if s is not None}
    unit: str | None = None
    if tif.is_imagej:
        meta = tif.imagej_metadata or {}
        unit = _unit(meta.get("unit"))
        for axis, key in (("Z", "spacing"), ("T", "finterval")):
            if key in meta:
                spacing[axis] = float(meta[key])
    elif tif.is_shaped and tif.shaped_metadata:
        meta = tif.shaped_metadata[0]
        spacing.update({str(a): float(s) for a, s in dict(meta.get("spacing") or {}).items()})
        unit = _unit(meta.get("unit"))
    elif spacing:
        # Plain TIFF resolution: 2 = inch, 3 = centimetre.
        unit_tag = page.tags.get("ResolutionUnit")
        per_um = {2: 25400.0, 3: 10000.0}.get(int(unit_tag.value) if unit_tag is not None else 1)
        if per_um is None:
            spacing = {}
        else:
            spacing = {a: s * per_um for a, s in spacing.items()}
            unit = "µm"
    return spacing, unit


@contextlib.contextmanager
def _tifffile_complaints() -> Iterator[list[str]]:
    """Collect what tifffile logs (it reads what it can of a damaged file and only logs the rest)."""
    complaints: list[str] = []

    class Collect(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            if record.levelno >= logging.WARNING:
                complaints.append(record.getMessage().replace("\n", " "))

    logger = logging.getLogger("tifffile")
    handler = Collect()
    logger.addHandler(handler)
    propagate, logger.propagate = logger.propagate, False
    try:
        yield complaints
    finally:
        logger.removeHandler(handler)
        logger.propagate = propagate


def read_image(path: str | os.PathLike[str], *, axes: str | None = None) -> ImageFile:
    """Read a TIFF, OME-TIFF, ImageJ hyperstack or ``.npy`` file with its axes and pixel sizes.

    Parameters
    ----------
    path : str or path-like
        The file to read. For TIFF files the first series is read.
    axes : str, optional
        The data's axes, overriding what the file says (required for files whose
        metadata names an axis that cannot be translated, and the only source of axes
        for ``.npy`` files besides the default by dimension count).

    Returns
    -------
    ImageFile

    Raises
    ------
    FileNotFoundError
        When the file does not exist.
    ValueError
        When the file cannot be read as an image or its axes cannot be determined.

    Examples
    --------
    >>> from pxvorel.io import read_image
    >>> image = read_image("cells.tif")  # doctest: +SKIP
    >>> image.axes, image.spacing  # doctest: +SKIP
    ('TYX', {'X': 0.1, 'Y': 0.1, 'T': 2.0})
    """
    path = Path(path)
    if path.is_dir():
        raise IsADirectoryError(f"{path} is a folder, not an image file")
    if not path.is_file():
        raise FileNotFoundError(f"no such file: {path}")
    if path.suffix.lower() == ".npy":
        try:
            data = np.load(path, allow_pickle=False)
        except (ValueError, OSError, EOFError, MemoryError) as error:
            raise ValueError(f"cannot read {path} as a .npy file: {error or type(error).__name__}") from None
        return ImageFile(data, normalize_axes(axes, data.ndim))
    try:
        with _tifffile_complaints() as complaints, tifffile.TiffFile(path) as tif:
            series = tif.series[0]
            data = series.asarray()
            spacing, unit = _tiff_spacing(tif)
            raw_axes = series.axes
        if complaints:
            raise ValueError(f"the file is damaged or truncated ({complaints[0]})")
    except (tifffile.TiffFileError, IndexError, OSError, ValueError, MemoryError) as error:
        raise ValueError(f"cannot read {path} as a TIFF image: {error}") from error
    if axes is None:
        letters, shape = _file_axes(raw_axes, data.shape)
        data = data.reshape(shape)
    else:
        letters = normalize_axes(axes, data.ndim)
    spacing = {a: s for a, s in spacing.items() if a in letters and math.isfinite(s) and s > 0}
    return ImageFile(data, normalize_axes(letters, data.ndim), spacing, unit)


def _tiff_writer(path: Path, image: ImageFile) -> Callable[[BinaryIO], None]:
    spacing, axes, data = image.spacing, image.axes, image.data
    xy = {}
    if "X" in spacing and "Y" in spacing:
        xy["resolution"] = (1.0 / spacing["X"], 1.0 / spacing["Y"])
    name = path.name.lower()
    if name.endswith((".ome.tif", ".ome.tiff")):
        meta: dict[str, object] = {"axes": axes}
        for axis in "XYZ":
            if axis in spacing:
                meta[f"PhysicalSize{axis}"] = spacing[axis]
                meta[f"PhysicalSize{axis}Unit"] = image.unit or "µm"
        if "T" in spacing:
            meta["TimeIncrement"] = spacing["T"]
            meta["TimeIncrementUnit"] = "s"
        return lambda fh: tifffile.imwrite(fh, data, ome=True, photometric="minisblack", metadata=meta)
    imagej_order = "".join(a for a in _IMAGEJ_ORDER if a in axes) == axes and axes.endswith("YX")
    if imagej_order and data.dtype.type in _IMAGEJ_DTYPES:
        meta = {"axes": axes}
        if image.unit:
            meta["unit"] = "micron" if image.unit == "µm" else image.unit
        if "Z" in spacing:
            meta["spacing"] = spacing["Z"]
        if "T" in spacing:
            meta["finterval"] = spacing["T"]
        return lambda fh: tifffile.imwrite(fh, data, imagej=True, photometric="minisblack", metadata=meta, **xy)
    meta = {"axes": axes, "spacing": spacing, "unit": image.unit}
    return lambda fh: tifffile.imwrite(fh, data, photometric="minisblack", metadata=meta, **xy)


def _replace_atomically(tmp: Path, path: Path, overwrite: bool) -> None:
    if overwrite:
        os.replace(tmp, path)
        return
    try:
        os.link(tmp, path)  # fails if the target exists, even if it appeared meanwhile
    except FileExistsError:
        raise FileExistsError(f"{path} exists; choose another name or allow overwriting") from None
    except OSError:  # a file system without hard links
        if path.exists():
            raise FileExistsError(f"{path} exists; choose another name or allow overwriting") from None
        os.replace(tmp, path)
        return
    tmp.unlink()


def write_image(
    path: str | os.PathLike[str],
    data: np.ndarray | ImageFile,
    *,
    axes: str | None = None,
    spacing: Mapping[str, float] | None = None,
    unit: str | None = None,
    overwrite: bool = False,
) -> Path:
    """Write an image with its axes and pixel sizes, atomically.

    The format follows the file name: ``.ome.tif``/``.ome.tiff`` writes OME-TIFF,
    ``.tif``/``.tiff`` an ImageJ hyperstack when the axes are in ImageJ's order
    (a subsequence of TZCYX) and the dtype is uint8, uint16 or float32, else a TIFF
    whose description records axes and pixel sizes; ``.npy`` a NumPy file (no metadata).

    Parameters
    ----------
    path : str or path-like
        Target file. Its folder must exist.
    data : numpy.ndarray or ImageFile
        The samples, or an :class:`ImageFile` carrying axes, spacing and unit.
    axes, spacing, unit : optional
        Override or supply the metadata (see :class:`ImageFile`).
    overwrite : bool, optional
        Replace an existing file. Default False.

    Returns
    -------
    pathlib.Path
        The path written.

    Raises
    ------
    FileExistsError
        When the file exists and `overwrite` is False.
    ValueError
        For an unsupported file extension or a bad axes string.

    Examples
    --------
    >>> import numpy as np
    >>> from pxvorel.io import write_image
    >>> stack = np.zeros((5, 64, 64), np.float32)
    >>> write_image("stack.tif", stack, axes="ZYX", spacing={"X": 0.1, "Y": 0.1, "Z": 0.3},
    ...             unit="µm")  # doctest: +SKIP
    PosixPath('stack.tif')
    """
    path = Path(path)
    image = data if isinstance(data, ImageFile) else ImageFile(np.asarray(data), "")
    image = ImageFile(
        image.data,
        normalize_axes(axes or image.axes or None, image.data.ndim),
        dict(spacing if spacing is not None else image.spacing),
        unit if unit is not None else image.unit,
    )
    name = path.name.lower()
    if name.endswith(".npy"):
        def writer(fh: BinaryIO) -> None:
            np.save(fh, image.data, allow_pickle=False)
    elif name.endswith((".tif", ".tiff")):
        writer = _tiff_writer(path, image)
    else:
        raise ValueError(f"cannot write {path.name}: use a .tif, .ome.tif or .npy file name")
    if path.exists() and not overwrite:
        raise FileExistsError(f"{path} exists; choose another name or allow overwriting")
    tmp = path.with_name(f".{path.name}.{secrets.token_hex(4)}.part")
    try:
        # "x": created new, with the default permissions (umask applies), unlike a mkstemp file.
        try:
            with open(tmp, "xb") as fh:
                writer(fh)
                fh.flush()
                os.fsync(fh.fileno())
        except OSError as error:  # e.g. a full disk: name the file the user asked for, not the temporary one
            raise OSError(error.errno, f"cannot write {path}: {error.strerror or error}") from None
        _replace_atomically(tmp, path, overwrite)
    finally:
        with contextlib.suppress(FileNotFoundError):
            tmp.unlink()
    return path
