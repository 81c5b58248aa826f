"""OME-XML of a denoised image: the source's metadata kept, the pixel description updated.

Denoising changes the samples' type and the file they are stored in, nothing else: the
instrument, objectives, channels with their names and colours, the image's name and
description, plane positions and exposure times, annotations, all stay true of the
result. So the source's OME-XML is kept as it is, with the one image that was read,
and only what describes the stored samples is rewritten: ``Pixels/@Type`` (and the
attributes that follow from it), the pixel sizes and frame interval (in µm and s, as the
image carries them), the ``TiffData`` that maps planes to the new file's pages, and the
document's UUID. Where the result's shape or plane order does not
match the source's description, none of it can be kept as it stands: the caller then
writes fresh OME-XML with the names (:func:`pxvorel.io.tiff.write_image`).

The XML is handled with the standard library's ElementTree: no maintained OME data
model is packaged for the environment this project builds in, and editing the parsed
document keeps every element and attribute, including those of newer schema versions
or of other namespaces that a fixed model would drop.
"""

from __future__ import annotations

import logging
import uuid
import xml.etree.ElementTree as ET
from collections.abc import Mapping
from typing import Any

import numpy as np

from pxvorel.io.details import ImageDetails

__all__ = ["ome_color", "ome_details", "ome_for_result"]

log = logging.getLogger(__name__)

#: OME's name of each sample type the writers produce.
_PIXEL_TYPES = {
    "int8": "int8",
    "int16": "int16",
    "int32": "int32",
    "uint8": "uint8",
    "uint16": "uint16",
    "uint32": "uint32",
    "float32": "float",
    "float64": "double",
}


def _namespace(tag: str) -> str:
    return tag[1:].partition("}")[0] if tag.startswith("{") else ""


def _parse(xml: str) -> tuple[ET.Element, str] | None:
    try:
        root = ET.fromstring(xml)
    except ET.ParseError as error:
        log.warning("the file's OME-XML cannot be parsed (%s): its metadata is not carried over", error)
        return None
    ns = _namespace(root.tag)
    if root.tag != _q(ns, "OME"):
        return None
    return root, ns


def _q(ns: str, name: str) -> str:
    return f"{{{ns}}}{name}" if ns else name


def _color(value: str | None) -> str:
    """OME's signed 32-bit RGBA integer as ``"RRGGBB"``; "" when absent or not a number."""
    try:
        rgba = int(value or "") & 0xFFFFFFFF
    except ValueError:
        return ""
    return f"{rgba >> 24:02X}{(rgba >> 16) & 0xFF:02X}{(rgba >> 8) & 0xFF:02X}"


def ome_color(color: str) -> int:
    """``"RRGGBB"`` as OME's signed 32-bit RGBA integer, opaque."""
    rgba = (int(color, 16) << 8) | 0xFF
    return rgba - (1 << 32) if rgba >= 1 << 31 else rgba


def ome_details(xml: str, series: int) -> ImageDetails:
    """The image name, channel names and colours of image `series` of an OME-XML document,
    with the document itself for :func:`ome_for_result`."""
    parsed = _parse(xml)
    if parsed is None:
        return ImageDetails(series=series)
    root, ns = parsed
    images = root.findall(_q(ns, "Image"))
    if series >= len(images):
        return ImageDetails(series=series)
    image = images[series]
    channels = image.findall(f"{_q(ns, 'Pixels')}/{_q(ns, 'Channel')}")
    names = tuple(c.get("Name") or "" for c in channels)
    colors = tuple(_color(c.get("Color")) for c in channels)
    return ImageDetails(
        name=image.get("Name"),
        channel_names=names if any(names) else (),
        channel_colors=colors if all(colors) else (),
        ome_xml=xml,
        series=series,
    )


def _plane_axes(order: str, sizes: dict[str, int]) -> str:
    """The axes other than X and Y from slowest to fastest, as OME's DimensionOrder stores planes."""
    return "".join(a for a in reversed(order.upper()) if a in "ZCT" and sizes.get(a, 1) > 1)


