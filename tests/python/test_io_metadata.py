"""Pixel sizes and axes read from the files other programs write, and written back so that
ImageJ-compatible readers see the same axes, channels and sizes (µm and s inside pxvorel)."""

from __future__ import annotations

import numpy as np
import pytest
import tifffile
import zarr

from pxvorel.io import ImageFile, read_image, write_image
from pxvorel.io.zarr import open_lazy

SHAPE = {"T": 3, "C": 3, "Z": 2, "Y": 10, "X": 12}


def stack(axes: str, dtype=np.uint16) -> np.ndarray:
    return np.random.default_rng(1).integers(0, 200, [SHAPE[a] for a in axes]).astype(dtype)


def imagej_view(path) -> tuple[str, dict[str, float], str | None, np.ndarray]:
    """What an ImageJ reader sees: axes, sizes (X/Y from the resolution tags in the description's
    unit, Z from ``spacing``, T from ``finterval``), the unit, and the samples."""
    with tifffile.TiffFile(path) as tif:
        assert tif.is_imagej
        meta = tif.imagej_metadata
        x, y = tif.pages.first.get_resolution()
        sizes = {"X": 1 / x, "Y": 1 / y, "Z": meta.get("spacing"), "T": meta.get("finterval")}
        return (
            tif.series[0].axes,
            {a: s for a, s in sizes.items() if s is not None},
            meta.get("unit"),
            tif.series[0].asarray(),
        )


@pytest.mark.parametrize(
    ("sizes", "expected"),
    [
        (
            {"X": (65, "nm"), "Y": (65, "nm"), "Z": (300, "nm"), "T": (500, "ms")},
            {"X": 0.065, "Y": 0.065, "Z": 0.3, "T": 0.5},
        ),
        (
            {"X": (0.1, "µm"), "Y": (0.1, "µm"), "Z": (2, "µm"), "T": (1.5, "min")},
            {"X": 0.1, "Y": 0.1, "Z": 2.0, "T": 90.0},
        ),
        (
            {"X": (0.2, None), "Y": (0.2, None), "Z": (1, "mm"), "T": (3, None)},  # OME's defaults: µm and s
            {"X": 0.2, "Y": 0.2, "Z": 1000.0, "T": 3.0},
        ),
    ],
    ids=["nm-ms", "um-min", "defaults-mm"],
)
def test_ome_units_are_converted_and_written_back_in_um_and_s(tmp_path, sizes, expected) -> None:
    meta = {"axes": "TZYX"}
    for axis, (value, unit) in sizes.items():
        key = "TimeIncrement" if axis == "T" else f"PhysicalSize{axis}"
        meta[key] = value
        if unit:
            meta[f"{key}Unit"] = unit
    data = stack("TZYX")
    tifffile.imwrite(tmp_path / "in.ome.tif", data, ome=True, photometric="minisblack", metadata=meta)
    image = read_image(tmp_path / "in.ome.tif")
    assert (image.axes, image.unit) == ("TZYX", "µm")
    assert image.spacing == pytest.approx(expected)

    write_image(tmp_path / "out.ome.tif", image)
    with tifffile.TiffFile(tmp_path / "out.ome.tif") as tif:
        pixels = tifffile.xml2dict(tif.ome_metadata)["OME"]["Image"]["Pixels"]
    assert (pixels["TimeIncrement"], pixels["TimeIncrementUnit"]) == (pytest.approx(expected["T"]), "s")
    assert (pixels["PhysicalSizeZ"], pixels["PhysicalSizeZUnit"]) == (pytest.approx(expected["Z"]), "µm")

    write_image(tmp_path / "out.tif", image)
    axes, seen, unit, samples = imagej_view(tmp_path / "out.tif")
    assert (axes, unit) == ("TZYX", "micron")
    assert seen == pytest.approx(expected)
    np.testing.assert_array_equal(samples, data)


