"""Axes and pixel sizes of a TIFF file, from the metadata tifffile reads.

Pixel sizes come, by priority, from OME-XML (with its ``PhysicalSize*Unit`` and
``TimeIncrementUnit``), ImageJ's description (``unit``, ``spacing``, ``finterval``,
``tunit``) or tifffile's own JSON description (``spacing``, ``unit``); X and Y fall
back to the resolution tags in their ``ResolutionUnit``. All are returned in
micrometres (X, Y, Z) and seconds (T), or relative with no unit when the file gives
sizes without one.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

import tifffile

from pxvorel.io.units import MICROMETRE, length_in_um, time_in_s, um_per

__all__ = ["file_axes", "tiff_spacing"]

#: The length unit of each ResolutionUnit tag value (NONE: the sizes have no physical unit).
_RESOLUTION_UNITS: dict[int, str] = {
    tifffile.RESUNIT.INCH: "inch",
    tifffile.RESUNIT.CENTIMETER: "cm",
    tifffile.RESUNIT.MILLIMETER: "mm",
    tifffile.RESUNIT.MICROMETER: "µm",
}

Spacing = tuple[dict[str, float], str | None]


def file_axes(raw: str, shape: tuple[int, ...]) -> tuple[str, tuple[int, ...]]:
    """Translate tifffile's axis letters to T, C, Z, Y, X; return the axes and the squeezed shape.

    ``S`` (samples, e.g. RGB) becomes C when there is no C axis; one ``Q`` or ``I``
    axis becomes T when there is no T axis; other axes of length 1 are dropped.
    """
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


def _positive(value: Any) -> float | None:
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return number if math.isfinite(number) and number > 0 else None


def _lengths(sizes: Mapping[str, Any], unit: object) -> Spacing:
    """Spatial sizes in `unit` as micrometres; kept relative (no unit) when `unit` names no length."""
    factor = um_per(unit)
    spacing = {a: s * (factor or 1.0) for a, v in sizes.items() if (s := _positive(v)) is not None}
    return spacing, MICROMETRE if factor is not None and spacing else None


def _ome(xml: str, series: int) -> Spacing:
    images = tifffile.xml2dict(xml).get("OME", {}).get("Image", {})
    images = images if isinstance(images, list) else [images]
    pixels = images[series if series < len(images) else 0].get("Pixels", {})
    sizes = {
        a: (v, pixels.get(f"PhysicalSize{a}Unit", MICROMETRE))
        for a in "XYZ"
        if (v := _positive(pixels.get(f"PhysicalSize{a}"))) is not None
    }
    physical = {a: size for a, (v, u) in sizes.items() if (size := length_in_um(v, u)) is not None}
    # Sizes in "pixel" (or no length unit) are kept relative when no axis has a physical size.
    spacing, unit = (physical, MICROMETRE) if physical else ({a: v for a, (v, _) in sizes.items()}, None)
    interval = _positive(pixels.get("TimeIncrement"))
    if interval is not None and (seconds := time_in_s(interval, pixels.get("TimeIncrementUnit", "s"))) is not None:
        spacing["T"] = seconds
    return spacing, unit


def _resolution(page: tifffile.TiffPage) -> Spacing:
    """X and Y pixel sizes from the resolution tags, in their ResolutionUnit."""
    if "XResolution" not in page.tags or "YResolution" not in page.tags:
        return {}, None
    per_unit = page.get_resolution()
    unit = _RESOLUTION_UNITS.get(page.resolutionunit)
    if unit is None and per_unit == (1.0, 1.0):  # tifffile's default when no resolution is given
        return {}, None
    return _lengths({"X": 1 / per_unit[0] if per_unit[0] else 0, "Y": 1 / per_unit[1] if per_unit[1] else 0}, unit)


def _imagej(tif: tifffile.TiffFile) -> Spacing:
    meta = tif.imagej_metadata or {}
    unit = meta.get("unit")
    raw = tif.pages.first.get_resolution()  # ImageJ stores pixels per `unit`, whatever ResolutionUnit says
    calibrated = raw != (1.0, 1.0) or um_per(unit) is not None  # 1/1 with no unit: uncalibrated
    sizes = {a: 1 / r for a, r in zip("XY", raw, strict=True) if r and calibrated}
    if "spacing" in meta:
        sizes["Z"] = meta["spacing"]
    spacing, spatial_unit = _lengths(sizes, unit)
    interval = _positive(meta.get("finterval"))
    if interval is not None and (seconds := time_in_s(interval, meta.get("tunit", "s"))) is not None:
        spacing["T"] = seconds
    return spacing, spatial_unit


def _shaped(tif: tifffile.TiffFile) -> Spacing:
    """Sizes from tifffile's JSON description, X and Y from the resolution tags where it has none."""
    meta = tif.shaped_metadata[0] if tif.shaped_metadata else {}
    sizes = dict(meta.get("spacing") or {})
    spacing, unit = _lengths({a: s for a, s in sizes.items() if a in "XYZ"}, meta.get("unit"))
    if not ({"X", "Y"} & spacing.keys()):
        tags, tags_unit = _resolution(tif.pages.first)
        if tags and (not spacing or tags_unit == unit):
            spacing, unit = {**tags, **spacing}, tags_unit
    if (interval := _positive(sizes.get("T"))) is not None:
        spacing["T"] = interval
    return spacing, unit


def tiff_spacing(tif: tifffile.TiffFile, series: int = 0) -> Spacing:
    """The pixel sizes of a series (OME-TIFF: its image) of an open TIFF file and their unit.

    Returns
    -------
    spacing : dict of str to float
        ``"X"``, ``"Y"``, ``"Z"`` in micrometres (relative when `unit` is None) and
        ``"T"`` in seconds, for the axes the file gives sizes for.
    unit : str or None
        ``"µm"``, or None when the file gives no spatial size with a unit.
    """
    if tif.is_ome and tif.ome_metadata:
        return _ome(tif.ome_metadata, series)
    if tif.is_imagej:
        return _imagej(tif)
    if tif.is_shaped:
        return _shaped(tif)
    return _resolution(tif.pages.first)
