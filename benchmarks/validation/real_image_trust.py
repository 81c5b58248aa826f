"""Does the noise model fit real images, and do the defaults keep what scientists measure?

For every image of a folder (by default the real images of ``benchmarks.data``; any folder
of TIFF files works), one row per channel:

- the noise model ``denoise`` uses (``estimate_noise``, which returns that model), the
  reason for the choice and the seconds the estimate took;
- the model's noise sd next to an independent in-plane estimate at the dark end, the median
  and the bright end: over the pixels whose 5 x 5 local mean lies between its 2.5-7.5 %,
  47.5-52.5 % or 92.5-97.5 % quantiles, the 3.5-sigma-clipped standard deviation of a
  probe scaled to unit gain for white noise; the model is evaluated at the mean local mean
  of those pixels. The probe is the Laplacian [[0,-1,0],[-1,4,-1],[0,-1,0]] / sqrt(20),
  or, where the noise is spatially correlated, second differences at a lag of 3 pixels
  along X and Y, (x[i-3] - 2 x[i] + x[i+3]) / sqrt(6), which see noise that correlates
  over a pixel or two at nearly its full variance. The lag-3 probe is taken for the files
  whose noise is known to correlate (CORRELATED: the widefield camera captures, whose true
  noise in the pairs correlates by 0.6 between neighbours, and their averages of 50, whose
  remaining noise comes from the same camera); the lag-3 differences see more of the
  signal too, so a choice by the data alone would take structure for correlation (the
  column "probe" names the one used: "lap" or "lag3"). A ratio (model / independent)
  between 0.8 and 1.25 passes; a level whose noise is below 0.5 grey levels is not judged
  ("n/j");
- the shift of the darkest tenth (chosen on a wide blur, sigma 8 pixels) and of the whole
  mean after denoising, in units of the independent noise sd there (by the same probe; the
  denoise runs on a central crop of at most 192 x 192 pixels and 6 planes, 3 iterations,
  with the whole image's model; pass: dark within 0.2 sd, mean within 0.1 sd);
- the noise left at the median: the in-plane estimate on the denoised crop over the
  same pixels, relative to the noisy one (1 means nothing was denoised).

The last line counts the faults (levels outside 0.8-1.25, shifts beyond their limits).

    tools/py314 python3 -m benchmarks.validation.real_image_trust [FOLDER] [--only NAME] [--no-denoise]
"""

from __future__ import annotations

import argparse
import time
import warnings
from pathlib import Path

import numpy as np
from scipy import ndimage

import pxvorel
from benchmarks.data import DATA, image_files
from pxvorel.core.axes import AxisPlan

LAPLACIAN = np.array([[0, -1, 0], [-1, 4, -1], [0, -1, 0]], dtype=np.float64) / np.sqrt(20.0)
LOW, HIGH = 0.8, 1.25
#: Quantile bands (percent) of the local means: dark end, median, bright end.
BANDS = {"dark": (2.5, 7.5), "median": (47.5, 52.5), "bright": (92.5, 97.5)}
#: Files (name fragments) whose noise correlates between neighbouring pixels: the lag-3 probe.
CORRELATED = ("fmd_widefield",)
#: Intensities kept: the mean within MEAN_SHIFT noise sd, the darkest tenth of a wide blur
#: (sigma WIDE_BLUR pixels, which leaves little of even correlated noise to pick its pixels
#: by) within DARK_SHIFT noise sd there.
MEAN_SHIFT, DARK_SHIFT, WIDE_BLUR = 0.1, 0.2, 8.0
LAG = 3


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


def laplacian(data: np.ndarray) -> np.ndarray:
    """Unit-gain Laplacian residual of (planes, Y, X) data, one per pixel."""
    return ndimage.convolve(data, LAPLACIAN[None], mode="reflect")


