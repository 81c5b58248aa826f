"""Does white noise keep today's model and result? Saves, or compares with, a reference.

For synthetic scenes of white noise (Gaussian and Poisson-Gaussian planes, three channels,
a stack, a time-lapse, the demo's series) and for every real image of ../shared/data that
is not one of the camera pairs with correlated noise (``pair_fmd_*``), it records:

- the noise model ``estimate_noise`` gives for the whole image (its ``to_dict()``, repr
  and description; models compare by their figures, the reasons aside);
- the result of the default call ``denoise`` (one thread) on a central crop of at most
  256 x 256 pixels and 6 planes (or frames), its model estimated from the crop.

``--save DIR`` writes these with the installed build (run it on the reference build, e.g.
main before a change); ``--compare DIR`` runs them again and prints, per case, whether the
models are equal and the results bit-identical (else the largest difference relative to
the image's range), exiting with status 1 when any differs.

Usage: python3 benchmarks/validation/white_unchanged.py (--save DIR | --compare DIR) [--only NAME]
"""

from __future__ import annotations

import argparse
import json
import sys
import time
import warnings
from pathlib import Path

import numpy as np

import pxvorel
from pxvorel.demo.scene import synthetic_series

DATA = Path(__file__).resolve().parents[3] / "shared" / "data"
CROP, PLANES = 256, 6


def _blobs(shape: tuple[int, int], seed: int, low: float, high: float) -> np.ndarray:
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0 : shape[0], 0 : shape[1]].astype(np.float64)
    image = np.full(shape, low)
    for _ in range(12):
        cy, cx, width = rng.uniform(0, shape[0]), rng.uniform(0, shape[1]), rng.uniform(3.0, 12.0)
        image += rng.uniform(0.3, 1.0) * (high - low) * np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / (2 * width**2))
    return image


def synthetic_cases() -> dict[str, tuple[np.ndarray, str]]:
    """White-noise scenes with their axes."""
    rng = np.random.default_rng(0)
    plane = _blobs((256, 256), 1, 20.0, 300.0)
    gaussian = (plane + rng.normal(0.0, 10.0, plane.shape)).astype(np.float32)
    counts = (2.0 * rng.poisson(plane / 2.0) + rng.normal(0.0, 3.0, plane.shape)).astype(np.float32)
    three = np.stack([_blobs((160, 160), s, 10.0, 200.0) for s in (2, 3, 4)])
    three = (three + rng.normal(0.0, 1.0, three.shape) * np.array([5.0, 12.0, 3.0])[:, None, None]).astype(np.float32)
    stack = np.stack([_blobs((128, 128), 5, 10.0, 250.0) * (0.6 + 0.05 * z) for z in range(12)])
    stack = rng.poisson(stack).astype(np.uint16)
    series = synthetic_series(frames=6, size=128, seed=3).noisy
    return {
        "synthetic_gaussian_yx": (gaussian, "YX"),
        "synthetic_poisson_gaussian_yx": (counts, "YX"),
        "synthetic_three_channels_cyx": (three, "CYX"),
        "synthetic_stack_zyx": (stack, "ZYX"),
        "synthetic_demo_series_tyx": (series, "TYX"),
    }


def real_cases() -> dict[str, tuple[np.ndarray, str | None]]:
    """The real images that are not camera pairs of correlated noise."""
    if not DATA.is_dir():
        return {}
    cases: dict[str, tuple[np.ndarray, str | None]] = {}
    for path in sorted(DATA.glob("*.tif")):
        if path.name.startswith("pair_fmd_"):
            continue
        image = pxvorel.read_image(path)
        cases[path.stem] = (image.data, image.axes)
    return cases


def central_crop(image: np.ndarray, axes: str) -> np.ndarray:
    """At most CROP x CROP pixels and PLANES planes or frames from the middle; channels whole."""
    index = []
    for letter, n in zip(axes, image.shape, strict=True):
        keep = CROP if letter in "YX" else PLANES if letter in "ZT" else n
        start = max(0, (n - keep) // 2)
        index.append(slice(start, start + min(n, keep)))
    return np.ascontiguousarray(image[tuple(index)])


def record(data: np.ndarray, axes: str | None) -> tuple[dict[str, object], np.ndarray]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        model = pxvorel.estimate_noise(data, axes=axes)
        plan_axes = axes if axes is not None else pxvorel.core.axes.AxisPlan.for_array(data.shape, None).axes
        crop = central_crop(data, plan_axes)
        result = pxvorel.denoise(crop, axes=plan_axes, threads=1)
    return {"model": model.to_dict(), "repr": repr(model), "describe": model.describe()}, result


def _numbers(facts: dict[str, object]) -> object:
    """The model's figures of a record: its dictionary without the reasons, which are text."""
    model = facts["model"]
    assert isinstance(model, dict)
    return {key: value for key, value in model.items() if key != "reasons"}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--save", type=Path, metavar="DIR")
    mode.add_argument("--compare", type=Path, metavar="DIR")
    parser.add_argument("--only", help="cases whose name contains this text")
    args = parser.parse_args(argv)
    cases: dict[str, tuple[np.ndarray, str | None]] = {**synthetic_cases(), **real_cases()}
    folder: Path = args.save or args.compare
    folder.mkdir(parents=True, exist_ok=True)
    failures = 0
    for name, (data, axes) in cases.items():
        if args.only and args.only not in name:
            continue
        start = time.perf_counter()
        facts, result = record(data, axes)
        seconds = time.perf_counter() - start
        if args.save:
            (folder / f"{name}.json").write_text(json.dumps(facts, indent=1))
            np.save(folder / f"{name}.npy", result)
            print(f"{name:<44} saved ({seconds:.1f} s)", flush=True)
            continue
        saved = json.loads((folder / f"{name}.json").read_text())
        reference = np.load(folder / f"{name}.npy")
        now = json.loads(json.dumps(facts))
        same_model = _numbers(saved) == _numbers(now)
        same_result = reference.shape == result.shape and np.array_equal(
            reference.view(np.uint32), result.view(np.uint32)
        )
        verdict = "model equal" if same_model else "MODEL DIFFERS"
        if same_model and saved != now:
            verdict += " (its reasons differ)"
        if same_result:
            verdict += ", result bit-identical"
        else:
            spread = float(np.ptp(reference)) or 1.0
            verdict += (
                f", RESULT DIFFERS (largest difference {np.max(np.abs(reference - result)) / spread:.3g} of range)"
            )
        failures += not (same_model and same_result)
        print(f"{name:<44} {verdict} ({seconds:.1f} s)", flush=True)
        if not same_model:
            print(f"    was: {saved['describe']}\n    now: {facts['describe']}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
