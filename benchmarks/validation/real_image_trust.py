"""Does the noise model fit real images, and do the defaults keep what scientists measure?

For every image of a folder (by default the real images of ``benchmarks.data``; any folder
of TIFF files works), one row per channel:

- the noise model ``denoise`` uses (``estimate_noise``, which returns that model) and the
  reason for the choice;
- the model's noise sd next to an independent in-plane estimate, at the median intensity
  and at the dark end: the estimate is the 3.5-sigma-clipped standard deviation of the
  unit-gain Laplacian residual [[0,-1,0],[-1,4,-1],[0,-1,0]] / sqrt(20), over the pixels
  whose 5 x 5 local mean lies between its 47.5-52.5 % (median) or 2.5-7.5 % (dark end)
  quantiles; the model is evaluated at the mean local mean of those pixels. A ratio
  (model / independent) between 0.75 and 1.33 passes; channels whose noise is below
  0.5 grey levels are not judged ("n/j");
- the shift of the darkest tenth (chosen on a blurred copy) and of the whole mean after
  denoising, in units of the independent noise sd there (the denoise runs on a central
  crop of at most 192 x 192 pixels and 6 planes, 3 iterations, with the whole image's
  model; pass: dark < 0.5 sd, mean < 0.25 sd);
- the noise left at the median: the in-plane estimate on the denoised crop over the
  same pixels, relative to the noisy one (1 means nothing was denoised);
- whether the channel fell back to a single sigma.

    tools/py314 python3 -m benchmarks.validation.real_image_trust [FOLDER] [--only NAME] [--no-denoise]
"""

from __future__ import annotations

import argparse
import math
import time
import warnings
from pathlib import Path

import numpy as np
from scipy import ndimage

import pxvorel
from benchmarks.data import DATA, image_files
from pxvorel.core.axes import AxisPlan

LAPLACIAN = np.array([[0, -1, 0], [-1, 4, -1], [0, -1, 0]], dtype=np.float64) / np.sqrt(20.0)
LOW, HIGH = 0.75, 1.33


def clipped_sd(values: np.ndarray, k: float = 3.5) -> float:
    """Standard deviation after iterative k-sigma clipping about the median; the plain one
    where the clipping drops more than 3 % of the values (heavy-tailed noise such as sparse
    photon counts, whose tail the clipping would take for outliers; the large residuals of
    the images here that do so are single pixels, not the extended blobs their optics image)."""
    v = everything = values.astype(np.float64)
    for _ in range(10):
        if v.size < 2:
            return 0.0
        centre, sd = float(np.median(v)), float(v.std())
        kept = v[np.abs(v - centre) <= k * sd]
        if kept.size == v.size:
            break
        v = kept
    return float((everything if v.size < 0.97 * everything.size else v).std())


def band_noise(
    planes: np.ndarray, band: tuple[float, float], after: np.ndarray | None = None
) -> tuple[float, float, float]:
    """(intensity, independent noise sd, the sd left in `after` at the same pixels) over
    the pixels whose 5 x 5 local mean lies in the quantile `band` (percent) of all local
    means."""
    data = planes.astype(np.float64)
    residual = ndimage.convolve(data, LAPLACIAN[None], mode="reflect")[:, 1:-1, 1:-1]
    local = ndimage.uniform_filter(data, size=(1, 5, 5), mode="reflect")[:, 1:-1, 1:-1]
    low, high = np.percentile(local, band)
    chosen = (local >= low) & (local <= high)
    left = math.nan
    if after is not None:
        smooth = ndimage.convolve(after.astype(np.float64), LAPLACIAN[None], mode="reflect")[:, 1:-1, 1:-1]
        left = clipped_sd(smooth[chosen])
    return float(local[chosen].mean()), clipped_sd(residual[chosen]), left


def crop(engine: np.ndarray) -> np.ndarray:
    t, _, z, y, x = engine.shape
    zs, ys, xs = max(0, z // 2 - 3), max(0, y // 2 - 96), max(0, x // 2 - 96)
    return engine[: min(t, 6 if z == 1 else 1), :, zs : zs + 6, ys : ys + 192, xs : xs + 192]


def ratio(model_sd: float, sd: float) -> str:
    if sd < 0.5:
        return "n/j"
    r = model_sd / sd
    return f"{r:.2f}" + ("" if LOW <= r <= HIGH else " ✗")


def shift(value: float, sd: float, limit: float) -> str:
    s = value / max(sd, 0.5)
    return f"{s:+.2f}" + ("" if abs(s) < limit else " ✗")


def rows(path: Path, denoise: bool) -> list[str]:
    image = pxvorel.read_image(path)
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model = pxvorel.estimate_noise(image.data, axes=image.axes)
    seconds = time.perf_counter() - start
    plan = AxisPlan.for_array(image.data.shape, image.axes)
    engine = plan.to_engine(image.data)
    small = crop(engine)
    denoised = None
    if denoise:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            denoised = pxvorel.denoise(small, axes="TCZYX", noise=model, iterations=3)
    out = []
    for c in range(engine.shape[1]):
        planes = engine[:, c].reshape(-1, *engine.shape[3:])
        cells = []
        for band in ((47.5, 52.5), (2.5, 7.5)):
            level, sd, _ = band_noise(planes, band)
            model_sd = float(np.sqrt(model.variance(level, channel=c)[0]))
            cells += [f"{level:.4g}", f"{model_sd:.3g} / {sd:.3g}", ratio(model_sd, sd)]
        dark = mean = left = "–"
        if denoised is not None:
            before = small[:, c].reshape(-1, *small.shape[3:]).astype(np.float64)
            after = denoised[:, c].reshape(before.shape).astype(np.float64)
            blurred = ndimage.gaussian_filter(before, sigma=(0, 2, 2))
            darkest = blurred <= np.percentile(blurred, 10)
            residual = ndimage.convolve(before, LAPLACIAN[None], mode="reflect")
            dark_sd = clipped_sd(residual[darkest])
            _, median_sd, left_sd = band_noise(before, (47.5, 52.5), after)
            left = f"{left_sd / median_sd:.2f}" if median_sd >= 0.5 else "n/j"
            dark = shift(after[darkest].mean() - before[darkest].mean(), dark_sd, 0.5)
            mean = shift(after.mean() - before.mean(), median_sd, 0.25)
        kind = model.kind(c)
        out.append(
            f"| {path.stem} | {c} | {model.describe_channel(c)} | {' | '.join(cells)} | {dark} | {mean} "
            f"| {left} | {'yes' if kind == 'gaussian' else ''} | {seconds:.1f} |"
        )
        out.append(f"|  |  | ↳ {model.reason(c)[:160]} |")
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", nargs="?", type=Path, default=DATA)
    parser.add_argument("--only", help="only files whose name contains this")
    parser.add_argument("--no-denoise", action="store_true", help="judge the model only")
    args = parser.parse_args()
    if not args.folder.is_dir():
        print(f"no real images: {args.folder} is absent")
        return
    print(
        "| image | c | model | median I | sd model / indep. | ratio | dark I | sd model / indep. | ratio "
        "| dark tenth shift (sd) | mean shift (sd) | noise left at median | one sigma | estimate s |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for path in image_files(args.folder):
        if args.only and args.only not in path.name:
            continue
        for line in rows(path, not args.no_denoise):
            print(line, flush=True)


if __name__ == "__main__":
    main()
