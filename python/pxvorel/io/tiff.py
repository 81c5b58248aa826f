"""Reading and writing images with their axes and physical pixel sizes.

TIFF files (plain, ImageJ hyperstacks and OME-TIFF) go through tifffile; ``.npy``
files through NumPy. Axes come from the file's metadata and are translated to the
letters T, C, Z, Y and X that :func:`pxvorel.denoise` takes:

* ``S`` (samples, e.g. RGB) becomes C when the file has no C axis;
* ``Q`` and ``I`` (unspecified or image-sequence axes) become T when the file has no
  T axis and only one of them; otherwise the axes must be given explicitly;
* axes of length 1 with other letters are dropped.

Pixel sizes are read from the file's metadata by :mod:`pxvorel.io.metadata` and kept in
micrometres and seconds; names, colours, display ranges and ImageJ's or OME's other
fields travel as :class:`pxvorel.io.details.ImageDetails` and are written back. TIFF
output is an ImageJ hyperstack whenever ImageJ can hold the image, so that ImageJ opens
it with its axes, channels, pixel sizes, colour tables and labels; OME-TIFF output
keeps the source's OME-XML where it still describes the result (:mod:`pxvorel.io.ome`).
A file with several series is read one series at a time.
Output is written to a temporary file in the target folder and renamed into place
(:mod:`pxvorel.io.atomic`), so an interrupted run never leaves a half-written file behind.
"""

from __future__ import annotations

import contextlib
import logging
import math
import os
import warnings
from collections.abc import Callable, Iterator, Mapping
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
import tifffile

from pxvorel.core.axes import AxisPlan, normalize_axes
from pxvorel.io.atomic import AtomicTarget
from pxvorel.io.details import ImageDetails, lut_of_color
from pxvorel.io.image import ImageFile
from pxvorel.io.metadata import file_axes, tiff_spacing
from pxvorel.io.ome import ome_color, ome_details, ome_for_result
from pxvorel.io.units import MICROMETRE

__all__ = ["COMPRESSIONS", "ImageFile", "read_image", "series_count", "tiff_details", "write_image"]

log = logging.getLogger(__name__)

_IMAGEJ_ORDER = "TZCYX"
_IMAGEJ_DTYPES = (np.uint8, np.uint16, np.float32)

#: Compressions of TIFF output (tifffile's names; "none" stores the samples as they are).
#: ImageJ's own opener reads "zlib" but not "zstd"; tifffile, Bio-Formats and napari read both.
COMPRESSIONS = ("none", "zlib", "zstd")


def _compression(name: str | None) -> str | None:
    if name is None or name == "none":
        return None
    if name not in COMPRESSIONS:
        raise ValueError(f"compression {name!r}: choose one of {', '.join(COMPRESSIONS)}")
    return name


def series_count(path: str | os.PathLike[str]) -> int:
    """How many series (images) a TIFF file holds; 1 for other files and for what cannot be read."""
    path = Path(path)
    if path.suffix.lower() not in (".tif", ".tiff") or not path.is_file():
        return 1
    try:
        with tifffile.TiffFile(path) as tif:
            return max(1, len(tif.series))
    except (tifffile.TiffFileError, OSError, ValueError, IndexError):
        return 1


def tiff_details(tif: tifffile.TiffFile, series: int) -> ImageDetails:
    """The details of series `series` of an open TIFF file (OME or ImageJ; none for others)."""
    if tif.is_ome and tif.ome_metadata:
        return ome_details(tif.ome_metadata, series)
    if tif.is_imagej:
        return ImageDetails.from_imagej(tif.imagej_metadata or {})
    return ImageDetails(series=series)


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


