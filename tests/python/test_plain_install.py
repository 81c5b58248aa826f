"""The command line with only the core dependencies: every in-memory path works, and the
paths that need an extra exit with status 2, naming the extra."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from pxvorel.io import write_image
from subprocesses import assert_one_line_error

#: Runs the command line as if the optional packages were not installed: a finder placed
#: first on sys.meta_path refuses them (and everything below them).
HIDDEN = ("dask", "zarr", "distributed", "matplotlib", "skimage", "napari")
RUNNER = f"""
import importlib.abc, sys
class Hide(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] in {HIDDEN!r}:
            raise ModuleNotFoundError(f"No module named {{name!r}}", name=name)
sys.meta_path.insert(0, Hide())
from pxvorel.cli import main
sys.exit(main(sys.argv[1:]))
"""


def core_only(*args: str | Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", RUNNER, *map(str, args)], capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def plane(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("plain") / "plane.tif"
    noisy = np.random.default_rng(0).poisson(np.full((48, 48), 30.0)).astype(np.uint16)
    write_image(path, noisy, axes="YX")
    return path


def test_in_memory_commands_need_no_extra(plane, tmp_path) -> None:
    second = tmp_path / "second.tif"
    second.write_bytes(plane.read_bytes())
    for args in (
        ("denoise", plane, "-o", tmp_path / "out.tif", "--iterations", "1"),
        ("denoise", plane, second, "-o", tmp_path / "many", "--iterations", "1", "--dtype", "input"),
        ("estimate", plane, "--json"),
    ):
        result = core_only(*args)
        assert result.returncode == 0, result.stderr
    assert (tmp_path / "out.tif").exists() and len(list((tmp_path / "many").iterdir())) == 2


@pytest.mark.parametrize(
    ("args", "extra"),
    [
        (("denoise", "{plane}", "-o", "{out}/x.tif", "--chunks", "Y=16"), "dask"),
        (("denoise", "{plane}", "-o", "{out}/x.ome.zarr"), "dask"),
        (("estimate", "{plane}", "--plot", "{out}/x.png"), "plot"),
        (("demo", "--out", "{out}/demo"), "demo"),
    ],
)
def test_paths_that_need_an_extra_name_it(plane, tmp_path, args, extra) -> None:
    result = core_only(*(a.format(plane=plane, out=tmp_path) for a in args))
    assert_one_line_error(result, f"pip install 'pxvorel[{extra}]'")
    assert list(tmp_path.iterdir()) == []  # nothing written
