"""``pxvorel denoise`` on many files: inputs are files and folders (a folder stands for the
images in it), each result named after its input.

A TIFF file with several series stands for each of them (one result per series, named
with ``_s0``, ``_s1``, ... before the suffix) unless ``--series`` picks one. Files go
through the in-memory path; Zarr input or output, ``--chunks``, ``--scheduler`` and
``--workers`` go block by block on dask (:mod:`pxvorel.cli.chunked`, which needs the ``dask``
extra and is imported only then, so that a plain install runs everything else).
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import os
from collections.abc import Callable, Sequence
from pathlib import Path

from pxvorel.cli.options import UsageError, check_file_options
from pxvorel.cli.report import Console
from pxvorel.cli.signals import Stopped
from pxvorel.core.extras import require
from pxvorel.io.paths import is_zarr
from pxvorel.io.tiff import series_count

log = logging.getLogger(__name__)

#: File names a folder given as input is searched for.
IMAGE_SUFFIXES = (".tif", ".tiff", ".npy")


def expand_inputs(names: Sequence[str]) -> tuple[list[Path], bool]:
    """The images named (folders replaced by the images in them) and whether a folder was given."""
    sources: list[Path] = []
    folder = False
    for name in names:
        path = Path(name)
        if path.is_dir() and not is_zarr(path):
            folder = True
            found = sorted(
                p
                for p in path.iterdir()
                if not p.name.startswith(".") and (p.suffix.lower() in IMAGE_SUFFIXES or is_zarr(p))
            )
            if not found:
                raise FileNotFoundError(f"folder {path} holds no .tif, .tiff, .npy or .zarr image")
            sources.extend(found)
        else:
            sources.append(path)
    return sources, folder


def series_target(target: Path, series: int) -> Path:
    """`target` with ``_s<series>`` before its suffix (``cells.ome.tif`` -> ``cells_s1.ome.tif``)."""
    name = target.name
    lower = name.lower()
    for suffix in (".ome.tiff", ".ome.tif", ".ome.zarr", *(s for s in (target.suffix,) if s)):
        if lower.endswith(suffix.lower()):
            return target.with_name(f"{name[: len(name) - len(suffix)]}_s{series}{name[len(name) - len(suffix) :]}")
    return target.with_name(f"{name}_s{series}")


def _with_series(pairs: list[tuple[Path, Path]], chosen: int | None) -> list[tuple[Path, Path, int | None]]:
    """Each (input, output) pair, a multi-series TIFF input (without `chosen`) once per series."""
    jobs: list[tuple[Path, Path, int | None]] = []
    for source, target in pairs:
        count = 1 if chosen is not None or is_zarr(source) else series_count(source)
        if count > 1:
            log.info(f"{source.name} holds {count} series: each is denoised into its own file (--series N takes one)")
            jobs.extend((source, series_target(target, number), number) for number in range(count))
        else:
            jobs.append((source, target, chosen))
    return jobs


def run_batch(
    args: argparse.Namespace, console: Console, in_memory: Callable[[argparse.Namespace, Console], object]
) -> int:
    """``pxvorel denoise`` for all inputs; return the exit status (1 when a file failed)."""
    sources, folder = expand_inputs(args.input)
    output = Path(args.output)
    many = (
        folder or len(sources) > 1 or args.output.endswith(("/", os.sep)) or (output.is_dir() and not is_zarr(output))
    )
    if many:
        named_like_an_image = output.name.lower().endswith((*IMAGE_SUFFIXES, ".zarr"))
        if named_like_an_image and not output.is_dir():
            raise UsageError(
                f"the results of several inputs go to an output folder, but {output.name!r} names a "
                "file; give a folder, e.g. -o denoised/"
            )
        output.mkdir(parents=True, exist_ok=True)
        pairs = [(source, output / source.name) for source in sources]
    else:
        pairs = [(sources[0], output)]
    for _, target in pairs:  # before any file is read: misuse stops the run, not one file of it
        check_file_options(args, target, zarr=is_zarr(target))
    jobs = _with_series(pairs, args.series)
    several = many or len(jobs) > 1
    chunked = args.chunks is not None or args.scheduler is not None or args.workers is not None
    blockwise = [chunked or is_zarr(source) or is_zarr(target) for source, target, _ in jobs]
    by_blocks: Callable[[argparse.Namespace, Path, Path], None] | None = None
    schedule: contextlib.AbstractContextManager[None] = contextlib.nullcontext()
    if any(blockwise):
        require("pxvorel.cli.chunked", "--chunks, --scheduler and --workers" if chunked else "Zarr data")
        from pxvorel.cli.chunked import denoise_chunked, scheduler

        by_blocks, schedule = denoise_chunked, scheduler(args)
    failed = 0
    with schedule:
        for number, ((source, target, series), blocks) in enumerate(zip(jobs, blockwise, strict=True), start=1):
            if several:
                log.info(f"file {number}/{len(jobs)}: {source} -> {target}")
            one = argparse.Namespace(**{**vars(args), "input": str(source), "output": str(target), "series": series})
            try:
                if blocks and by_blocks is not None:
                    by_blocks(one, source, target)
                else:
                    in_memory(one, console)
            except Stopped:
                if several and number > 1:
                    log.warning(f"stopped in file {number}/{len(jobs)}; the {number - 1} finished before it are kept")
                raise
            except Exception as failure:
                if not several:
                    raise
                failed += 1
                log.warning(f"{source} failed: {failure}")
    if failed:
        log.warning(f"{failed} of {len(jobs)} file(s) failed")
        return 1
    return 0