def _set_sizes(pixels: ET.Element, spacing: Mapping[str, float], unit: str | None) -> None:
    """The pixel sizes and frame interval the image carries, in µm and s (relative sizes: "pixel")."""
    for axis in "XYZ":
        for key in (f"PhysicalSize{axis}", f"PhysicalSize{axis}Unit"):
            pixels.attrib.pop(key, None)
        if axis in spacing:
            pixels.set(f"PhysicalSize{axis}", repr(float(spacing[axis])))
            pixels.set(f"PhysicalSize{axis}Unit", unit or "pixel")
    for key in ("TimeIncrement", "TimeIncrementUnit"):
        pixels.attrib.pop(key, None)
    if "T" in spacing:
        pixels.set("TimeIncrement", repr(float(spacing["T"])))
        pixels.set("TimeIncrementUnit", "s")


def ome_for_result(
    details: ImageDetails,
    shape: tuple[int, ...],
    axes: str,
    dtype: np.dtype[Any],
    spacing: Mapping[str, float],
    unit: str | None,
) -> str | None:
    """The source's OME-XML rewritten for the result, or None when it does not describe it.

    Parameters
    ----------
    details : ImageDetails
        The details read with the image (their ``ome_xml`` and ``series``).
    shape, axes : tuple of int, str
        The result's shape and axes, in the order its samples are written.
    dtype : numpy.dtype
        The result's sample type.
    spacing, unit : mapping and str or None
        The result's pixel sizes (µm and s, or relative without `unit`), written in place
        of the source's.

    Returns
    -------
    str or None
        The OME-XML to write as the first page's description; None when there is none,
        when the result's sizes, plane order or sample type do not fit it.
    """
    if details.ome_xml is None or dtype.name not in _PIXEL_TYPES:
        return None
    parsed = _parse(details.ome_xml)
    if parsed is None:
        return None
    root, ns = parsed
    images = root.findall(_q(ns, "Image"))
    if details.series >= len(images):
        return None
    for number, image in enumerate(images):
        if number != details.series:
            root.remove(image)
    pixels = images[details.series].find(_q(ns, "Pixels"))
    if pixels is None:
        return None
    sizes = {a: int(pixels.get(f"Size{a}", "1")) for a in "XYZCT"}
    result = dict(zip(axes, shape, strict=True))
    channels = pixels.findall(_q(ns, "Channel"))
    if (
        any(result.get(a, 1) != sizes[a] for a in "XYZCT")
        or set(axes) - set("XYZCT")
        or axes[-2:] != "YX"
        or "".join(a for a in axes[:-2] if result[a] > 1) != _plane_axes(pixels.get("DimensionOrder", ""), sizes)
        or any(int(c.get("SamplesPerPixel", "1")) != 1 for c in channels)
    ):
        log.info("the result's layout differs from the source's OME-XML: fresh OME metadata is written")
        return None
    pixels.set("Type", _PIXEL_TYPES[dtype.name])
    _set_sizes(pixels, spacing, unit)
    pixels.attrib.pop("SignificantBits", None)
    for key in ("BigEndian", "Interleaved"):
        if key in pixels.attrib:
            pixels.set(key, "false")
    stored = [c for c in pixels if c.tag in {_q(ns, n) for n in ("BinData", "TiffData", "MetadataOnly")}]
    for element in stored:
        pixels.remove(element)
    # Planes follow Channels and the storage element in the schema's order.
    position = max((i + 1 for i, c in enumerate(pixels) if c.tag == _q(ns, "Channel")), default=0)
    planes = int(np.prod([sizes[a] for a in "ZCT"]))
    tiff_data = ET.Element(_q(ns, "TiffData"), {"IFD": "0", "PlaneCount": str(planes)})
    pixels.insert(position, tiff_data)
    root.set("UUID", f"urn:uuid:{uuid.uuid4()}")
    if ns:
        # OME's own elements are written unprefixed under a default namespace, as OME-XML is
        # usually written; elements of other namespaces keep theirs.
        for element in root.iter():
            if isinstance(element.tag, str) and _namespace(element.tag) == ns:
                element.tag = element.tag.partition("}")[2]
        root.set("xmlns", ns)
    body = ET.tostring(root, encoding="unicode")
    return f'<?xml version="1.0" encoding="UTF-8"?>{body}'
