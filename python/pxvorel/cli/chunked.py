"""``pxvorel denoise`` block by block on dask: Zarr data, ``--chunks``, ``--scheduler`` and
``--workers``.

The input is opened lazily, denoised block by block on dask (a local thread pool, a local
cluster of worker processes, or an existing ``distributed`` cluster) and written chunk by
chunk, with progress over chunks on standard error. This module needs the ``dask`` extra;
the command line imports it only for these paths.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import logging
import math
import time
from collections.abc import Callable, Hashable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any

import dask
import dask.array as da
import numpy as np
from dask.callbacks import Callback
from dask.delayed import Delayed

from pxvorel.api import denoise
from pxvorel.cli.dtype import cast_to, wants_cast
from pxvorel.cli.options import (
    OUTPUT_SUFFIXES,
    UsageError,
    chunks_option,
    noise_option,
    patch_radius_option,
)
from pxvorel.cli.report import describe_image, stage
from pxvorel.core.extras import require
from pxvorel.io import write_image
from pxvorel.io.paths import is_zarr
from pxvorel.io.zarr import open_lazy, prepare_ome_zarr
from pxvorel.run.chunked import RECHUNK

log = logging.getLogger(__name__)

#: Samples per block when the command line chooses the chunks (about 64 MB as float32;
#: a block's task holds about eight times its size while the engine runs).
DEFAULT_BLOCK_SAMPLES = 1 << 24


def choose_chunks(data: da.Array, axes: str, given: str | None) -> da.Array:
    """The blocks to denoise: `given` per axis (other axes whole), or about DEFAULT_BLOCK_SAMPLES each."""
    if given is not None:
        named = chunks_option(given, axes)
        given_chunks: da.Array = data.rechunk(tuple(named.get(i, -1) for i in range(data.ndim)), method=RECHUNK)
        return given_chunks
    fixed = {i: -1 for i, a in enumerate(axes) if a == "C"}
    chunks = da.core.normalize_chunks(
        tuple(fixed.get(i, "auto") for i in range(data.ndim)),
        data.shape,
        limit=DEFAULT_BLOCK_SAMPLES * 4,
        dtype=np.float32,
        previous_chunks=data.chunksize,
    )
    chosen: da.Array = data.rechunk(chunks, method=RECHUNK)
    return chosen


class _ChunkCounter(Callback):
    """Counts finished tasks among `keys` for the local schedulers."""

    def __init__(self, keys: set[Hashable], report: Callable[[int], None]) -> None:
        super().__init__()  # type: ignore[no-untyped-call]  # dask's Callback.__init__ is unannotated
        self.keys, self.report, self.done = keys, report, 0

    def _posttask(
        self, key: Hashable, result: object, dsk: Mapping[Hashable, object], state: object, worker_id: object
    ) -> None:
        if key in self.keys:
            self.done += 1
            self.report(self.done)


def compute_chunks(tasks: Sequence[Delayed], extras: Sequence[da.Array]) -> tuple[list[Any], list[Any]]:
    """Compute one task per chunk (with progress) and some `extras` that share their graph.

    The results are whatever the tasks compute (dask does not type them).
    """
    total = len(tasks)
    every = max(1, math.ceil(total / 20))
    start = time.perf_counter()

    def report(done: int) -> None:
        if done % every == 0 or done == total:
            log.info(f"chunk {done}/{total} ({100 * done // total} %, {time.perf_counter() - start:.1f} s)")

    try:
        from distributed import as_completed, default_client

        client = default_client()
    except (ImportError, ValueError):
        client = None
    if client is None:
        with _ChunkCounter({task.key for task in tasks}, report):
            results = dask.compute(*tasks, *extras)
        return list(results[:total]), list(results[total:])
    futures = client.compute([*tasks, *extras])
    for done, _ in enumerate(as_completed(futures[:total]), start=1):
        report(done)
    results = client.gather(futures)
    return results[:total], results[total:]


@contextlib.contextmanager
def scheduler(args: argparse.Namespace) -> Iterator[None]:
    """The dask scheduler of the run: ``--scheduler``, a local cluster of ``--workers``, or threads."""
    if args.scheduler is None and args.workers is None:
        yield
        return
    require("distributed", "--scheduler and --workers")
    from distributed import Client, LocalCluster

    if args.scheduler is not None:
        with Client(args.scheduler) as client:
            log.info(f"cluster {args.scheduler}: {len(client.scheduler_info()['workers'])} worker(s)")
            yield
        return
    if args.workers < 1:
        raise UsageError(f"--workers must be at least 1, not {args.workers}")
    with (
        LocalCluster(
            n_workers=args.workers,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address="127.0.0.1:0",
        ) as cluster,
        Client(cluster),
    ):
        log.info(f"local cluster of {args.workers} worker process(es)")
        yield


def denoise_chunked(args: argparse.Namespace, source: Path, target: Path) -> None:
    """Denoise one file or Zarr image lazily, block by block, into `target`."""
    if not (is_zarr(target) or target.name.lower().endswith(OUTPUT_SUFFIXES)):
        raise UsageError(f"output {target.name!r}: use a .zarr, .tif, .ome.tif or .npy name")
    if source.exists() and target.exists() and source.resolve() == target.resolve():
        raise UsageError("the output would overwrite the input; choose another output name")
    if target.exists() and not args.overwrite:
        raise FileExistsError(f"{target} exists; use --overwrite to replace it")
    if args.tune or args.quality:
        raise UsageError(
            "--tune and --quality work on images in memory, not block by block (Zarr, --chunks, --scheduler, --workers)"
        )
    image = open_lazy(source, axes=args.axes, series=args.series)
    lazy = image.data if isinstance(image.data, da.Array) else da.from_array(image.data)
    data = choose_chunks(lazy, image.axes, args.chunks)
    log.info(
        f"image: {describe_image(image)}, {data.npartitions} block(s) of up to {' x '.join(map(str, data.chunksize))}"
    )
    noise = noise_option(args)
    with stage(log, "choosing the noise model"):
        result, model = denoise(
            data,
            axes=image.axes,
            noise=noise,
            patch_radius=patch_radius_option(args.patch_radius),
            search_axes=args.search,
            iterations=args.iterations,
            pvalue=args.pvalue,
            renoise=args.renoise,
            threads=args.threads,
            refine=args.refine,
            channels=args.channels,
            return_noise=True,
        )
    for line in model.describe().splitlines():
        log.info(f"noise model: {line}")
    clipped: list[da.Array] = []
    if wants_cast(args.dtype, data.dtype, result.dtype):
        result, count = cast_to(result, data.dtype)
        clipped = [count]
    start = time.perf_counter()
    if is_zarr(target):
        write = prepare_ome_zarr(
            target,
            dataclasses.replace(image, data=result),
            overwrite=args.overwrite,
            compression=args.compression,
            pyramid=args.pyramid,
        )
        try:
            _, counts = compute_chunks(write.tasks, clipped)
            write.finish()
        except BaseException:
            write.abandon()
            raise
    else:
        blocks = result.to_delayed().ravel()
        pieces, counts = compute_chunks(blocks, clipped)
        array = np.empty(result.shape, result.dtype)
        edges = [np.cumsum((0, *c)) for c in result.chunks]
        for index, piece in zip(np.ndindex(*result.numblocks), pieces, strict=True):
            array[tuple(slice(e[i], e[i + 1]) for e, i in zip(edges, index, strict=True))] = piece
        write_image(
            target, dataclasses.replace(image, data=array), overwrite=args.overwrite, compression=args.compression
        )
    seconds = time.perf_counter() - start
    if counts:
        log.info(f"{int(counts[0])} sample(s) clipped to the range of {data.dtype}")
    log.info(
        f"done: {data.size / 1e6:.2f} Mvoxel in {seconds:.2f} s ({data.size / 1e6 / seconds:.2f} Mvoxel/s)"
        f", written to {target}"
    )