def _warn_if_metadata_differs(raw_axes: str, shape: tuple[int, ...], given: str, path: Path) -> None:
    """Warn when axes given for a file differ from the axes its metadata names (letters tifffile
    reads from the file, not its guesses Q, I and S for unnamed axes)."""
    if set(raw_axes) & set("QIS"):
        return
    try:
        letters, squeezed = file_axes(raw_axes, shape)
    except ValueError:
        return
    if squeezed == shape and letters != given:
        warnings.warn(
            f"{path.name}: reading axes {given} as given, but the file's metadata says {letters}",
            UserWarning,
            stacklevel=3,
        )


def read_image(path: str | os.PathLike[str], *, axes: str | None = None, series: int | None = None) -> ImageFile:
    """Read a TIFF, OME-TIFF, ImageJ hyperstack or ``.npy`` file with its axes, pixel sizes and details.

    Parameters
    ----------
    path : str or path-like
        The file to read.
    axes : str, optional
        The data's axes, overriding what the file says (required for files whose
        metadata names an axis that cannot be translated, and the only source of axes
        for ``.npy`` files besides the default by dimension count).
    series : int, optional
        Which series of a TIFF file to read (counted from 0). By default the first,
        with a warning when the file holds more (:func:`series_count` tells how many).

    Returns
    -------
    ImageFile

    Raises
    ------
    FileNotFoundError
        When the file does not exist.
    ValueError
        When the file cannot be read as an image, its axes cannot be determined or
        it has no series `series`.

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
        if series:
            raise ValueError(f"{path.name} holds one image; there is no series {series}")
        try:
            data = np.load(path, allow_pickle=False)
        except (ValueError, OSError, EOFError, MemoryError) as error:
            raise ValueError(f"cannot read {path} as a .npy file: {error or type(error).__name__}") from None
        return ImageFile(data, AxisPlan.for_array(data.shape, axes).axes)  # no metadata: nothing guessed in doubt
    try:
        with _tifffile_complaints() as complaints, tifffile.TiffFile(path) as tif:
            count = len(tif.series)
            if series is not None and not 0 <= series < max(count, 1):
                raise _SeriesError(f"{path.name} holds {count} series (0 to {count - 1}); there is no series {series}")
            if series is None and count > 1:
                log.warning(
                    "%s holds %d series; reading the first (choose with --series N or series=N)", path.name, count
                )
            number = series or 0
            chosen = tif.series[number]
            data = chosen.asarray()
            spacing, unit = tiff_spacing(tif, number)
            raw_axes = chosen.axes
            details = tiff_details(tif, number)
        if complaints:
            raise ValueError(f"the file is damaged or truncated ({complaints[0]})")
    except _SeriesError:
        raise
    except (tifffile.TiffFileError, IndexError, OSError, ValueError, MemoryError) as error:
        raise ValueError(f"cannot read {path} as a TIFF image: {error}") from error
    if axes is None:
        letters, shape = file_axes(raw_axes, data.shape)
        data = data.reshape(shape)
    else:
        letters = normalize_axes(axes, data.ndim)
        _warn_if_metadata_differs(raw_axes, data.shape, letters, path)
    spacing = {a: s for a, s in spacing.items() if a in letters and math.isfinite(s) and s > 0}
    letters = normalize_axes(letters, data.ndim)
    channels = data.shape[letters.index("C")] if "C" in letters else 1
    return ImageFile(data, letters, spacing, unit, details.for_channels(channels))


class _SeriesError(ValueError):
    """A series number the file does not have."""


def _ome_writer(image: ImageFile, compression: str | None) -> Callable[[BinaryIO], object]:
    kept = ome_for_result(image.details, image.data.shape, image.axes, image.data.dtype, image.spacing, image.unit)
    if kept is not None:
        return lambda fh: tifffile.imwrite(
            fh, image.data, photometric="minisblack", description=kept.encode(), metadata=None, compression=compression
        )
    if image.details.ome_xml is not None:
        log.warning(
            "the source's OME metadata does not fit the result: only names, colours and pixel sizes are written"
        )
    meta: dict[str, Any] = {"axes": image.axes}
    if image.details.name:
        meta["Name"] = image.details.name
    channels: dict[str, list[Any]] = {}
    if image.details.channel_names:
        channels["Name"] = list(image.details.channel_names)
    if image.details.channel_colors:
        channels["Color"] = [ome_color(color) for color in image.details.channel_colors]
    if channels:
        meta["Channel"] = channels
    for axis in "XYZ":
        if axis in image.spacing:
            meta[f"PhysicalSize{axis}"] = image.spacing[axis]
            meta[f"PhysicalSize{axis}Unit"] = image.unit or "pixel"  # OME's unit of relative sizes
    if "T" in image.spacing:
        meta["TimeIncrement"] = image.spacing["T"]
        meta["TimeIncrementUnit"] = "s"
    return lambda fh: tifffile.imwrite(
        fh, image.data, ome=True, photometric="minisblack", metadata=meta, compression=compression
    )


def _imagej_details(image: ImageFile, axes: str, shape: tuple[int, ...]) -> dict[str, Any]:
    """ImageJ's fields for the file: those read from an ImageJ source, else colour tables and
    display ranges made from the channel colours and windows; entries that do not fit the
    written planes and channels are left out with a warning."""
    details = image.details
    fields = dict(details.imagej)
    channels = shape[axes.index("C")] if "C" in axes else 1
    planes = int(np.prod(shape[:-2])) if len(shape) > 2 else 1
    if "LUTs" not in fields and len(details.channel_colors) == channels:
        fields["LUTs"] = [lut_of_color(c) for c in details.channel_colors]
    if "Ranges" not in fields and len(details.windows) == channels and channels > 1:
        fields["Ranges"] = [v for window in details.windows for v in window]
    if "min" not in fields and len(details.windows) == 1:
        fields["min"], fields["max"] = details.windows[0]
    expected = {"LUTs": channels, "Ranges": 2 * channels, "Labels": planes}
    for key, count in expected.items():
        if key in fields and len(fields[key]) != count:
            log.warning("ImageJ %s: %d entries for %d; not written", key, len(fields[key]), count)
            del fields[key]
    if "Labels" in fields and axes != image.axes:
        log.warning("ImageJ slice labels are not written: the planes were put in another order")
        del fields["Labels"]
    return fields


def _imagej_writer(image: ImageFile, compression: str | None) -> Callable[[BinaryIO], object]:
    """An ImageJ hyperstack: the axes put in ImageJ's order, sizes in its description and resolution tags."""
    axes = "".join(a for a in _IMAGEJ_ORDER if a in image.axes)
    if axes != image.axes:
        log.info("axes %s written in ImageJ's order, as %s", image.axes, axes)
    data = np.transpose(image.data, [image.axes.index(a) for a in axes])
    spacing = image.spacing
    channels = data.shape[axes.index("C")] if "C" in axes else 1
    # ImageJ overlays up to 7 channels in colour; more are shown one at a time.
    meta: dict[str, Any] = {"axes": axes, "mode": "composite" if 1 < channels <= 7 else "grayscale"}
    # ImageJ reads the resolution tags as pixels per the description's unit, which is also Z's unit:
    # without X and Y sizes the unit is left out, so that ImageJ does not take its 1/1 tags for 1 µm pixels.
    xy = (1 / spacing["X"], 1 / spacing["Y"]) if {"X", "Y"} <= spacing.keys() else None
    if image.unit == MICROMETRE and xy is not None:
        meta["unit"] = "micron"
    elif image.unit == MICROMETRE and "Z" in spacing:
        log.warning("no X and Y pixel sizes: the Z size is written to the ImageJ file without its unit")
    if "Z" in spacing:
        meta["spacing"] = spacing["Z"]
    if "T" in spacing:
        meta["finterval"] = spacing["T"]
    meta.update(_imagej_details(image, axes, data.shape))
    return lambda fh: tifffile.imwrite(
        fh, data, imagej=True, photometric="minisblack", metadata=meta, resolution=xy, compression=compression
    )


