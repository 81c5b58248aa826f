"""Reading and writing files with axes and pixel sizes; atomic, non-overwriting output."""

from __future__ import annotations

import numpy as np
import pytest
import tifffile

from pxvorel.io import ImageFile, read_image, write_image


@pytest.mark.parametrize(
    ("name", "axes", "shape", "spacing", "written_axes"),
    [
        ("hyperstack.tif", "TZCYX", (3, 4, 2, 10, 12), {"X": 0.1, "Y": 0.1, "Z": 0.5, "T": 2.0}, "TZCYX"),
        ("series.tif", "TYX", (5, 10, 12), {"X": 0.2, "Y": 0.25, "T": 1.5}, "TYX"),
        ("series.ome.tif", "TCZYX", (3, 2, 4, 10, 12), {"X": 0.1, "Y": 0.1, "Z": 0.3, "T": 5.0}, "TCZYX"),
        ("channels.ome.tiff", "CYX", (3, 10, 12), {"X": 0.065, "Y": 0.065}, "CYX"),
        ("channel_last.tif", "YXC", (10, 12, 3), {"X": 0.3, "Y": 0.3}, "CYX"),  # put in ImageJ's order
        ("time_inside.tif", "ZTYX", (2, 3, 10, 12), {"X": 0.2, "Y": 0.2, "Z": 1.5, "T": 4.0}, "TZYX"),
        ("kymograph.tif", "TX", (7, 12), {"X": 0.3, "T": 0.1}, "TX"),  # no Y: a plain TIFF
        ("doubles.tif", "YXC", (10, 12, 2), {"X": 0.3, "Y": 0.3}, "YXC"),  # float64: a plain TIFF
        ("no_xy.tif", "ZYX", (2, 10, 12), {"Z": 0.7}, "ZYX"),  # ImageJ: no 1 µm X/Y made up
    ],
)
def test_tiff_round_trip_keeps_axes_and_pixel_sizes(tmp_path, name, axes, shape, spacing, written_axes) -> None:
    dtype = np.float64 if name.startswith("doubles") else np.float32
    data = np.random.default_rng(0).random(shape).astype(dtype)
    write_image(tmp_path / name, data, axes=axes, spacing=spacing, unit="µm")
    image = read_image(tmp_path / name)
    assert image.axes == written_axes
    np.testing.assert_array_equal(image.data, np.transpose(data, [axes.index(a) for a in written_axes]))
    assert image.spacing == pytest.approx(spacing, rel=1e-6)
    assert image.unit == ("µm" if "X" in spacing else None)


def test_npy_round_trip_takes_axes_from_the_caller(tmp_path) -> None:
    data = np.arange(24, dtype=np.uint16).reshape(2, 3, 4)
    write_image(tmp_path / "a.npy", data, axes="TYX")
    with pytest.raises(ValueError, match="'CYX', 'TYX'"):  # no metadata, and a shape that leaves the axes in doubt
        read_image(tmp_path / "a.npy")
    write_image(tmp_path / "b.npy", np.zeros((20, 3, 5), np.uint16), axes="ZYX")
    assert read_image(tmp_path / "b.npy").axes == "ZYX"  # no doubt: the default by dimension count
    image = read_image(tmp_path / "a.npy", axes="tyx")
    assert image.axes == "TYX" and image.data.dtype == np.uint16
    np.testing.assert_array_equal(image.data, data)


def test_tifffile_axis_letters_are_translated(tmp_path) -> None:
    # tifffile calls the first axis of a plain 3-D array Q
    tifffile.imwrite(tmp_path / "q.tif", np.zeros((4, 8, 8), np.uint16), photometric="minisblack")
    assert read_image(tmp_path / "q.tif").axes == "TYX"
    tifffile.imwrite(tmp_path / "rgb.tif", np.zeros((8, 8, 3), np.uint8), photometric="rgb")
    assert read_image(tmp_path / "rgb.tif").axes == "YXC"
    tifffile.imwrite(
        tmp_path / "tq.tif", np.zeros((2, 3, 8, 8), np.uint16), photometric="minisblack", metadata={"axes": "TQYX"}
    )
    with pytest.raises(ValueError, match="cannot tell what axis 'Q'"):
        read_image(tmp_path / "tq.tif")
    assert read_image(tmp_path / "tq.tif", axes="TZYX").axes == "TZYX"


def test_existing_files_are_kept_and_nothing_half_written_stays(tmp_path) -> None:
    target = tmp_path / "out.tif"
    write_image(target, np.zeros((4, 4), np.float32))
    before = target.read_bytes()
    with pytest.raises(FileExistsError):
        write_image(target, np.ones((4, 4), np.float32))
    assert target.read_bytes() == before
    write_image(target, np.ones((4, 4), np.float32), overwrite=True)
    np.testing.assert_array_equal(read_image(target).data, 1.0)
    with pytest.raises(ValueError):  # the writer fails midway: 6 axes
        write_image(tmp_path / "bad.tif", np.zeros((1,) * 6, np.float32))
    with pytest.raises(ValueError, match=r"\.tif, \.ome\.tif or \.npy"):
        write_image(tmp_path / "out.png", np.zeros((4, 4), np.float32))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.tif"]


def test_unreadable_files_raise_clear_errors(tmp_path) -> None:
    with pytest.raises(FileNotFoundError):
        read_image(tmp_path / "missing.tif")
    (tmp_path / "text.tif").write_text("not a tiff")
    with pytest.raises(ValueError, match="cannot read"):
        read_image(tmp_path / "text.tif")


@pytest.mark.parametrize(
    ("name", "axes", "spacing"),
    [
        ("2dt_cancer_cell_nuclei_48frames_u16.tif", "TYX", {}),
        ("3dc_spots_2ch_u16.tif", "ZCYX", {"Z": 0.4}),
        ("2dc_hela_dna_tubulin_actin_3ch_u16.tif", "CYX", {}),
    ],
)
def test_real_files_give_their_axes_and_sizes(real_image, name, axes, spacing) -> None:
    image = read_image(real_image(name))
    assert image.axes == axes
    for axis, size in spacing.items():
        assert image.spacing[axis] == pytest.approx(size, rel=1e-3)
    if name.startswith("3dc"):
        assert image.unit == "µm" and image.spacing["X"] == pytest.approx(0.094, rel=0.01)


def test_image_file_metadata_is_written_from_the_object(tmp_path) -> None:
    image = ImageFile(np.zeros((2, 6, 6), np.uint16), "ZYX", {"X": 0.5, "Y": 0.5, "Z": 2.0}, "µm")
    write_image(tmp_path / "z.tif", image)
    assert read_image(tmp_path / "z.tif").spacing == pytest.approx(image.spacing)
