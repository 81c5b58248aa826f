"""The command line on Zarr, on TIFFs read lazily, and on many files at once."""

from __future__ import annotations

import numpy as np
import pytest
import zarr

import pxvorel
from pxvorel.cli.dtype import cast_to
from pxvorel.io import read_image, write_image
from pxvorel.io.zarr import open_lazy
from scenes import blobs, poisson_gaussian
from subprocesses import assert_one_line_error, pxvorel_cli

FAST = ("--iterations", "2", "--threads", "1")


@pytest.fixture(scope="module")
def stack() -> np.ndarray:
    noisy = poisson_gaussian(blobs((12, 50, 56), 6, seed=7, low=20.0, high=400.0), 2.0, 16.0, seed=8)
    return np.rint(noisy).clip(0, None).astype(np.uint16)


@pytest.mark.slow
def test_zarr_and_a_lazily_read_tiff_give_the_in_memory_result(stack, tmp_path) -> None:
    expected = pxvorel.denoise(stack, axes="ZYX", noise=7.0, iterations=2, threads=1)
    source = zarr.open_array(
        str(tmp_path / "in.zarr"), mode="w", shape=stack.shape, chunks=(6, 25, 28), dtype=stack.dtype
    )
    source[:] = stack
    write_image(tmp_path / "in.tif", stack, axes="ZYX", spacing={"X": 0.1, "Y": 0.1, "Z": 0.3}, unit="µm")
    for name, extra in (("in.zarr", ("--chunks", "Y=25,X=29")), ("in.tif", ("--chunks", "Z=6,Y=31"))):
        output = tmp_path / f"{name}.out.ome.zarr"
        run = pxvorel_cli("denoise", tmp_path / name, "-o", output, "--sigma", "7", *FAST, *extra)
        assert run.returncode == 0, run.stderr
        assert "chunk 4/4 (100 %" in run.stderr and "block(s)" in run.stderr
        written = open_lazy(output)
        np.testing.assert_array_equal(written.data.compute(), expected)
    assert written.spacing == {"X": 0.1, "Y": 0.1, "Z": 0.3} and written.unit == "µm"
    # An existing output is kept without --overwrite, replaced with it.
    again = pxvorel_cli("denoise", tmp_path / "in.zarr", "-o", output, "--sigma", "7", *FAST)
    assert_one_line_error(again, "--overwrite")
    assert open_lazy(output).axes == "ZYX"
    replaced = pxvorel_cli(
        "denoise", tmp_path / "in.tif", "-o", output, "--sigma", "7", "--overwrite", "--dtype", "input", *FAST
    )
    assert replaced.returncode == 0, replaced.stderr
    assert open_lazy(output).data.dtype == np.uint16
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]  # no temporary left behind


@pytest.mark.slow
def test_many_files_and_folders_each_named_after_its_input(stack, tmp_path) -> None:
    folder = tmp_path / "in"
    folder.mkdir()
    write_image(folder / "a.tif", stack, axes="ZYX")
    np.save(folder / "b.npy", np.concatenate([stack, stack])[:, :30])  # 24 slices: ZYX without doubt
    (folder / "c.tif").write_bytes(b"not a tiff")
    run = pxvorel_cli("denoise", folder, "-o", tmp_path / "out", "--sigma", "7", *FAST)
    assert run.returncode == 1
    assert "file 3/3" in run.stderr and "c.tif failed" in run.stderr and "1 of 3 file(s) failed" in run.stderr
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.tif", "b.npy"]
    np.testing.assert_array_equal(
        read_image(tmp_path / "out" / "a.tif").data,
        pxvorel.denoise(stack, axes="ZYX", noise=7.0, iterations=2, threads=1),
    )
    listed = pxvorel_cli(
        "denoise",
        folder / "a.tif",
        folder / "b.npy",
        "-o",
        tmp_path / "listed/",
        "--sigma",
        "7",
        "--dtype",
        "input",
        *FAST,
    )
    assert listed.returncode == 0, listed.stderr
    assert read_image(tmp_path / "listed" / "a.tif").data.dtype == np.uint16
    assert "0 sample(s) clipped to the range of uint16" in listed.stderr


def test_integer_output_is_rounded_and_clipped_with_a_count() -> None:
    result, clipped = cast_to(np.array([-3.0, 0.4, 0.6, 254.4, 255.6, 300.0], np.float32), np.dtype(np.uint8))
    np.testing.assert_array_equal(result, np.array([0, 0, 1, 254, 255, 255], np.uint8))
    assert clipped == 3
