"""End to end on a local dask.distributed cluster of worker processes (loopback only):
Zarr in, OME-Zarr out, equal to the in-memory result, also when a worker is killed."""

from __future__ import annotations

import os
import signal
import time

import numpy as np
import pytest
import zarr

import pxvorel
from pxvorel import NoiseModel
from pxvorel.io import ImageFile, write_image
from pxvorel.io.zarr import open_lazy, write_ome_zarr
from scenes import blobs, poisson_gaussian
from subprocesses import pxvorel_cli

distributed = pytest.importorskip("distributed")

pytestmark = pytest.mark.slow

MODEL = NoiseModel([2.0], [16.0])


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address="127.0.0.1:0",
            silence_logs=50,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


@pytest.fixture(scope="module")
def stack(tmp_path_factory) -> tuple[np.ndarray, np.ndarray]:
    """A noisy uint16 stack and its in-memory result with one thread."""
    noisy = np.rint(poisson_gaussian(blobs((24, 64, 66), 8, seed=5, low=30.0, high=600.0), 2.0, 16.0, seed=6))
    noisy = noisy.clip(0, None).astype(np.uint16)
    return noisy, pxvorel.denoise(noisy, noise=MODEL, iterations=3, threads=1)


def zarr_input(path, noisy: np.ndarray):
    array = zarr.open_array(str(path), mode="w", shape=noisy.shape, chunks=(12, 33, 35), dtype=noisy.dtype)
    array[:] = noisy
    return path


def test_zarr_in_ome_zarr_out_equals_in_memory(client, stack, tmp_path) -> None:
    noisy, expected = stack
    source = open_lazy(zarr_input(tmp_path / "in.zarr", noisy), axes="ZYX")
    result = pxvorel.denoise(source.data, axes="ZYX", noise=MODEL, iterations=3)
    written = write_ome_zarr(tmp_path / "out.ome.zarr", ImageFile(result, "ZYX", {"Z": 0.4, "Y": 0.1, "X": 0.1}, "µm"))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.zarr", "out.ome.zarr"]  # no temporary left
    back = open_lazy(written)
    assert (back.axes, back.spacing, back.unit) == ("ZYX", {"Z": 0.4, "Y": 0.1, "X": 0.1}, "µm")
    np.testing.assert_array_equal(back.data.compute(), expected)


def test_a_killed_worker_is_replaced_and_the_result_is_unchanged(client, stack, tmp_path) -> None:
    noisy, expected = stack
    source = open_lazy(zarr_input(tmp_path / "in.zarr", noisy), axes="ZYX")
    result = pxvorel.denoise(source.data.rechunk((12, 33, 35)), axes="ZYX", noise=MODEL, iterations=3)
    before = client.run(os.getpid)
    futures = client.compute(list(result.to_delayed().ravel()))
    while not any(f.done() for f in futures):
        time.sleep(0.01)
    victim = next(iter(before.values()))
    os.kill(victim, signal.SIGKILL)  # a worker process of this test's own cluster
    pieces = client.gather(futures)
    client.wait_for_workers(2, timeout=60)
    after = client.run(os.getpid)
    assert victim not in after.values() and len(after) == 2
    grid = np.empty(result.numblocks, dtype=object)
    for index, piece in zip(np.ndindex(*result.numblocks), pieces, strict=True):
        grid[index] = piece
    np.testing.assert_array_equal(np.block(grid.tolist()), expected)


def test_the_command_line_runs_on_an_existing_cluster_or_its_own(client, stack, tmp_path) -> None:
    noisy, expected = stack
    zarr_input(tmp_path / "in.zarr", noisy)
    for name, where in (("a.ome.zarr", ("--scheduler", client.scheduler.address)), ("b.ome.zarr", ("--workers", "2"))):
        run = pxvorel_cli(
            "denoise",
            tmp_path / "in.zarr",
            "-o",
            tmp_path / name,
            "--gain",
            "2",
            "--offset",
            "16",
            "--iterations",
            "3",
            "--chunks",
            "Z=12,Y=33,X=35",
            *where,
        )
        assert run.returncode == 0, run.stderr
        assert "2 worker" in run.stderr and "chunk 8/8" in run.stderr
        np.testing.assert_array_equal(open_lazy(tmp_path / name).data.compute(), expected)


def test_a_tiff_cut_anew_on_its_own_cluster_equals_in_memory(stack, tmp_path) -> None:
    """The command as a new user types it: a TIFF, chunks that cut it anew (a rechunk on the
    workers, by tasks) and a cluster of its own, to OME-Zarr."""
    noisy, expected = stack
    write_image(tmp_path / "in.tif", noisy, axes="ZYX")
    output = tmp_path / "out.ome.zarr"
    run = pxvorel_cli(
        "denoise", tmp_path / "in.tif", "-o", output, "--gain", "2", "--offset", "16", "--iterations", "3",
        "--chunks", "Y=40,X=28", "--workers", "2",
    )  # fmt: skip
    assert run.returncode == 0, run.stderr
    np.testing.assert_array_equal(open_lazy(output).data.compute(), expected)
