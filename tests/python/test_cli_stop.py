"""The command line stops cleanly on signals, checks before work and names the file in every file error."""

from __future__ import annotations

import errno
import os
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from pxvorel import cli
from subprocesses import assert_one_line_error, pxvorel_cli, restore_sigint


@pytest.fixture(scope="module")
def plane(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("plane") / "plane.npy"
    np.save(path, np.random.default_rng(0).normal(100, 5, (256, 256)).astype(np.float32))
    return path


@pytest.mark.slow
@pytest.mark.parametrize(("signum", "status"), [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_while_denoising_exits_at_once_and_leaves_no_file(plane, tmp_path, signum, status) -> None:
    output = tmp_path / "out.tif"
    child = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "pxvorel",
            "denoise",
            plane,
            "-o",
            output,
            "--sigma",
            "5",
            "--iterations",
            "9",
            "--threads",
            "1",
        ],
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=restore_sigint,
    )
    for line in child.stderr:
        if "denoising:" in line and "%" in line:
            break
    child.send_signal(signum)
    _, err = child.communicate(timeout=30)
    assert child.returncode == status, err
    assert list(tmp_path.iterdir()) == []


@pytest.mark.slow
@pytest.mark.parametrize(
    ("arguments", "needles"),
    [
        (["--patch-radius", "Z=3"], ["no Z axis"]),
        (["-o", "{tmp}/missing/out.tif"], ["does not exist"]),
    ],
)
def test_checks_before_work(plane, tmp_path, arguments, needles) -> None:
    arguments = [a.format(tmp=tmp_path) for a in arguments]
    output = [] if "-o" in arguments else ["-o", tmp_path / "out.tif"]
    result = pxvorel_cli("denoise", plane, *output, *arguments, "--sigma", "5")
    assert_one_line_error(result, *needles)
    assert "denoising" not in result.stderr


@pytest.mark.slow
def test_iterations_and_threads_beyond_use_are_capped_with_a_note(tmp_path) -> None:
    source = tmp_path / "tiny.npy"
    np.save(source, np.random.default_rng(1).normal(10, 1, (12, 12)).astype(np.float32))
    result = pxvorel_cli(
        "denoise", source, "-o", tmp_path / "out.npy", "--sigma", "1", "--iterations", "30", "--threads", "10000"
    )
    assert result.returncode == 0, result.stderr
    assert "running 5" in result.stderr and "--threads 10000 is more than" in result.stderr
    assert "100 %" in result.stderr  # percentage lines when standard error is not a terminal


@pytest.mark.slow
@pytest.mark.parametrize(
    ("content", "needle"),
    [
        (
            b"\x93NUMPY\x01\x00v\x00{'descr': '<f4', 'fortran_order': False, 'shape': (99999999999, 9999999), }"
            + b" " * 41
            + b"\n",
            "bad.npy",
        ),
        (np.float64(1e39), "float32 range"),
    ],
)
def test_bad_files_fail_with_one_line_naming_the_problem(tmp_path, content, needle) -> None:
    source = tmp_path / "bad.npy"
    if isinstance(content, bytes):
        source.write_bytes(content)
    else:
        np.save(source, np.full((8, 8), content))
    assert_one_line_error(pxvorel_cli("denoise", source, "-o", tmp_path / "out.npy", "--sigma", "1"), needle)


@pytest.mark.slow
def test_a_folder_as_input_is_named(tmp_path) -> None:
    assert_one_line_error(pxvorel_cli("denoise", tmp_path, "-o", tmp_path / "o.tif"), "holds no .tif")


def test_a_full_disk_gives_one_error_line_and_no_partial_file(plane, tmp_path, monkeypatch, capsys) -> None:
    def full(fd: int) -> None:
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(os, "fsync", full)
    before = plane.read_bytes()
    status = cli.main(["denoise", str(plane), "-o", str(tmp_path / "out.tif"), "--sigma", "5", "--iterations", "1"])
    errors = [line for line in capsys.readouterr().err.splitlines() if "error" in line]
    assert status == 2 and len(errors) == 1 and "out.tif" in errors[0] and "No space left" in errors[0]
    assert list(tmp_path.iterdir()) == [] and plane.read_bytes() == before
