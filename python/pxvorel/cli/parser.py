"""The command line's arguments."""

from __future__ import annotations

import argparse
from typing import NoReturn

from pxvorel.core.version import __version__
from pxvorel.noise.model import NOISE_MODES
from pxvorel.run.settings import CHANNEL_MODES, DEFAULT_CHANNELS


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def _add_common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress lines on standard error")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="pxvorel", description="Denoise fluorescence microscopy images (1-D to 5-D).")
    parser.add_argument("--version", action="version", version=f"pxvorel {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="{denoise,estimate,demo}")

    den = commands.add_parser(
        "denoise",
        help="denoise image files",
        description="Denoise INPUT (TIFF, OME-TIFF, ImageJ hyperstack, .npy, Zarr or OME-Zarr; "
        "several files, or folders of them) into OUTPUT. Zarr data, --chunks, "
        "--scheduler and --workers denoise block by block with dask, reading the "
        "input lazily; the result equals the in-memory one.",
    )
    den.add_argument("input", metavar="INPUT", nargs="+")
    den.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="OUTPUT",
        help="output file: .tif (ImageJ hyperstack when possible), .ome.tif, .npy or .ome.zarr; "
        "for several inputs or a folder, an output folder (each result named after its input)",
    )
    den.add_argument("--axes", help="axes of the data, e.g. TYX or TZCYX (default: from the file's metadata)")
    den.add_argument("--noise", choices=NOISE_MODES, help="estimate the noise model (default: auto)")
    den.add_argument("--sigma", type=float, help="known Gaussian noise standard deviation")
    den.add_argument("--gain", type=float, nargs="+", metavar="G", help="known gain, one value or one per channel")
    den.add_argument("--offset", type=float, nargs="+", metavar="O", help="known offset, one value or one per channel")
    den.add_argument("--patch-radius", metavar="R", help="patch radius: a number for X, Y and Z, or e.g. X=3,Y=3,T=1")
    den.add_argument("--search", metavar="AXES", help="axes the search extends along, e.g. XYZT (X and Y always)")
    den.add_argument("--iterations", type=int, default=4, metavar="N", help="number of iterations (default 4)")
    den.add_argument("--pvalue", type=float, default=1e-5, metavar="P", help="patch test level (default 1e-5)")
    den.add_argument("--renoise", type=float, default=0.0, metavar="F", help="mix back noisy input (default 0)")
    den.add_argument(
        "--no-refine",
        dest="refine",
        action="store_false",
        help="skip the second stage (DCT-domain Wiener filter guided by the first result): the patch averaging alone",
    )
    den.add_argument(
        "--threads",
        type=int,
        metavar="N",
        help="threads (default: the OpenMP count in force, all cores unless OMP_NUM_THREADS says "
        "otherwise; chunked: per block, default 1)",
    )
    den.add_argument(
        "--channels",
        choices=CHANNEL_MODES,
        default=DEFAULT_CHANNELS,
        help=f"denoise every channel on its own (separate) or let a patch span all channels (joint) "
        f"(default {DEFAULT_CHANNELS})",
    )
    den.add_argument(
        "--tune",
        action="store_true",
        help="choose patch radius, iterations and p-value for this image by the estimated error on a "
        "central crop (up to 8 candidates; in memory only)",
    )
    den.add_argument(
        "--quality",
        action="store_true",
        help="print the estimated PSNR gain over the input with its spread (one more run; in memory only)",
    )
    den.add_argument("--overwrite", action="store_true", help="replace OUTPUT if it exists")
    den.add_argument(
        "--dtype",
        choices=("float32", "input"),
        default="float32",
        help="output type: float32 (default) or the input's type (integers rounded and clipped)",
    )
    den.add_argument(
        "--series",
        type=int,
        metavar="N",
        help="denoise series N (from 0) of a multi-series TIFF (default: every series, each into "
        "its own file named with _sN before the suffix)",
    )
    den.add_argument(
        "--compression",
        choices=("none", "zlib", "zstd"),
        help="compress the output: TIFF default none (ImageJ's own opener reads zlib, not zstd); "
        "OME-Zarr default zstd (zlib is written with Zarr's gzip codec)",
    )
    den.add_argument(
        "--pyramid",
        type=int,
        default=0,
        metavar="LEVELS",
        help="OME-Zarr output: add LEVELS lower-resolution levels, each halving Y and X (default 0)",
    )
    den.add_argument(
        "--chunks",
        metavar="SIZES",
        help="denoise in blocks of these lengths, e.g. Z=16,Y=512,X=512 (unnamed axes whole)",
    )
    den.add_argument("--scheduler", metavar="ADDRESS", help="run on this dask.distributed scheduler")
    den.add_argument("--workers", type=int, metavar="N", help="run on a local cluster of N worker processes")
    _add_common(den)

    est = commands.add_parser("estimate", help="estimate the noise of an image file")
    est.add_argument("input", metavar="INPUT")
    est.add_argument("--axes", help="axes of the data (default: from the file's metadata)")
    est.add_argument(
        "--series", type=int, metavar="N", help="series N (from 0) of a multi-series TIFF (default the first)"
    )
    est.add_argument(
        "--json",
        action="store_true",
        help='print {"gain": [...], "offset": [...], ..., "reasons": [...], "sigma": ...}',
    )
    est.add_argument("--plot", metavar="PNG", help="draw the measured noise and the model per channel to this file")
    est.add_argument(
        "--strict",
        action="store_true",
        help="exit with status 1 when a channel's noise model does not fit the noise measured in it",
    )
    _add_common(est)

    demo = commands.add_parser("demo", help="denoise a synthetic time series and report the quality")
    demo.add_argument("--out", default="demo-output", metavar="DIR", help="output folder (default demo-output)")
    demo.add_argument("--json", action="store_true", help="also print the report as JSON on the last line")
    demo.add_argument(
        "--threads",
        type=int,
        metavar="N",
        help="threads (default: the OpenMP count in force, all cores unless OMP_NUM_THREADS says otherwise)",
    )
    demo.add_argument("--frames", type=int, default=24, help=argparse.SUPPRESS)
    demo.add_argument("--size", type=int, default=256, help=argparse.SUPPRESS)
    _add_common(demo)
    return parser
