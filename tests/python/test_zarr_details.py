"""OME-Zarr output holds what the format has a place for: the image name, the position of the
first sample, the ``omero`` channel names, colours and windows, a pyramid on request and the
chosen compression; read back, and carried between OME-Zarr and ImageJ files."""

from __future__ import annotations

import dataclasses
import json
import logging

import dask.array as da
import numpy as np
import pytest
import tifffile

from pxvorel.io import ImageDetails, ImageFile, read_image, write_image
from pxvorel.io.details import lut_of_color
from pxvorel.io.zarr import open_lazy, write_ome_zarr

DATA = np.random.default_rng(5).integers(0, 60000, (2, 3, 12, 18)).astype(np.uint16)
DETAILS = ImageDetails(
    name="embryo 3",
    channel_names=("nuclei", "membrane", "actin"),
    channel_colors=("0000FF", "00FF00", "FF0000"),
    windows=((100.0, 900.0), (0.0, 4000.0), (50.0, 60.0)),
    translation={"Z": 2.0, "Y": -1.5, "X": 10.0},
)
SPACING = {"Z": 0.5, "Y": 0.2, "X": 0.25}


def _image(data=DATA, details=DETAILS) -> ImageFile:
    return ImageFile(da.from_array(data, chunks=(1, 3, 8, 8)), "ZCYX", SPACING, "µm", details)


@pytest.mark.parametrize(("compression", "codec"), [(None, "zstd"), ("zlib", "gzip"), ("none", None)])
def test_name_translation_omero_and_pyramid_are_written_and_read_back(tmp_path, compression, codec):
    path = write_ome_zarr(tmp_path / "e.ome.zarr", _image(), compression=compression, pyramid=2)
    ome = json.loads((path / "zarr.json").read_text())["attributes"]["ome"]
    (multiscales,) = ome["multiscales"]
    assert multiscales["name"] == "embryo 3" and [a["name"] for a in multiscales["axes"]] == list("czyx")
    transforms = [d["coordinateTransformations"] for d in multiscales["datasets"]]
    for level, (scale, shift) in enumerate(transforms):
        factor = 2**level  # Y and X halved per level, each new sample centred on the ones it averages
        assert scale["scale"] == pytest.approx([1.0, 0.5, 0.2 * factor, 0.25 * factor])
        assert shift["translation"] == pytest.approx([0.0, 2.0, -1.5 + (factor - 1) * 0.1, 10.0 + (factor - 1) * 0.125])
    channels = ome["omero"]["channels"]
    assert [(c["label"], c["color"]) for c in channels] == list(
        zip(DETAILS.channel_names, DETAILS.channel_colors, strict=True)
    )
    assert [(c["window"]["start"], c["window"]["end"]) for c in channels] == list(DETAILS.windows)
    assert all(c["window"]["min"] == 0 and c["window"]["max"] == 65535 for c in channels)

    arrays = [json.loads((path / str(level) / "zarr.json").read_text()) for level in range(3)]
    assert [a["shape"] for a in arrays] == [[3, 2, 12, 18], [3, 2, 6, 9], [3, 2, 3, 4]]
    assert [c["name"] for c in arrays[0]["codecs"]][1:] == ([codec] if codec else [])
    level1 = np.asarray(da.from_zarr(str(path), component="1"))
    expected = np.rint(DATA.reshape(2, 3, 6, 2, 9, 2).mean(axis=(3, 5))).astype(np.uint16).transpose(1, 0, 2, 3)
    np.testing.assert_array_equal(level1, expected)

    image = open_lazy(path)
    assert image.axes == "CZYX" and image.spacing == pytest.approx(SPACING)
    np.testing.assert_array_equal(np.asarray(image.data), DATA.transpose(1, 0, 2, 3))
    assert image.details.translation == pytest.approx(DETAILS.translation)
    assert dataclasses.replace(image.details, translation={}) == dataclasses.replace(DETAILS, translation={})


def test_a_pyramid_stops_where_y_and_x_cannot_be_halved(tmp_path, caplog):
    with caplog.at_level(logging.WARNING):
        path = write_ome_zarr(tmp_path / "small.ome.zarr", _image(DATA[..., :5, :3], ImageDetails()), pyramid=4)
    assert "1 pyramid level(s) written" in caplog.text
    ome = json.loads((path / "zarr.json").read_text())["attributes"]["ome"]
    assert [d["path"] for d in ome["multiscales"][0]["datasets"]] == ["0", "1"]
    assert [c["color"] for c in ome["omero"]["channels"]] == ["FF0000", "00FF00", "0000FF"]  # defaults, no windows
    assert not any("window" in c for c in ome["omero"]["channels"])


def test_imagej_colours_and_ranges_travel_through_ome_zarr_and_back(tmp_path):
    luts = [lut_of_color(c) for c in DETAILS.channel_colors]
    ranges = [v for window in DETAILS.windows for v in window]
    source = tmp_path / "in.tif"
    tifffile.imwrite(source, DATA, imagej=True, metadata={"axes": "ZCYX", "LUTs": luts, "Ranges": ranges})
    image = read_image(source)
    zarr_path = write_ome_zarr(tmp_path / "mid.ome.zarr", dataclasses.replace(image, data=da.from_array(image.data)))
    back = open_lazy(zarr_path)
    assert (back.details.channel_colors, back.details.windows) == (DETAILS.channel_colors, DETAILS.windows)
    write_image(tmp_path / "out.tif", dataclasses.replace(back, data=np.asarray(back.data)))
    with tifffile.TiffFile(tmp_path / "out.tif") as tif:
        meta = tif.imagej_metadata
    assert list(meta["Ranges"]) == ranges
    assert ["".join(f"{v:02X}" for v in lut[:, -1]) for lut in meta["LUTs"]] == list(DETAILS.channel_colors)
