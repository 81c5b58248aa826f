"""Do the defaults keep what scientists measure? One row per channel of every real image.

For each image in ../shared/data (skipped when absent), denoised with the defaults
(``pxvorel.denoise(image, axes=..., return_noise=True)``), prints a markdown table:

- the noise model used and its standard deviation at the median intensity, next to two
  independent in-plane estimates there, from 2 x 2 diagonal Haar details of the 10 % of
  cells whose blurred intensity is nearest to it: their median absolute deviation, and
  their mean absolute value over the smallest 90 % (steadier where a clipped background
  or rounding piles details up at 0);
- the shift of the mean over the channel's darkest tenth (chosen on a Gaussian-blurred
  copy, so that the choice does not depend on each sample's noise), in units of the
  noise standard deviation measured there, and of the whole-channel mean, in units of
  the noise at the median intensity;
- the lift of the darkest samples: the output's 0.1th percentile minus the blurred
  input's, in units of the dark noise (a floor shows as a large positive value), and
  the share of output samples sitting exactly at the output's minimum when that is
  above the input's minimum.

Usage: python3 benchmarks/real_image_trust.py [--only NAME] [--threads N]
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
from pxvorel.core.axes import AxisPlan

DATA = Path(__file__).resolve().parents[2] / "shared" / "data"


def typical_intensity(values: np.ndarray) -> float:
    """Median, over the samples above the minimum when most sit at the minimum."""
    median, floor = float(np.median(values)), float(values.min())
    return float(np.median(values[values > floor])) if median == floor and (values > floor).any() else median


def haar_noise(channel: np.ndarray, blurred: np.ndarray, level: float, trimmed: bool = False) -> float:
    """Noise standard deviation near `level` from diagonal Haar details of (planes, Y, X).

    Cells are chosen by the blurred copy's value at their corner, not by their own mean,
    so that the choice does not depend on the cells' noise."""
    p = channel.astype(np.float64)[:, : channel.shape[1] // 2 * 2, : channel.shape[2] // 2 * 2]
    a, b, c, d = p[:, 0::2, 0::2], p[:, 0::2, 1::2], p[:, 1::2, 0::2], p[:, 1::2, 1::2]
    detail = ((a - b - c + d) / 2).ravel()
    mean = blurred[:, : p.shape[1] : 2, : p.shape[2] : 2].ravel()
    nearest = np.argsort(np.abs(mean - level), kind="stable")[: max(200, mean.size // 10)]
    v = detail[nearest]
    mad = 1.4826 * float(np.median(np.abs(v - np.median(v))))
    if mad > 0 and not trimmed:
        return mad
    magnitude = np.sort(np.abs(v))[: int(0.9 * v.size)]  # mean |detail| over the smallest 90 %
    if magnitude.mean() > 0:
        return float(magnitude.mean()) / 0.65744
    return float(np.sqrt(np.mean(v * v)))  # noise mostly rounded away: the plain rms


def relative(shift: float, sd: float) -> str:
    """A shift in units of the noise sd (where there is no noise, only 0 passes)."""
    if sd > 0:
        return f"{shift / sd:+.3f}"
    return "0" if shift == 0 else f"{shift:+.3g} abs."


def model_std(model: pxvorel.NoiseModel, c: int, level: float) -> float:
    return float(model.std(level, c)[0])


def rows(path: Path, threads: int | None) -> list[str]:
    image = pxvorel.read_image(path)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        start = time.perf_counter()
        result, model = pxvorel.denoise(image.data, axes=image.axes, threads=threads, return_noise=True)
        seconds = time.perf_counter() - start
    plan = AxisPlan.for_array(image.data.shape, image.axes)
    before, after = plan.to_engine(image.data), plan.to_engine(result)
    t, channels, z, y, x = plan.engine_shape
    out = []
    for c in range(channels):
        noisy = before[:, c].reshape(t * z, y, x).astype(np.float64)
        clean = after[:, c].reshape(t * z, y, x).astype(np.float64)
        blurred = ndimage.gaussian_filter(noisy, sigma=(0, 2, 2))
        dark = blurred <= np.percentile(blurred, 10)
        level = typical_intensity(noisy)
        sd_median = haar_noise(noisy, blurred, level)
        sd_dark = haar_noise(noisy, blurred, float(blurred[dark].mean()))
        dark_shift = relative(clean[dark].mean() - noisy[dark].mean(), sd_dark)
        mean_shift = relative(clean.mean() - noisy.mean(), sd_median)
        lift = relative(np.percentile(clean, 0.1) - np.percentile(blurred, 0.1), sd_dark)
        # a floor: many output samples at exactly the output's minimum, above the input's minimum
        floor = float(np.mean(clean == clean.min())) if clean.min() > noisy.min() else 0.0
        g, o = model.gain[c], model.offset[c]
        kind = f"gain {g:.4g}, offset {o:.4g}" if g > 0 else f"Gaussian {math.sqrt(o):.4g}"
        sd_trimmed = haar_noise(noisy, blurred, level, trimmed=True)
        rounded_away = sd_median < 0.5 and np.all(np.mod(noisy, 1) == 0)
        ratios = "n/a (< 0.5 count)" if rounded_away else (
            f"{model_std(model, c, level) / sd_median:.2f} / {model_std(model, c, level) / sd_trimmed:.2f}")
        out.append(f"| {path.stem} | {c} | {kind} | {level:.4g} | {model_std(model, c, level):.4g} "
                   f"| {sd_median:.4g} / {sd_trimmed:.4g} | {ratios} | {noisy[dark].mean():.4g} → {clean[dark].mean():.4g} ({dark_shift}) "
                   f"| {mean_shift} | {lift} | {100 * floor:.2f} % | {seconds:.1f} |")
    for w in caught:
        out.append(f"|  | warning: {str(w.message)[:150]} |")
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", help="only files whose name contains this")
    parser.add_argument("--threads", type=int, default=None)
    args = parser.parse_args()
    if not DATA.is_dir():
        print(f"no real images: {DATA} is absent")
        return
    print("| image | c | model | median I | model sd | independent sd (MAD / trimmed) | ratio | dark tenth mean (shift in sd) "
          "| mean shift (sd) | dark lift (sd) | at a floor | s |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for path in sorted(DATA.glob("*.tif")):
        if args.only and args.only not in path.name:
            continue
        for line in rows(path, args.threads):
            print(line, flush=True)


if __name__ == "__main__":
    main()
