"""The napari reader: files open as layers with their axes, channels and scale."""

import dask.array as da
import numpy as np
import pytest
import tifffile
import zarr

pytest.importorskip("napari")
pytest.importorskip("pytestqt")

from pxvorel.io import ImageFile, write_image
from pxvorel.io.details import lut_of_color
from pxvorel.io.zarr import write_ome_zarr
from pxvorel.napari import _reader

SPACING = {"Z": 0.5, "Y": 0.1, "X": 0.2}


def _tif(path, data):
    write_image(path, data, axes="ZCYX", spacing=SPACING, unit="µm")


def _zarr(path, data):
    write_ome_zarr(path, ImageFile(da.from_array(data), "ZCYX", SPACING, "µm"))


def _npy(path, data):
    np.save(path, data[:, 0])


@pytest.mark.parametrize(
    ("name", "write", "layers", "scale", "units"),
    [
        ("stack.tif", _tif, 2, (0.5, 0.1, 0.2), ("micrometer",) * 3),
        ("stack.ome.zarr", _zarr, 2, (0.5, 0.1, 0.2), ("micrometer",) * 3),
        ("stack.npy", _npy, 1, (1.0, 1.0, 1.0), ("pixel",) * 3),
    ],
)
def test_files_open_with_their_channels_axes_and_scale(make_napari_viewer, tmp_path, name, write, layers, scale, units):
    data = np.random.default_rng(0).integers(0, 999, (4, 2, 6, 8)).astype(np.uint16)
    write(tmp_path / name, data)
    opened = make_napari_viewer().open(tmp_path / name, plugin="pxvorel")
    assert len(opened) == layers
    for channel, layer in enumerate(opened):
        assert tuple(layer.axis_labels) == ("z", "y", "x")
        assert tuple(layer.scale) == pytest.approx(scale)
        assert tuple(str(u) for u in layer.units) == units
        np.testing.assert_array_equal(np.asarray(layer.data), data[:, channel])


def test_channel_names_colours_and_display_ranges_go_to_the_layers(make_napari_viewer, tmp_path):
    data = np.random.default_rng(1).integers(0, 999, (2, 6, 8)).astype(np.uint16)
    with tifffile.TiffWriter(tmp_path / "two.ome.tif", ome=True) as tif:
        tif.write(data, metadata={"axes": "CYX", "Channel": {"Name": ["DAPI", "GFP"]}})
    luts = [lut_of_color(color) for color in ("FF00FF", "00FFFF")]
    tifffile.imwrite(
        tmp_path / "ij.tif", data, imagej=True, metadata={"axes": "CYX", "Ranges": [1, 50, 2, 60], "LUTs": luts}
    )
    viewer = make_napari_viewer()
    assert [layer.name for layer in viewer.open(tmp_path / "two.ome.tif", plugin="pxvorel")] == [
        "two.ome.tif DAPI",
        "two.ome.tif GFP",
    ]
    imagej = viewer.open(tmp_path / "ij.tif", plugin="pxvorel")
    assert [tuple(layer.contrast_limits) for layer in imagej] == [(1, 50), (2, 60)]
    assert [tuple(layer.colormap.colors[-1]) for layer in imagej] == [(1, 0, 1, 1), (0, 1, 1, 1)]


def test_every_series_of_a_file_opens(make_napari_viewer, tmp_path):
    with tifffile.TiffWriter(tmp_path / "plate.ome.tif", ome=True) as tif:
        tif.write(np.zeros((3, 6, 8), np.uint16), metadata={"axes": "ZYX", "Name": "A1"})
        tif.write(np.ones((5, 4), np.uint16), metadata={"axes": "YX", "Name": "B2"})
    opened = make_napari_viewer().open(tmp_path / "plate.ome.tif", plugin="pxvorel")
    assert [(layer.name, layer.data.shape) for layer in opened] == [
        ("plate.ome.tif A1", (3, 6, 8)),
        ("plate.ome.tif B2", (5, 4)),
    ]


def _zarr_group(path, attributes):
    zarr.open_group(str(path), mode="w", zarr_format=3).attrs.update(attributes)


IMAGE = np.zeros((6, 8), np.uint16)
LEFT_TO_OTHERS = {
    "photo.tif": lambda p: tifffile.imwrite(p, np.zeros((6, 8, 3), np.uint8), photometric="rgb"),
    "palette.tif": lambda p: tifffile.imwrite(p, IMAGE.astype(np.uint8), colormap=np.zeros((3, 256), np.uint16)),
    "cells_labels.tif": lambda p: tifffile.imwrite(p, IMAGE),
    "nuclei-mask.tiff": lambda p: tifffile.imwrite(p, IMAGE),
    "not_a_tiff.tif": lambda p: p.write_bytes(b"plain text"),
    "missing.tif": lambda p: None,
    "seg.ome.zarr": lambda p: _zarr_group(p, {"ome": {"version": "0.5", "multiscales": [{}], "image-label": {}}}),
    "plate.ome.zarr": lambda p: _zarr_group(p, {"ome": {"version": "0.5", "plate": {}}}),
    "collection.zarr": lambda p: _zarr_group(p, {}),
    "a.png": lambda p: p.write_bytes(b""),
}
CLAIMED = {
    "cells.TIF": lambda p: tifffile.imwrite(p, IMAGE),
    "masked_float.tif": lambda p: tifffile.imwrite(p, IMAGE.astype(np.float32)),
    "labels_as_floats.tif": lambda p: tifffile.imwrite(p, IMAGE.astype(np.float32)),
    "image.ome.zarr": lambda p: _zarr_group(p, {"ome": {"version": "0.5", "multiscales": [{}]}}),
    "array.zarr": lambda p: zarr.create_array(str(p), shape=(6, 8), dtype="uint16"),
    "old.ome.zarr": lambda p: zarr.open_group(str(p), mode="w", zarr_format=2).attrs.update({"multiscales": [{}]}),
}


@pytest.mark.parametrize(("name", "claimed"), [*((n, False) for n in LEFT_TO_OTHERS), *((n, True) for n in CLAIMED)])
def test_the_reader_claims_only_grey_level_images(tmp_path, name, claimed):
    path = tmp_path / name
    {**LEFT_TO_OTHERS, **CLAIMED}[name](path)
    assert (_reader.napari_get_reader(str(path)) is _reader.read_layers) == claimed
    if claimed:  # one file it leaves to others makes it leave the whole selection
        assert _reader.napari_get_reader([str(path), str(tmp_path / "missing.tif")]) is None