def lag_differences(data: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Unit-gain second differences at lag LAG along X and along Y of (planes, Y, X) data,
    one per pixel (reflected at the edges)."""
    kernel = np.zeros(2 * LAG + 1)
    kernel[[0, LAG, 2 * LAG]] = (1.0, -2.0, 1.0)
    kernel /= np.sqrt(6.0)
    along_x = ndimage.convolve1d(data, kernel, axis=2, mode="reflect")
    along_y = ndimage.convolve1d(data, kernel, axis=1, mode="reflect")
    return along_x, along_y


def local_means(data: np.ndarray) -> np.ndarray:
    return ndimage.uniform_filter(data, size=(1, 5, 5), mode="reflect")


def probe_sd(data: np.ndarray, chosen: np.ndarray, probe: str) -> float:
    """The clipped sd of `probe` ("lap" or "lag3") of (planes, Y, X) data over the `chosen` pixels."""
    if probe == "lap":
        return clipped_sd(laplacian(data)[chosen])
    along_x, along_y = lag_differences(data)
    return clipped_sd(np.concatenate([along_x[chosen], along_y[chosen]]))


def band_noise(data: np.ndarray, local: np.ndarray, band: tuple[float, float], probe: str) -> tuple[float, float]:
    """(intensity, independent noise sd) over the pixels whose local mean lies in the
    quantile `band` (percent) of all local means; `probe` is "lap" or "lag3"."""
    low, high = np.percentile(local, band)
    chosen = (local >= low) & (local <= high)
    return float(local[chosen].mean()), probe_sd(data, chosen, probe)


def choose_probe(path: Path) -> str:
    """ "lag3" for the files whose noise is known to correlate (CORRELATED), else "lap"."""
    return "lag3" if any(part in path.name for part in CORRELATED) else "lap"


def crop(engine: np.ndarray) -> np.ndarray:
    t, _, z, y, x = engine.shape
    zs, ys, xs = max(0, z // 2 - 3), max(0, y // 2 - 96), max(0, x // 2 - 96)
    return engine[: min(t, 6 if z == 1 else 1), :, zs : zs + 6, ys : ys + 192, xs : xs + 192]


def ratio(model_sd: float, sd: float) -> tuple[str, bool]:
    if sd < 0.5:
        return "n/j", True
    r = model_sd / sd
    ok = LOW <= r <= HIGH
    return f"{r:.2f}" + ("" if ok else " ✗"), ok


def shift(value: float, sd: float, limit: float) -> tuple[str, bool]:
    s = value / max(sd, 0.5)
    ok = abs(s) < limit
    return f"{s:+.2f}" + ("" if ok else " ✗"), ok


def fit_figure(reason: str) -> str:
    """The fit figure the reason carries ("fit: ..."), or "–" when it has none."""
    marker = "fit: "
    if marker not in reason:
        return "–"
    return reason[reason.index(marker) + len(marker) :].split(";")[0]


def rows(path: Path, denoise: bool) -> tuple[list[str], int]:
    """The table rows of one image and its number of faults."""
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
    refused = ""
    if denoise:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                denoised = pxvorel.denoise(small, axes="TCZYX", noise=model, iterations=3)
            except ValueError as error:
                refused = str(error)
    out = []
    faults = 0
    probe = choose_probe(path)
    for c in range(engine.shape[1]):
        planes = engine[:, c].reshape(-1, *engine.shape[3:]).astype(np.float64)
        local = local_means(planes)
        cells = []
        for band in BANDS.values():
            level, sd = band_noise(planes, local, band, probe)
            model_sd = float(model.std(level, channel=c))
            text, ok = ratio(model_sd, sd)
            faults += not ok
            cells += [f"{level:.4g}", f"{model_sd:.3g} / {sd:.3g}", text]
        dark = mean = left = "–"
        if denoised is not None:
            before = small[:, c].reshape(-1, *small.shape[3:]).astype(np.float64)
            after = denoised[:, c].reshape(before.shape).astype(np.float64)
            blurred = ndimage.gaussian_filter(before, sigma=(0, WIDE_BLUR, WIDE_BLUR))
            darkest = blurred <= np.percentile(blurred, 10)
            dark_sd = probe_sd(before, darkest, probe)
            crop_local = local_means(before)
            low, high = np.percentile(crop_local, BANDS["median"])
            chosen = (crop_local >= low) & (crop_local <= high)
            median_sd = probe_sd(before, chosen, probe)
            left_sd = probe_sd(after, chosen, probe)
            left = f"{left_sd / median_sd:.2f}" if median_sd >= 0.5 else "n/j"
            dark, dark_ok = shift(after[darkest].mean() - before[darkest].mean(), dark_sd, DARK_SHIFT)
            mean, mean_ok = shift(after.mean() - before.mean(), median_sd, MEAN_SHIFT)
            faults += (not dark_ok) + (not mean_ok)
        elif refused:
            dark = mean = left = "refused"
        out.append(
            f"| {path.stem} | {c} | {model.describe_channel(c)} | {probe} | {' | '.join(cells)} | {dark} | {mean} "
            f"| {left} | {fit_figure(model.reason(c))} | {seconds:.1f} |"
        )
        out.append(f"|  |  | ↳ {model.reason(c)[:200]} |")
    if refused:
        out.append(f"|  |  | ↳ the crop's denoise refused the model: {refused[:160]} |")
    return out, faults


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
        "| image | c | model | probe | dark I | sd model / indep. | ratio | median I | sd model / indep. | ratio "
        "| bright I | sd model / indep. | ratio | dark tenth shift (sd) | mean shift (sd) | noise left at median "
        "| fit | estimate s |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    faults = images = 0
    for path in image_files(args.folder):
        if args.only and args.only not in path.name:
            continue
        lines, count = rows(path, not args.no_denoise)
        images += 1
        faults += count
        for line in lines:
            print(line, flush=True)
    print(f"\n{faults} faults on {images} images (sd outside {LOW}-{HIGH} at a level, or an intensity shift)")


if __name__ == "__main__":
    main()
