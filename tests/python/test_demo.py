"""``pxvorel demo`` end to end, on a small series."""

from __future__ import annotations

import json
import subprocess
import sys

import numpy as np
import pytest

import pxvorel
from pxvorel.io import read_image

KEYS = {
    "psnr_noisy",
    "psnr_denoised",
    "ssim_noisy",
    "ssim_denoised",
    "gain_true",
    "gain_estimated",
    "offset_true",
    "offset_estimated",
    "seconds",
    "megavoxels_per_second",
}


@pytest.mark.slow
def test_demo_reports_scores_and_writes_its_files(tmp_path) -> None:
    """The demo, and the same run through the command line and the API: one pipeline, the same
    bits (a series large enough for the default call's choice of settings on tiles)."""
    pytest.importorskip("matplotlib")  # the demo extra
    pytest.importorskip("skimage")
    out = tmp_path / "demo"
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "pxvorel",
            "demo",
            "--out",
            str(out),
            "--json",
            "--frames",
            "4",
            "--size",
            "256",
            "--threads",
            "1",
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.strip().splitlines()
    assert any(line.strip().startswith("PSNR (dB)") for line in lines)
    report = json.loads(lines[-1])
    assert set(report) >= KEYS
    for key in ("gain_true", "gain_estimated", "offset_true", "offset_estimated"):
        assert isinstance(report[key], list) and len(report[key]) == 1
    assert report["psnr_denoised"] > report["psnr_noisy"] + 6
    assert report["ssim_denoised"] > report["ssim_noisy"]
    assert report["gain_estimated"][0] == pytest.approx(report["gain_true"][0], rel=0.15)
    assert report["seconds"] > 0 and report["megavoxels_per_second"] > 0
    assert (out / "demo.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert {p.name for p in out.iterdir()} == {"noisy.tif", "denoised.tif", "clean.tif", "demo.png"}
    assert "noise model: channel 0: Poisson-Gaussian" in result.stderr
    assert "chosen on 1 tile" in result.stderr
    cli = subprocess.run(
        [
            sys.executable,
            "-m",
            "pxvorel",
            "denoise",
            str(out / "noisy.tif"),
            "-o",
            str(tmp_path / "cli.tif"),
            "--threads",
            "1",
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert cli.returncode == 0, cli.stderr
    noisy, denoised = read_image(out / "noisy.tif"), read_image(out / "denoised.tif").data
    np.testing.assert_array_equal(read_image(tmp_path / "cli.tif").data, denoised)
    np.testing.assert_array_equal(pxvorel.denoise(noisy.data, axes=noisy.axes, threads=1), denoised)
