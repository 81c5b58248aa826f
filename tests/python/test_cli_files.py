"""``pxvorel denoise`` and its file options: every series of a file, ``--series``,
``--compression``, ``--dtype input`` and ``--pyramid``; misuse is one line, nothing written."""

from __future__ import annotations

import json

import numpy as np
import pytest
import tifffile

from pxvorel.io import read_image
from scenes import moving_blobs, poisson_gaussian
from subprocesses import assert_one_line_error, pxvorel_cli

NOISY = poisson_gaussian(moving_blobs(2, 32, 3, seed=4), 2.0, 16.0, seed=5)


@pytest.fixture(scope="module")
def two_series(tmp_path_factory):
    """An OME-TIFF with a named time series and a named single plane."""
    path = tmp_path_factory.mktemp("files") / "plate.ome.tif"
    with tifffile.TiffWriter(path, ome=True) as tif:
        tif.write(NOISY.astype(np.uint16), metadata={"axes": "TYX", "Name": "A1", "PhysicalSizeX": 0.2})
        tif.write(NOISY[0].astype(np.uint16), metadata={"axes": "YX", "Name": "B2"})
    return path


def test_every_series_is_denoised_into_its_own_file(two_series, tmp_path):
    result = pxvorel_cli("denoise", two_series, "-o", tmp_path / "out.ome.tif", "--iterations", "1")
    assert result.returncode == 0, result.stderr
    assert "holds 2 series" in result.stderr
    first, second = (read_image(tmp_path / f"out_s{n}.ome.tif") for n in (0, 1))
    assert (first.axes, first.details.name, first.data.dtype) == ("TYX", "A1", np.float32)
    assert (second.axes, second.details.name) == ("YX", "B2")
    assert not (tmp_path / "out.ome.tif").exists()


def test_estimate_takes_a_series_and_names_the_choice_when_none_is_given(two_series):
    first, second = (pxvorel_cli("estimate", two_series, "--json", *series) for series in ((), ("--series", "1")))
    assert first.returncode == second.returncode == 0
    assert "holds 2 series; reading the first (choose with --series N" in first.stderr
    assert "holds 2 series" not in second.stderr


def test_one_series_in_the_input_type_compressed(two_series, tmp_path):
    out = tmp_path / "b2.tif"
    args = ("--series", "1", "--dtype", "input", "--compression", "zlib", "--iterations", "1", "-q")
    assert pxvorel_cli("denoise", two_series, "-o", out, *args).returncode == 0
    with tifffile.TiffFile(out) as tif:
        assert tif.series[0].dtype == np.uint16 and tif.pages.first.compression == tifffile.COMPRESSION.ADOBE_DEFLATE
        assert tif.series[0].shape == NOISY.shape[1:]


def test_a_floating_input_keeps_its_type_and_zarr_gets_a_pyramid(tmp_path):
    pytest.importorskip("zarr")  # the dask extra
    source = tmp_path / "in.npy"
    np.save(source, NOISY.astype(np.float64))
    out = tmp_path / "out.ome.zarr"
    args = ("--axes", "TYX", "--dtype", "input", "--pyramid", "1", "--compression", "none", "--iterations", "1", "-q")
    assert pxvorel_cli("denoise", source, "-o", out, *args).returncode == 0
    arrays = [json.loads((out / level / "zarr.json").read_text()) for level in ("0", "1")]
    assert [(a["shape"], a["data_type"]) for a in arrays] == [([2, 32, 32], "float64"), ([2, 16, 16], "float64")]
    assert [c["name"] for c in arrays[0]["codecs"]] == ["bytes"]


@pytest.mark.parametrize(
    ("name", "options", "needle"),
    [
        ("x.tif", ("--series", "2"), "no series 2"),
        ("x.tif", ("--series", "-1"), "counted from 0"),
        ("x.tif", ("--pyramid", "2"), "only OME-Zarr"),
        ("x.npy", ("--compression", "zstd"), ".npy files are written uncompressed"),
    ],
)
def test_file_options_that_cannot_apply_are_one_line_errors(two_series, tmp_path, name, options, needle):
    assert_one_line_error(pxvorel_cli("denoise", two_series, "-o", tmp_path / name, *options), needle)
    assert list(tmp_path.iterdir()) == []