def _plain_writer(image: ImageFile, compression: str | None) -> Callable[[BinaryIO], object]:
    """A TIFF with tifffile's description of axes and sizes, and the resolution tags in centimetres."""
    spacing = image.spacing
    xy: tuple[float, float] | None = None
    per_um = 1e4 if image.unit == MICROMETRE else 1.0  # pixels per centimetre, or per unknown unit
    if {"X", "Y"} <= spacing.keys():
        xy = (per_um / spacing["X"], per_um / spacing["Y"])
    meta = {"axes": image.axes, "spacing": spacing, "unit": image.unit}
    return lambda fh: tifffile.imwrite(
        fh,
        image.data,
        photometric="minisblack",
        metadata=meta,
        resolution=xy,
        resolutionunit="CENTIMETER" if per_um > 1 else "NONE",
        compression=compression,
    )


def _tiff_writer(path: Path, image: ImageFile, compression: str | None) -> Callable[[BinaryIO], object]:
    if path.name.lower().endswith((".ome.tif", ".ome.tiff")):
        return _ome_writer(image, compression)
    axes = image.axes
    if set(axes) <= set(_IMAGEJ_ORDER) and {"Y", "X"} <= set(axes) and image.data.dtype.type in _IMAGEJ_DTYPES:
        return _imagej_writer(image, compression)
    return _plain_writer(image, compression)


