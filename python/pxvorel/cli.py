"""The ``pxvorel`` command line: denoise, estimate and demo.

Progress goes to standard error (silenced by ``--quiet``), results to standard output.
Errors are one line on standard error with exit status 2 for bad input or arguments
and 1 for anything else.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import math
import sys
import time
import warnings
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import TextIO

import numpy as np

from pxvorel import __version__
from pxvorel._denoise import DenoiseJob
from pxvorel._noise import NOISE_MODES, NoiseModel, estimate_noise, estimate_sigma
from pxvorel._preflight import capped_threads, check_output, covering_iterations, describe_seconds, estimate_seconds
from pxvorel._progress import on_stream
from pxvorel._signals import Stopped, ending_the_process_on_signals, stop_on_signals
from pxvorel.io import ImageFile, read_image, write_image

OUTPUT_SUFFIXES = (".tif", ".tiff", ".npy")


class UsageError(ValueError):
    """Bad command-line arguments (exit status 2)."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


@dataclass
class Reporter:
    """Progress lines on standard error, each with the time it took."""

    quiet: bool = False
    stream: TextIO = field(default_factory=lambda: sys.stderr)

    def info(self, message: str) -> None:
        if not self.quiet:
            print(f"pxvorel: {message}", file=self.stream, flush=True)

    def warning(self, message: str) -> None:
        print(f"pxvorel: warning: {message}", file=self.stream, flush=True)

    @contextmanager
    def stage(self, doing: str) -> Iterator[None]:
        """Announce a stage, then report its duration."""
        self.info(f"{doing} ...")
        start = time.perf_counter()
        yield
        self.info(f"{doing}: done in {time.perf_counter() - start:.2f} s")

    @contextmanager
    def warnings_as_lines(self) -> Iterator[None]:
        """Show Python warnings as single 'pxvorel: warning:' lines."""
        with warnings.catch_warnings():
            warnings.simplefilter("always")
            warnings.showwarning = lambda message, *_args, **_kw: self.warning(str(message))
            yield


def _describe_image(image: ImageFile) -> str:
    shape = " x ".join(f"{n}{a}" for a, n in zip(image.axes, image.data.shape, strict=True))
    text = f"{shape} {image.data.dtype}, axes {image.axes}"
    sizes = [f"{a} {image.spacing[a]:g} {'s' if a == 'T' else image.unit or ''}".rstrip()
             for a in "XYZT" if a in image.spacing]
    return text + (f", pixel size {', '.join(sizes)}" if sizes else "")


def _patch_radius(text: str | None) -> int | dict[str, int] | None:
    """'3' or 'X=3,Y=3,T=1'."""
    if text is None:
        return None
    try:
        if "=" not in text:
            return int(text)
        radius = {}
        for item in text.split(","):
            axis, _, value = item.partition("=")
            radius[axis.strip().upper()] = int(value)
        return radius
    except ValueError:
        raise UsageError(f"--patch-radius {text!r}: give a number or per-axis values like X=3,Y=3,T=1") from None


def _noise(args: argparse.Namespace) -> str | float | NoiseModel:
    known_gain = args.gain is not None or args.offset is not None
    if args.sigma is not None and known_gain:
        raise UsageError("give either --sigma or --gain/--offset, not both")
    if args.noise is not None and (args.sigma is not None or known_gain):
        raise UsageError("--noise estimates the noise; it cannot be combined with --sigma, --gain or --offset")
    if args.sigma is not None:
        return args.sigma
    if known_gain:
        if args.gain is None or args.offset is None:
            raise UsageError("--gain and --offset go together (one value each, or one per channel)")
        return NoiseModel(tuple(args.gain), tuple(args.offset))
    return args.noise or "auto"


@dataclass(frozen=True)
class DenoiseOutcome:
    """What a denoising run reports back (used by the demo)."""

    model: NoiseModel
    seconds: float
    """Time for estimating the noise model and denoising (without reading and writing)."""
    voxels: int


