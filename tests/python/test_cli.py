"""The ``pxvorel`` command, run as a separate process."""

from __future__ import annotations

import json
import subprocess
from pathlib import Path

import numpy as np
import pytest

import pxvorel
import pxvorel.noise.fit as fit_module
from pxvorel.io import read_image, write_image
from scenes import moving_blobs, poisson_gaussian
from subprocesses import assert_one_line_error, pxvorel_cli


@pytest.fixture(scope="module")
def series(tmp_path_factory) -> Path:
    """A small Poisson-Gaussian time series as an ImageJ TIFF with pixel sizes."""
    noisy = poisson_gaussian(moving_blobs(5, 48, 4, seed=1), 2.0, 16.0, seed=2)
    path = tmp_path_factory.mktemp("series") / "cells.tif"
    write_image(path, noisy, axes="TYX", spacing={"X": 0.2, "Y": 0.2, "T": 3.0}, unit="µm")
    return path


@pytest.mark.slow
@pytest.mark.parametrize("suffix", [".tif", ".ome.tif"])
def test_denoise_keeps_axes_and_pixel_sizes_and_reports_progress(series, tmp_path, suffix) -> None:
    output = tmp_path / f"out{suffix}"
    result = pxvorel_cli("denoise", series, "-o", output, "--iterations", "2")
    assert result.returncode == 0, result.stderr
    assert result.stdout == ""
    for needle in ("cells.tif", "axes TYX", "noise model: channel 0: Poisson-Gaussian", "done in", "Mvoxel/s"):
        assert needle in result.stderr
    source, written = read_image(series), read_image(output)
    assert written.axes == "TYX" and written.data.dtype == np.float32 and written.data.shape == source.data.shape
    assert written.spacing == pytest.approx(source.spacing) and written.unit == "µm"
    assert np.std(written.data - source.data) > 0  # something was done


@pytest.mark.slow
@pytest.mark.parametrize("refine", [True, False])
def test_denoise_matches_the_api_and_takes_known_noise(series, tmp_path, refine) -> None:
    noisy = read_image(series).data
    result = pxvorel_cli(
        "denoise",
        series,
        "-o",
        tmp_path / "a.npy",
        "--gain",
        "2",
        "--offset",
        "16",
        "--patch-radius",
        "X=1,Y=1,T=1",
        "--search",
        "XY",
        "--threads",
        "1",
        "--quiet",
        *([] if refine else ["--no-refine"]),
    )
    assert result.returncode == 0 and result.stderr == ""
    expected = pxvorel.denoise(
        noisy,
        axes="TYX",
        noise=pxvorel.NoiseModel([2.0], [16.0]),
        patch_radius={"X": 1, "Y": 1, "T": 1},
        search_axes="XY",
        threads=1,
        refine=refine,
    )
    np.testing.assert_allclose(np.load(tmp_path / "a.npy"), expected, atol=1e-3)
    other = pxvorel.denoise(
        noisy,
        axes="TYX",
        noise=pxvorel.NoiseModel([2.0], [16.0]),
        patch_radius={"X": 1, "Y": 1, "T": 1},
        search_axes="XY",
        threads=1,
        refine=not refine,
    )
    assert np.abs(np.load(tmp_path / "a.npy") - other).max() > 0.1
    assert pxvorel_cli("denoise", series, "-o", tmp_path / "b.tif", "--sigma", "5", "-q").returncode == 0


@pytest.mark.slow
def test_existing_output_and_the_input_itself_are_never_overwritten(series, tmp_path) -> None:
    output = tmp_path / "out.tif"
    output.write_bytes(b"precious")
    assert_one_line_error(pxvorel_cli("denoise", series, "-o", output), "--overwrite")
    assert output.read_bytes() == b"precious"
    assert pxvorel_cli("denoise", series, "-o", output, "--overwrite", "-q", "--iterations", "1").returncode == 0
    assert read_image(output).axes == "TYX"
    before = series.read_bytes()
    assert_one_line_error(pxvorel_cli("denoise", series, "-o", series, "--overwrite"), "input")
    assert series.read_bytes() == before