@pytest.mark.parametrize(
    ("resolution_unit", "pixels_per_unit"),
    [
        ("INCH", 25400 / 0.5),
        ("CENTIMETER", 1e4 / 0.5),
        ("MILLIMETER", 1e3 / 0.5),
        ("MICROMETER", 1 / 0.5),
        ("NONE", 1 / 0.5),
    ],
)
@pytest.mark.parametrize("description", [True, False], ids=["tifffile-description", "tags-only"])
def test_resolution_units_give_micrometres(tmp_path, resolution_unit, pixels_per_unit, description) -> None:
    """0.5 µm pixels in every resolution unit tifffile writes; NONE gives relative sizes without a unit."""
    data = stack("TYX")
    tifffile.imwrite(
        tmp_path / "in.tif",
        data,
        photometric="minisblack",
        resolutionunit=resolution_unit,
        resolution=(pixels_per_unit, pixels_per_unit),
        metadata={} if description else None,
    )
    image = read_image(tmp_path / "in.tif")
    assert image.spacing == pytest.approx({"X": 0.5, "Y": 0.5})
    assert image.unit == (None if resolution_unit == "NONE" else "µm")

    write_image(tmp_path / "out.tif", image)
    axes, seen, unit, samples = imagej_view(tmp_path / "out.tif")
    assert (axes, seen) == ("TYX", pytest.approx({"X": 0.5, "Y": 0.5}))
    assert unit == (None if resolution_unit == "NONE" else "micron")
    np.testing.assert_array_equal(samples, data)
    write_image(tmp_path / "out.ome.tif", image)
    for name in ("out.tif", "out.ome.tif"):
        back = read_image(tmp_path / name)
        assert (back.spacing, back.unit) == (pytest.approx(image.spacing), image.unit)


def _rgb(path) -> np.ndarray:
    data = stack("YXC", np.uint8)
    tifffile.imwrite(path, data, photometric="rgb")
    return np.moveaxis(data, -1, 0)


def _channels(path) -> np.ndarray:
    data = stack("CYX")
    tifffile.imwrite(path, data, photometric="minisblack", metadata={"axes": "CYX"})
    return data


def _hyperstack(path) -> np.ndarray:
    data = stack("TZCYX", np.float32)
    tifffile.imwrite(
        path,
        data,
        imagej=True,
        metadata={"axes": "TZCYX", "unit": "um", "spacing": 0.7, "finterval": 0.25},
        resolution=(5.0, 5.0),
    )
    return data


@pytest.mark.parametrize(
    ("make", "axes"), [(_rgb, "CYX"), (_channels, "CYX"), (_hyperstack, "TZCYX")], ids=["YXS", "CYX", "hyperstack"]
)
def test_channels_are_written_as_imagej_channels(tmp_path, make, axes) -> None:
    expected = make(tmp_path / "in.tif")
    image = read_image(tmp_path / "in.tif")
    write_image(tmp_path / "out.tif", image)
    seen_axes, seen, _, samples = imagej_view(tmp_path / "out.tif")
    assert seen_axes == axes
    with tifffile.TiffFile(tmp_path / "out.tif") as tif:
        assert tif.imagej_metadata["channels"] == SHAPE["C"]
    np.testing.assert_array_equal(samples, expected)
    if make is _hyperstack:
        assert seen == pytest.approx({"X": 0.2, "Y": 0.2, "Z": 0.7, "T": 0.25})


@pytest.mark.parametrize(
    ("units_written", "expected"),
    [
        (
            {"t": "millisecond", "z": "nanometer", "y": "micrometer", "x": "micrometer"},
            {"T": 0.5, "Z": 0.5, "Y": 500.0, "X": 500.0},
        ),
        (
            {"t": "second", "z": "micrometer", "y": "millimeter", "x": "millimeter"},
            {"T": 500.0, "Z": 500.0, "Y": 5e5, "X": 5e5},
        ),
    ],
)
def test_ome_zarr_units_are_converted(tmp_path, units_written, expected) -> None:
    group = zarr.open_group(tmp_path / "in.ome.zarr", mode="w", zarr_format=3)
    group.create_array("0", shape=(2, 2, 4, 4), dtype="uint8")
    axes = [{"name": a, "type": "time" if a == "t" else "space", "unit": u} for a, u in units_written.items()]
    transform = [{"type": "scale", "scale": [500.0] * 4}]
    group.attrs["ome"] = {
        "version": "0.5",
        "multiscales": [{"axes": axes, "datasets": [{"path": "0", "coordinateTransformations": transform}]}],
    }
    image = open_lazy(tmp_path / "in.ome.zarr")
    assert (image.axes, image.unit) == ("TZYX", "µm")
    assert image.spacing == pytest.approx(expected)


def test_other_length_units_are_kept_as_micrometres(tmp_path) -> None:
    write_image(tmp_path / "nm.tif", stack("ZYX"), axes="ZYX", spacing={"X": 65, "Y": 65, "Z": 200}, unit="nm")
    assert read_image(tmp_path / "nm.tif").spacing == pytest.approx({"X": 0.065, "Y": 0.065, "Z": 0.2})
    with pytest.raises(ValueError, match="not a unit of length"):
        ImageFile(stack("YX"), "YX", {"X": 1.0}, "ms")