def denoise_file(args: argparse.Namespace, reporter: Reporter) -> DenoiseOutcome:
    """``pxvorel denoise``: read, choose the noise model, denoise, write."""
    source, target = Path(args.input), Path(args.output)
    noise = _noise(args)
    patch_radius = _patch_radius(args.patch_radius)
    check_output(target)
    if not target.name.lower().endswith(OUTPUT_SUFFIXES):
        raise UsageError(f"output {target.name!r}: use a .tif, .ome.tif or .npy file name")
    if source.exists() and target.exists() and source.samefile(target):
        raise UsageError("the output would overwrite the input; choose another output name")
    if target.exists() and not args.overwrite:
        raise FileExistsError(f"{target} exists; use --overwrite to replace it")
    threads, note = capped_threads(args.threads)
    if note:
        reporter.warning(note)
    with reporter.stage(f"reading {source}"):
        image = read_image(source, axes=args.axes)
    reporter.info(f"image: {_describe_image(image)}")
    job = DenoiseJob.prepare(image.data, axes=image.axes, patch_radius=patch_radius, search_axes=args.search,
                             iterations=args.iterations, pvalue=args.pvalue, renoise=args.renoise,
                             threads=threads)
    useful = covering_iterations(job.plan, job.settings)
    if job.settings.iterations > useful:
        reporter.warning(f"--iterations {job.settings.iterations}: after {useful} the search already spans the "
                         f"whole image; running {useful}")
        job = dataclasses.replace(job, settings=dataclasses.replace(job.settings, iterations=useful))
    start = time.perf_counter()
    label = f"{noise:g}" if isinstance(noise, float) else ("given" if isinstance(noise, NoiseModel) else noise)
    with reporter.stage(f"choosing the noise model ({label})"), ending_the_process_on_signals():
        model = job.choose_noise(noise)
    for line in model.describe().splitlines():
        reporter.info(f"noise model: {line}")
    if not reporter.quiet and job.engine.size >= 4 * 64 * 64 * 5:
        reporter.info(f"estimated denoising time: about {describe_seconds(estimate_seconds(job, model))}")
    with reporter.stage(f"denoising ({job.settings.describe(job.plan)})"):
        with on_stream(reporter.stream, "denoising", quiet=reporter.quiet) as progress:
            result = job.run(model, progress)
    seconds = time.perf_counter() - start
    if getattr(args, "dtype", "float32") == "input" and image.data.dtype.kind in "iub":
        from pxvorel._batch import cast_to

        result, clipped = cast_to(result, image.data.dtype)
        reporter.info(f"{int(clipped)} sample(s) clipped to the range of {image.data.dtype}")
    with reporter.stage(f"writing {target}"):
        write_image(target, ImageFile(result, image.axes, image.spacing, image.unit), overwrite=args.overwrite)
    voxels = int(result.size)
    reporter.info(f"done: {voxels / 1e6:.2f} Mvoxel in {seconds:.2f} s ({voxels / 1e6 / seconds:.2f} Mvoxel/s)")
    return DenoiseOutcome(model, seconds, voxels)


def denoise_command(args: argparse.Namespace, reporter: Reporter) -> int:
    """``pxvorel denoise`` on one or many files, in memory or chunked (see :mod:`pxvorel._batch`)."""
    from pxvorel._batch import run_batch

    return run_batch(args, reporter, denoise_file)


def _json_number(value: float) -> float | None:
    return value if math.isfinite(value) else None


def estimate_file(args: argparse.Namespace, reporter: Reporter) -> None:
    """``pxvorel estimate``: print the noise model and the Gaussian sigma of a file."""
    with reporter.stage(f"reading {args.input}"):
        image = read_image(args.input, axes=args.axes)
    reporter.info(f"image: {_describe_image(image)}")
    with reporter.stage("estimating the noise"):
        model = estimate_noise(image.data, axes=image.axes)
        sigma = estimate_sigma(image.data, axes=image.axes)
    if args.json:
        print(json.dumps({**model.to_dict(), "sigma": _json_number(sigma)}))
        return
    for c, (g, o) in enumerate(zip(model.gain, model.offset, strict=True)):
        print(f"channel {c}: gain {g:.6g}, offset {o:.6g}")
    print(f"sigma (Gaussian, all channels): {sigma:.6g}")


def demo_command(args: argparse.Namespace, reporter: Reporter) -> None:
    """``pxvorel demo``: synthetic time series, denoised through ``denoise_file``, with a report."""
    try:
        import matplotlib  # noqa: F401
        import skimage  # noqa: F401
    except ImportError as error:
        raise RuntimeError(f"the demo needs matplotlib and scikit-image ({error}); "
                           "install them with: pip install 'pxvorel[demo]'") from None
    from pxvorel.demo import print_report, run_demo

    report = run_demo(Path(args.out), reporter, frames=args.frames, size=args.size, threads=args.threads)
    print_report(report, as_json=args.json)