@pytest.mark.slow
def test_bad_input_is_one_line_and_status_2(series, tmp_path) -> None:
    np.save(tmp_path / "six.npy", np.zeros((2,) * 6, np.float32))
    assert_one_line_error(pxvorel_cli("denoise", tmp_path / "missing.tif", "-o", tmp_path / "o.tif"), "missing.tif")
    assert_one_line_error(pxvorel_cli("denoise", series, "-o", tmp_path / "o.tif", "--axes", "TTX"), "TTX")
    assert_one_line_error(pxvorel_cli("denoise", tmp_path / "six.npy", "-o", tmp_path / "o.npy"), "6-D")
    assert_one_line_error(pxvorel_cli("estimate", tmp_path / "six.npy"), "6-D")
    assert_one_line_error(pxvorel_cli("denoise", series, "-o", tmp_path / "o.tif", "--sigma", "2", "--noise", "auto"))
    assert_one_line_error(pxvorel_cli("denoise", series, "-o", tmp_path / "o.tif", "--gain", "2"), "--offset")
    assert_one_line_error(pxvorel_cli("denoise", series, "-o", tmp_path / "o.tif", "--iterations", "0"))
    assert_one_line_error(pxvorel_cli("denoise", series, "-o", tmp_path / "o.jpg"), ".tif")
    assert_one_line_error(pxvorel_cli("denoise", series), "--output")
    assert_one_line_error(pxvorel_cli("frobnicate"))
    assert list(tmp_path.iterdir()) == [tmp_path / "six.npy"]


def test_estimate_prints_json_as_the_last_line(series, tmp_path) -> None:
    result = pxvorel_cli("estimate", series, "--json")
    assert result.returncode == 0
    report = json.loads(result.stdout.strip().splitlines()[-1])
    assert {"gain", "offset", "sigma"} <= set(report)
    assert report["gain"][0] == pytest.approx(2.0, rel=0.25) and report["sigma"] > 0
    # A flat image cannot be fitted: the native diagnostic must not reach stdout.
    np.save(tmp_path / "flat.npy", np.full((12, 12), 5, np.uint8))
    flat = pxvorel_cli("estimate", tmp_path / "flat.npy", "--json")
    assert flat.returncode == 0
    assert json.loads(flat.stdout.strip().splitlines()[-1]) == {
        "gain": [0.0],
        "offset": [0.0],
        "reasons": ["no noise can be measured"],
        "fits": [True],
        "sigma": 0.0,
    }
    assert len(flat.stdout.strip().splitlines()) == 1
    assert "warning: channel 0: no noise can be measured" in flat.stderr


def test_estimate_strict_fails_where_a_model_does_not_fit(series, monkeypatch, capsys) -> None:
    from pxvorel.cli import main

    assert main(["estimate", str(series), "--strict", "--quiet"]) == 0  # Poisson-Gaussian: its line fits
    assert "fit: model sd within 20 %" in capsys.readouterr().out
    monkeypatch.setattr(fit_module, "FITS", 1.01)  # no model can fit
    assert main(["estimate", str(series), "--quiet"]) == 0
    assert "the noise model does not fit" in capsys.readouterr().err  # a warning, whatever the flags
    assert main(["estimate", str(series), "--strict", "--quiet"]) == 1
    assert "does not fit the measured noise in channel 0" in capsys.readouterr().err


def test_version_and_help() -> None:
    version = pxvorel_cli("--version")
    assert version.returncode == 0 and version.stdout.strip() == f"pxvorel {pxvorel.__version__}"
    helptext = pxvorel_cli("denoise", "--help")
    assert helptext.returncode == 0
    for option in ("--axes", "--noise", "--sigma", "--gain", "--offset", "--patch-radius", "--overwrite", "--quiet"):
        assert option in helptext.stdout
    installed = subprocess.run(["pxvorel", "--help"], capture_output=True, text=True)
    assert installed.returncode == 0 and "denoise" in installed.stdout


def test_messages_name_what_is_odd(series, tmp_path) -> None:
    """Several inputs with an output file name, axes that contradict the file, a search along an
    axis the image lacks: an error, or a warning that names it."""
    result = pxvorel_cli("denoise", series, series, "-o", tmp_path / "x.tif", "--iterations", "1")
    assert_one_line_error(result, "output folder", "'x.tif'")
    assert not (tmp_path / "x.tif").exists()
    result = pxvorel_cli(
        "denoise", series, "-o", tmp_path / "y.tif", "--iterations", "1", "--axes", "CYX", "--search", "XYZ"
    )
    assert result.returncode == 0, result.stderr
    assert "reading axes CYX as given, but the file's metadata says TYX" in result.stderr
    assert "search_axes names Z, but the image has a single sample along it" in result.stderr