def write_image(
    path: str | os.PathLike[str],
    data: np.ndarray | ImageFile,
    *,
    axes: str | None = None,
    spacing: Mapping[str, float] | None = None,
    unit: str | None = None,
    overwrite: bool = False,
    compression: str | None = None,
) -> Path:
    """Write an image with its axes, pixel sizes and details, atomically.

    The format follows the file name: ``.ome.tif``/``.ome.tiff`` writes OME-TIFF,
    ``.tif``/``.tiff`` an ImageJ hyperstack when the axes include Y and X and the dtype
    is uint8, uint16 or float32 (the axes are then put in ImageJ's order, e.g. YXC is
    written as CYX, one page per channel), else a TIFF whose description records axes
    and pixel sizes; ``.npy`` a NumPy file (no metadata).

    Parameters
    ----------
    path : str or path-like
        Target file. Its folder must exist.
    data : numpy.ndarray or ImageFile
        The samples, or an :class:`ImageFile` carrying axes, spacing and unit.
    axes, spacing, unit : optional
        Override or supply the metadata (see :class:`ImageFile`); `unit` is the unit
        of the spatial sizes in `spacing` (None: relative sizes without a unit).
    overwrite : bool, optional
        Replace an existing file. Default False.
    compression : {"none", "zlib", "zstd"}, optional
        Compression of TIFF output (default none). ``.npy`` files are not compressed.

    Returns
    -------
    pathlib.Path
        The path written.

    Raises
    ------
    FileExistsError
        When the file exists and `overwrite` is False.
    ValueError
        For an unsupported file extension or compression, or a bad axes string.

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
        image.details,
    )
    codec = _compression(compression)
    name = path.name.lower()
    writer: Callable[[BinaryIO], object]
    if name.endswith(".npy"):
        if codec is not None:
            raise ValueError(f"cannot write {path.name} compressed: .npy files are written as they are")

        def writer(fh: BinaryIO) -> None:
            np.save(fh, image.data, allow_pickle=False)
    elif name.endswith((".tif", ".tiff")):
        writer = _tiff_writer(path, image, codec)
    else:
        raise ValueError(f"cannot write {path.name}: use a .tif, .ome.tif or .npy file name")
    with AtomicTarget(path, overwrite=overwrite) as target:
        try:
            # "x": created new, with the default permissions (umask applies), unlike a mkstemp file.
            with open(target.tmp, "xb") as fh:
                writer(fh)
                fh.flush()
                os.fsync(fh.fileno())
        except OSError as error:  # e.g. a full disk: name the file the user asked for, not the temporary one
            raise OSError(error.errno, f"cannot write {path}: {error.strerror or error}") from None
    return path
