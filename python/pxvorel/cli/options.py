"""Command-line values that argparse cannot check alone: per-axis values such as
``X=3,Y=3,T=1``, and the noise options taken together."""

from __future__ import annotations

import argparse
from pathlib import Path

from pxvorel.noise.model import NoiseModel, NoiseSpec

#: File name endings the in-memory path writes.
OUTPUT_SUFFIXES = (".tif", ".tiff", ".npy")


class UsageError(ValueError):
    """Bad command-line arguments (exit status 2)."""


def axis_values(text: str) -> dict[str, int]:
    """``'X=3,Y=3,T=1'`` as {axis letter: integer}; ValueError when an item is not AXIS=INTEGER."""
    values: dict[str, int] = {}
    for item in text.split(","):
        axis, equals, value = item.partition("=")
        axis = axis.strip().upper()
        if not equals or len(axis) != 1 or axis in values:
            raise ValueError(f"{item!r} is not AXIS=INTEGER (or names an axis twice)")
        values[axis] = int(value)
    return values


def patch_radius_option(text: str | None) -> int | dict[str, int] | None:
    """'3' or 'X=3,Y=3,T=1'."""
    if text is None:
        return None
    try:
        return int(text) if "=" not in text else axis_values(text)
    except ValueError:
        raise UsageError(f"--patch-radius {text!r}: give a number or per-axis values like X=3,Y=3,T=1") from None


def chunks_option(text: str, axes: str) -> dict[int, int]:
    """``'Z=16,Y=512,X=512'`` as {dimension: chunk length} for an image with `axes`."""
    try:
        named = axis_values(text)
    except ValueError:
        named = {}
    if not named or any(axis not in axes or length < 1 for axis, length in named.items()):
        raise UsageError(
            f"--chunks {text!r}: give positive lengths for axes of the image ({axes}), e.g. "
            f"{','.join(f'{a}=64' for a in axes if a != 'C')}"
        )
    return {axes.index(axis): length for axis, length in named.items()}


def check_file_options(args: argparse.Namespace, target: Path, *, zarr: bool) -> None:
    """--series, --compression and --pyramid against the output `target` (OME-Zarr when `zarr`)."""
    if args.series is not None and args.series < 0:
        raise UsageError(f"--series {args.series}: series are counted from 0")
    if args.pyramid < 0:
        raise UsageError(f"--pyramid {args.pyramid}: give a number of levels, 0 or more")
    if args.pyramid and not zarr:
        raise UsageError(f"--pyramid: only OME-Zarr output has resolution levels, not {target.name!r}")
    if args.compression not in (None, "none") and target.name.lower().endswith(".npy"):
        raise UsageError(
            f"--compression: .npy files are written uncompressed; use a .tif or .zarr name for {target.name!r}"
        )


def noise_option(args: argparse.Namespace) -> NoiseSpec:
    known_gain = args.gain is not None or args.offset is not None
    if args.sigma is not None and known_gain:
        raise UsageError("give either --sigma or --gain/--offset, not both")
    if args.noise is not None and (args.sigma is not None or known_gain):
        raise UsageError("--noise estimates the noise; it cannot be combined with --sigma, --gain or --offset")
    if args.sigma is not None:
        sigma: float = args.sigma
        return sigma
    if known_gain:
        if args.gain is None or args.offset is None:
            raise UsageError("--gain and --offset go together (one value each, or one per channel)")
        return NoiseModel(tuple(args.gain), tuple(args.offset))
    mode: NoiseSpec = args.noise or "auto"  # one of NOISE_MODES (the parser's choices)
    return mode
