"""``pxvorel denoise`` on many files and on data larger than memory.

Inputs are files and folders (a folder stands for the images in it); each result is
named after its input. Zarr input or output, ``--chunks``, ``--scheduler`` and
``--workers`` select the chunked path: the input is opened lazily, denoised block by
block on dask (a local thread pool, a local cluster of worker processes, or an
existing ``distributed`` cluster) and written chunk by chunk, with progress over
chunks on standard error.
"""

from __future__ import annotations

import argparse
import logging
import contextlib
import math
import os
import time
from collections.abc import Callable, Hashable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any, overload

import dask
import dask.array as da
import numpy as np
from dask.callbacks import Callback
from dask.delayed import Delayed

from pxvorel.api import denoise
from pxvorel.cli.options import OUTPUT_SUFFIXES, UsageError, chunks_option, noise_option, patch_radius_option
from pxvorel.cli.report import Console, describe_image, stage
from pxvorel.cli.signals import Stopped
from pxvorel.io import ImageFile, write_image
from pxvorel.io.zarr import LazyImage, is_zarr, open_lazy, prepare_ome_zarr

log = logging.getLogger(__name__)

#: File names a folder given as input is searched for.
IMAGE_SUFFIXES = (".tif", ".tiff", ".npy")

#: Samples per block when the command line chooses the chunks (about 64 MB as float32;
#: a block's task holds about eight times its size while the engine runs).
DEFAULT_BLOCK_SAMPLES = 1 << 24


def choose_chunks(data: da.Array, axes: str, given: str | None) -> da.Array:
    """The blocks to denoise: `given` per axis (other axes whole), or about DEFAULT_BLOCK_SAMPLES each."""
    if given is not None:
        named = chunks_option(given, axes)
        given_chunks: da.Array = data.rechunk(tuple(named.get(i, -1) for i in range(data.ndim)))
        return given_chunks
    fixed = {i: -1 for i, a in enumerate(axes) if a == "C"}
    chunks = da.core.normalize_chunks(tuple(fixed.get(i, "auto") for i in range(data.ndim)), data.shape,
                                      limit=DEFAULT_BLOCK_SAMPLES * 4, dtype=np.float32,
                                      previous_chunks=data.chunksize)
    chosen: da.Array = data.rechunk(chunks)
    return chosen


@overload
def cast_to(result: np.ndarray, dtype: np.dtype) -> tuple[np.ndarray, np.integer]: ...
@overload
def cast_to(result: da.Array, dtype: np.dtype) -> tuple[da.Array, da.Array]: ...
def cast_to(result: np.ndarray | da.Array, dtype: np.dtype) -> tuple[np.ndarray | da.Array, np.integer | da.Array]:
    """`result` rounded and clipped to an integer `dtype`, and the count of clipped samples."""
    info = np.iinfo(dtype)
    rounded = np.rint(result)
    clipped = ((rounded < info.min) | (rounded > info.max)).sum()
    return np.clip(rounded, info.min, info.max).astype(dtype), clipped


