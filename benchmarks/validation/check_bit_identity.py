"""Checks that the engine of this checkout gives, with one thread, the same bits as a saved build.

Runs the same ``_px`` calls through both modules: every public reference case (its own
parameters), and every real image as float32 with its estimated Gaussian sigma, once with the
engine's default patch radius (x 3, y 3) and once with the package's default radii (x 2, y 2,
z 1, t 1, each at most (size - 1) // 2). Prints one line per call and exits with status 1 when
any output differs:

    tools/build_baseline.sh main          # saves main's module in build/baseline/
    tools/py314 python3 benchmarks/check_bit_identity.py [--baseline build/baseline/_px....so] [--only TEXT]
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable
from pathlib import Path
from types import ModuleType

import numpy as np
import tifffile

import pxvorel._px as current
from benchmarks import saved_build
from benchmarks.data import VECTORS, axes_of, image_files

ENGINE = "TCZYX"
Call = Callable[[ModuleType], np.ndarray]


def engine_order(data: np.ndarray, axes: str) -> np.ndarray:
    """The array as a 5-D (T, C, Z, Y, X) float32 array."""
    for letter in ENGINE:
        if letter not in axes:
            data, axes = data[np.newaxis], letter + axes
    return np.ascontiguousarray(np.transpose(data, [axes.index(a) for a in ENGINE]), dtype=np.float32)


def package_radii(shape: tuple[int, ...]) -> list[int]:
    """The package's default radii in x, y, z, c, t order, clipped to the axis sizes."""
    t, _, z, y, x = shape
    return [min(2, (x - 1) // 2), min(2, (y - 1) // 2), min(1, (z - 1) // 2), 0, min(1, (t - 1) // 2)]


def compare(name: str, call: Call, baseline: ModuleType) -> bool:
    """Runs call with both modules; prints whether the outputs are bit-identical."""
    # Process CPU time: one thread, so other load on the machine hardly shows.
    start = time.process_time()
    old = call(baseline)
    middle = time.process_time()
    new = call(current)
    end = time.process_time()
    same = old.shape == new.shape and np.array_equal(old.view(np.uint32), new.view(np.uint32))
    scale = float(np.max(np.abs(old))) or 1.0
    verdict = "identical" if same else f"DIFFERENT (largest difference {np.max(np.abs(old - new)) / scale:.3g} of max)"
    print(
        f"{name:<66} {verdict:<12} {middle - start:8.2f} s -> {end - middle:7.2f} s "
        f"({(middle - start) / (end - middle):4.1f}x)",
        flush=True,
    )
    return same


def vector_calls() -> list[tuple[str, Call]]:
    calls: list[tuple[str, Call]] = []
    for path in sorted(VECTORS.glob("*.npz")):
        with np.load(path) as npz:
            case = {key: npz[key] for key in npz.files}
        kind = str(case["kind"])
        if not kind.startswith("denoise"):
            continue
        common = (
            [int(v) for v in case["patch_radius"]],
            [int(v) for v in case["neighborhood_axes"]],
            int(case["max_iter"]),
            float(case["pvalue"]),
            1,
            float(case["renoise"]),
        )
        image, sigma = case["input"].astype(np.float32), float(case["sigma"])
        call: Call
        if kind == "denoise_poisson_gaussian":
            gain, offset = [float(v) for v in case["gain"]], [float(v) for v in case["offset"]]
            call = lambda m, image=image, sigma=sigma, gain=gain, offset=offset, common=common: (
                m._denoise_poisson_gaussian(image.copy(), sigma, gain, offset, *common)
            )
        else:
            call = lambda m, image=image, sigma=sigma, common=common: m._denoise_gaussian(image.copy(), sigma, *common)
        calls.append((f"vector {path.stem}", call))
    return calls


def image_calls() -> list[tuple[str, Call]]:
    calls: list[tuple[str, Call]] = []
    for path in image_files():
        with tifffile.TiffFile(path) as tif:
            image = engine_order(tif.series[0].asarray(), axes_of(path))
        sigma = float(current._calibrate_gaussian(image.copy()))
        if not sigma > 0:  # mostly empty images: the spread of neighbour differences
            sigma = float(np.std(np.diff(image, axis=-1)) / np.sqrt(2.0))
        for label, radii in (("x3 y3", [3, 3, 0, 0, 0]), ("x2 y2 z1 t1", package_radii(image.shape))):
            call: Call = lambda m, image=image, sigma=sigma, radii=radii: m._denoise_gaussian(
                image.copy(), sigma, radii, [1, 1, 1, 0, 1], 4, 0.01, 1, 0.0
            )
            calls.append((f"{path.stem} {label} (σ {sigma:.4g})", call))
    return calls


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "--baseline",
        type=Path,
        default=saved_build.default_path(),
        help="the saved module to compare with (default: build/baseline/_px*.so)",
    )
    parser.add_argument("--only", default="", help="only the calls whose name contains this text")
    args = parser.parse_args()
    if args.baseline is None:
        raise SystemExit("no saved module: run tools/build_baseline.sh first or give --baseline")
    baseline = saved_build.load(args.baseline)
    print(f"baseline {args.baseline}; current {current.__file__}")
    print(f"{'call (1 thread)':<66} {'output':<12} {'CPU s: saved':>14} -> {'current':>7}")
    calls = [(name, call) for name, call in vector_calls() + image_calls() if args.only in name]
    results = [compare(name, call, baseline) for name, call in calls]
    print(f"{sum(results)} of {len(results)} calls bit-identical")
    sys.exit(0 if all(results) else 1)


if __name__ == "__main__":
    main()
