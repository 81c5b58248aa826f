"""The napari reader: files open as layers with their axes, channels and scale."""

import dask.array as da
import numpy as np
import pytest

pytest.importorskip("napari")
pytest.importorskip("pytestqt")

from pxvorel.io import ImageFile, write_image
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


def test_other_files_are_left_to_other_readers(tmp_path):
    assert _reader.napari_get_reader(str(tmp_path / "a.png")) is None
    assert _reader.napari_get_reader([str(tmp_path / "a.tif"), str(tmp_path / "b.png")]) is None
    assert _reader.napari_get_reader(str(tmp_path / "a.TIF")) is _reader.read_layers
