"""The noise model against known noise: sparse photon counts, clipping, saturation, defects.

Each case is a 256 x 256 scene (a ramp along X with blobs) recorded twice with independent
noise. The recorded noise variance of a pixel is then exactly half the mean square of the
two recordings' difference, whatever the noise (clipped, quantised, sparse). At the 10 %,
50 % and 90 % levels of the clean scene (the pixels whose clean value ranks within 5 % of
the level), the model's sd at the recordings' mean there is compared with that truth;
target 0.8-1.25. Also printed: the model's kind, its fit figure, the defects it lists and
the seconds ``estimate_noise`` took.

Cases: Poisson counts of 0.1, 1 and 10 photons per pixel at the median (gain 3, over an
offset of 100, read noise sd 2, whole numbers); Gaussian noise clipped below at 0 with half
the background cut; a 12-bit capture whose bright blobs saturate at 4095; a series of 8
frames with hot, dead and flickering pixels (its truth leaves the defects out).

    tools/py314 python3 -m benchmarks.validation.synthetic_noise_truth
"""

from __future__ import annotations

import time
import warnings
from collections.abc import Callable

import numpy as np

import pxvorel

SIZE = 256
LEVELS = (0.1, 0.5, 0.9)
LOW, HIGH = 0.8, 1.25

Recorder = Callable[[np.ndarray, np.random.Generator], np.ndarray]


def scene(low: float, high: float, seed: int = 3) -> np.ndarray:
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:SIZE, 0:SIZE].astype(np.float64)
    image = np.linspace(0.0, 1.0, SIZE)[None, :] * np.ones((SIZE, 1))
    for _ in range(12):
        cy, cx, width = rng.uniform(0, SIZE), rng.uniform(0, SIZE), rng.uniform(3.0, 10.0)
        image += rng.uniform(0.3, 1.0) * np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / (2 * width**2))
    return low + (high - low) * image / image.max()


def photons(median: float) -> tuple[np.ndarray, Recorder]:
    clean_photons = scene(0.1 * median, 4.0 * median)
    clean = 100.0 + 3.0 * clean_photons

    def record(_: np.ndarray, rng: np.random.Generator) -> np.ndarray:
        counts = 3.0 * rng.poisson(clean_photons) + 100.0 + rng.normal(0.0, 2.0, clean_photons.shape)
        return np.round(counts)

    return clean, record


def clipped() -> tuple[np.ndarray, Recorder]:
    clean = scene(-15.0, 120.0)
    return clean, lambda c, rng: np.maximum(np.round(c + rng.normal(0.0, 8.0, c.shape)), 0.0)


def saturated() -> tuple[np.ndarray, Recorder]:
    clean = scene(300.0, 7000.0)
    return clean, lambda c, rng: np.minimum(np.round(rng.poisson(c / 1.5) * 1.5 + rng.normal(0, 4, c.shape)), 4095)


def defective() -> tuple[np.ndarray, Recorder]:
    clean = np.broadcast_to(scene(100.0, 1500.0), (8, SIZE, SIZE))
    where = np.random.default_rng(9)
    hot = where.integers(2, SIZE - 2, (40, 2))
    dead = where.integers(2, SIZE - 2, (10, 2))
    flicker = where.integers(2, SIZE - 2, (10, 2))

    def record(c: np.ndarray, rng: np.random.Generator) -> np.ndarray:
        image = 2.0 * rng.poisson(c / 2.0) + rng.normal(0.0, 5.0, c.shape)
        image[:, hot[:, 0], hot[:, 1]] += 2500.0
        image[:, dead[:, 0], dead[:, 1]] = 0.0
        image[::3, flicker[:, 0], flicker[:, 1]] += 3000.0
        return image

    return clean, record


CASES: dict[str, Callable[[], tuple[np.ndarray, Recorder]]] = {
    "photons 0.1/pixel": lambda: photons(0.1),
    "photons 1/pixel": lambda: photons(1.0),
    "photons 10/pixel": lambda: photons(10.0),
    "clipped at 0": clipped,
    "saturated 12-bit": saturated,
    "hot, dead, flickering": defective,
}


def main() -> None:
    print(f"{'case':<22} {'model':<14} {'sd 10/50/90 %: true -> model/true':<40} {'defects':<28} {'fit':<10} t")
    for name, make in CASES.items():
        clean, record = make()
        first, second = (record(clean, np.random.default_rng(seed)) for seed in (1, 2))
        axes = "TYX" if clean.ndim == 3 else "YX"
        start = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model = pxvorel.estimate_noise(first.astype(np.float32), axes=axes)
        seconds = time.perf_counter() - start
        difference = (first - second) ** 2 / 2.0
        if name.startswith("hot"):  # the truth of the scene's noise, without the defects
            difference = np.minimum(difference, np.percentile(difference, 99.5))
        order = np.argsort(clean.ravel(), kind="stable")
        cells = []
        for level in LEVELS:
            band = order[int((level - 0.05) * order.size) : int((level + 0.05) * order.size)]
            truth = float(np.sqrt(difference.ravel()[band].mean()))
            mean = float(((first + second) / 2.0).ravel()[band].mean())
            ratio = float(model.std(mean)) / truth
            cells.append(f"{truth:6.3g}->{ratio:4.2f}{'' if LOW <= ratio <= HIGH else '✗'}")
        found = model.defects[0]
        figure = model.fit[0]
        fit = f"{100 * figure.share:.0f} %" if figure is not None else "-"
        print(
            f"{name:<22} {model.kind(0):<14} {' '.join(cells):<40} "
            f"{found.describe() if found is not None else '-':<28} {fit:<10} {seconds:.2f}s",
            flush=True,
        )


if __name__ == "__main__":
    main()