class _ChunkCounter(Callback):
    """Counts finished tasks among `keys` for the local schedulers."""

    def __init__(self, keys: set[Hashable], report: Callable[[int], None]) -> None:
        super().__init__()  # type: ignore[no-untyped-call]  # dask's Callback.__init__ is unannotated
        self.keys, self.report, self.done = keys, report, 0

    def _posttask(self, key: Hashable, result: object, dsk: Mapping[Hashable, object], state: object,
                  worker_id: object) -> None:
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
    from distributed import Client, LocalCluster

    if args.scheduler is not None:
        with Client(args.scheduler) as client:
            log.info(f"cluster {args.scheduler}: {len(client.scheduler_info()['workers'])} worker(s)")
            yield
        return
    if args.workers < 1:
        raise UsageError(f"--workers must be at least 1, not {args.workers}")
    with (LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                       dashboard_address="127.0.0.1:0") as cluster, Client(cluster)):
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
        raise UsageError("--tune and --quality work on images in memory, not block by block (Zarr, --chunks, "
                         "--scheduler, --workers)")
    image = open_lazy(source, axes=args.axes)
    lazy = image.data if isinstance(image.data, da.Array) else da.from_array(image.data)
    data = choose_chunks(lazy, image.axes, args.chunks)
    log.info(f"image: {describe_image(image)}, {data.npartitions} block(s) of up to "
             f"{' x '.join(map(str, data.chunksize))}")
    noise = noise_option(args)
    with stage(log, "choosing the noise model"):
        result, model = denoise(data, axes=image.axes, noise=noise, patch_radius=patch_radius_option(args.patch_radius),
                                        search_axes=args.search, iterations=args.iterations, pvalue=args.pvalue,
                                        renoise=args.renoise, threads=args.threads, refine=args.refine,
                                        channels=args.channels, return_noise=True)
    for line in model.describe().splitlines():
        log.info(f"noise model: {line}")
    clipped: list[da.Array] = []
    if args.dtype == "input" and data.dtype.kind in "iub":
        result, count = cast_to(result, data.dtype)
        clipped = [count]
    start = time.perf_counter()
    if is_zarr(target):
        write = prepare_ome_zarr(target, LazyImage(result, image.axes, image.spacing, image.unit),
                                 overwrite=args.overwrite)
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
        write_image(target, ImageFile(array, image.axes, image.spacing, image.unit), overwrite=args.overwrite)
    seconds = time.perf_counter() - start
    if counts:
        log.info(f"{int(counts[0])} sample(s) clipped to the range of {data.dtype}")
    log.info(f"done: {data.size / 1e6:.2f} Mvoxel in {seconds:.2f} s ({data.size / 1e6 / seconds:.2f} Mvoxel/s)"
             f", written to {target}")


def expand_inputs(names: Sequence[str]) -> tuple[list[Path], bool]:
    """The images named (folders replaced by the images in them) and whether a folder was given."""
    sources: list[Path] = []
    folder = False
    for name in names:
        path = Path(name)
        if path.is_dir() and not is_zarr(path):
            folder = True
            found = sorted(p for p in path.iterdir()
                           if not p.name.startswith(".") and (p.suffix.lower() in IMAGE_SUFFIXES or is_zarr(p)))
            if not found:
                raise FileNotFoundError(f"folder {path} holds no .tif, .tiff, .npy or .zarr image")
            sources.extend(found)
        else:
            sources.append(path)
    return sources, folder


def run_batch(args: argparse.Namespace, console: Console,
              in_memory: Callable[[argparse.Namespace, Console], object]) -> int:
    """``pxvorel denoise`` for all inputs; return the exit status (1 when a file failed)."""
    sources, folder = expand_inputs(args.input)
    output = Path(args.output)
    many = folder or len(sources) > 1 or args.output.endswith(("/", os.sep)) or (output.is_dir() and
                                                                                    not is_zarr(output))
    if many:
        output.mkdir(parents=True, exist_ok=True)
        pairs = [(source, output / source.name) for source in sources]
    else:
        pairs = [(sources[0], output)]
    chunked = args.chunks is not None or args.scheduler is not None or args.workers is not None
    failed = 0
    with scheduler(args):
        for number, (source, target) in enumerate(pairs, start=1):
            if many:
                log.info(f"file {number}/{len(pairs)}: {source} -> {target}")
            try:
                if chunked or is_zarr(source) or is_zarr(target):
                    denoise_chunked(args, source, target)
                else:
                    in_memory(argparse.Namespace(**{**vars(args), "input": str(source), "output": str(target)}),
                              console)
            except Stopped:
                if many and number > 1:
                    log.warning(f"stopped in file {number}/{len(pairs)}; the {number - 1} finished before it "
                                "are kept")
                raise
            except Exception as failure:
                if not many:
                    raise
                failed += 1
                log.warning(f"{source} failed: {failure}")
    if failed:
        log.warning(f"{failed} of {len(pairs)} file(s) failed")
        return 1
    return 0