def _add_common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress lines on standard error")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="pxvorel", description="Denoise fluorescence microscopy images (1-D to 5-D).")
    parser.add_argument("--version", action="version", version=f"pxvorel {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="{denoise,estimate,demo}")

    den = commands.add_parser("denoise", help="denoise image files",
                              description="Denoise INPUT (TIFF, OME-TIFF, ImageJ hyperstack, .npy, Zarr or OME-Zarr; "
                                          "several files, or folders of them) into OUTPUT. Zarr data, --chunks, "
                                          "--scheduler and --workers denoise block by block with dask, reading the "
                                          "input lazily; the result equals the in-memory one.")
    den.add_argument("input", metavar="INPUT", nargs="+")
    den.add_argument("-o", "--output", required=True, metavar="OUTPUT",
                     help="output file: .tif (ImageJ hyperstack when possible), .ome.tif, .npy or .ome.zarr; "
                          "for several inputs or a folder, an output folder (each result named after its input)")
    den.add_argument("--axes", help="axes of the data, e.g. TYX or TZCYX (default: from the file's metadata)")
    den.add_argument("--noise", choices=NOISE_MODES, help="estimate the noise model (default: auto)")
    den.add_argument("--sigma", type=float, help="known Gaussian noise standard deviation")
    den.add_argument("--gain", type=float, nargs="+", metavar="G", help="known gain, one value or one per channel")
    den.add_argument("--offset", type=float, nargs="+", metavar="O", help="known offset, one value or one per channel")
    den.add_argument("--patch-radius", metavar="R", help="patch radius: a number for X, Y and Z, or e.g. X=3,Y=3,T=1")
    den.add_argument("--search", metavar="AXES", help="axes the search extends along, e.g. XYZT (X and Y always)")
    den.add_argument("--iterations", type=int, default=4, metavar="N", help="number of iterations (default 4)")
    den.add_argument("--pvalue", type=float, default=0.01, metavar="P", help="patch test level (default 0.01)")
    den.add_argument("--renoise", type=float, default=0.0, metavar="F", help="mix back noisy input (default 0)")
    den.add_argument("--threads", type=int, metavar="N",
                     help="threads (default: the OpenMP count in force, all cores unless OMP_NUM_THREADS says "
                          "otherwise; chunked: per block, default 1)")
    den.add_argument("--overwrite", action="store_true", help="replace OUTPUT if it exists")
    den.add_argument("--dtype", choices=("float32", "input"), default="float32",
                     help="output type: float32 (default) or the input's integer type (rounded and clipped)")
    den.add_argument("--chunks", metavar="SIZES",
                     help="denoise in blocks of these lengths, e.g. Z=16,Y=512,X=512 (unnamed axes whole)")
    den.add_argument("--scheduler", metavar="ADDRESS", help="run on this dask.distributed scheduler")
    den.add_argument("--workers", type=int, metavar="N", help="run on a local cluster of N worker processes")
    _add_common(den)
    den.set_defaults(run=denoise_command)

    est = commands.add_parser("estimate", help="estimate the noise of an image file")
    est.add_argument("input", metavar="INPUT")
    est.add_argument("--axes", help="axes of the data (default: from the file's metadata)")
    est.add_argument("--json", action="store_true", help='print {"gain": [...], "offset": [...], "sigma": ...}')
    _add_common(est)
    est.set_defaults(run=estimate_file)

    demo = commands.add_parser("demo", help="denoise a synthetic time series and report the quality")
    demo.add_argument("--out", default="demo-output", metavar="DIR", help="output folder (default demo-output)")
    demo.add_argument("--json", action="store_true", help="also print the report as JSON on the last line")
    demo.add_argument("--threads", type=int, metavar="N", help="threads (default: the OpenMP count in force, all cores unless OMP_NUM_THREADS says otherwise)")
    demo.add_argument("--frames", type=int, default=24, help=argparse.SUPPRESS)
    demo.add_argument("--size", type=int, default=256, help=argparse.SUPPRESS)
    _add_common(demo)
    demo.set_defaults(run=demo_command)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status."""
    args = build_parser().parse_args(argv)
    reporter = Reporter(quiet=args.quiet)
    try:
        with stop_on_signals(), reporter.warnings_as_lines(), np.errstate(all="ignore"):
            status = args.run(args, reporter)
    except Stopped as stop:
        print(f"pxvorel: {stop}; no partial output left", file=sys.stderr)
        return stop.status
    except (ValueError, OSError) as error:  # bad input, or a file that cannot be read or written
        print(f"pxvorel: error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("pxvorel: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # one line, never a traceback
        prefix = "" if isinstance(error, RuntimeError) else f"{type(error).__name__}: "
        print(f"pxvorel: error: {prefix}{error}", file=sys.stderr)
        return 1
    return status if isinstance(status, int) else 0
