"""``pxvorel demo`` end to end, on a small series."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest

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
    out = tmp_path / "demo"
    result = subprocess.run(
        [sys.executable, "-m", "pxvorel", "demo", "--out", str(out), "--json", "--frames", "6", "--size", "96"],
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
