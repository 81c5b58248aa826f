"""The noise model and the default call on the real noisy / clean pairs of ../shared/data.

Pairs: the four raw / average-of-50 pairs of the Fluorescence Microscopy Denoising dataset
(``pair_fmd_*``: two widefield camera captures with spatially correlated noise, a confocal
and a two-photon one) and the low / high SNR pairs of a nucleus and of confocal
mitochondria (each exported with its own contrast stretch). The mitochondria pair
(1024 x 1024) is cut to its central 512 x 512 pixels to keep the run short; the others are
used whole.

For each pair, in the noisy image's units:

- the clean image matched to the noisy one: ``a * clean + b``, with a and b fitted by least
  squares over all pixels; the true noise is the noisy image minus it;
- the true noise sd at the 10 %, 50 % and 90 % intensity levels: over the pixels whose
  matched clean value ranks between the 5-15 %, 45-55 % and 85-95 % quantiles; the
  model's sd there is the root of its variance averaged over the same pixels (evaluated at
  each pixel's matched clean value); target: model / true within 0.8-1.25;
- the correlation of the true noise between neighbouring pixels along X and along Y, and
  the one the model carries (0 for white noise); target: within 0.1;
- PSNR of the input, of the default ``pxvorel.denoise`` (one thread) and of the best
  Gaussian blur (``scipy.ndimage.gaussian_filter``, mode "reflect", sigma chosen from
  0.3 to 8 pixels on a logarithmic grid of 40 values by PSNR against the clean image),
  each against the matched clean image: 10 log10(R**2 / MSE) with R the matched clean
  image's range (max - min) and MSE the mean over all pixels; target: the default ahead
  of the blur on every pair, by 0.75 dB on the mean; beside them OpenCV's non-local means
  (``cv2.fastNlMeansDenoising`` on the 8-bit input, 7 x 7 patches, 21 x 21 search) at its
  best filter strength h (1 to 64 on a logarithmic grid of 16 values, by PSNR), where OpenCV
  is installed;
- intensities kept: the shift of the mean (result minus input) in units of the true
  noise sd, and of the mean of the darkest tenth of pixels (by a wide Gaussian blur of the
  input, sigma 8, which leaves little of even correlated noise to pick those pixels by) in
  units of the true noise sd there; targets: 0.1 and 0.2;
- the time of the noise measurement (``estimate_noise``) and of its correlation part alone
  (``with_correlation`` on the white model), against the default call's; target: the
  correlation part at most a tenth of the call.

One row per pair, then a pass / fail line per target. ``--no-denoise`` skips the
denoising (models and blurs only).

Usage: python3 benchmarks/validation/real_pairs.py [--only TEXT] [--no-denoise] [--threads N]
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt
import tifffile
from scipy import ndimage

import pxvorel
from pxvorel.noise.choose import with_correlation
from pxvorel.noise.model import NoiseModel

DATA = Path(__file__).resolve().parents[3] / "shared" / "data"
#: (name, noisy file, clean file)
PAIRS = [
    (
        "fmd widefield nuclei",
        "pair_fmd_widefield_bpae_nuclei_raw_u8.tif",
        "pair_fmd_widefield_bpae_nuclei_avg50_u8.tif",
    ),
    ("fmd widefield mito", "pair_fmd_widefield_bpae_mito_raw_u8.tif", "pair_fmd_widefield_bpae_mito_avg50_u8.tif"),
    ("fmd confocal nuclei", "pair_fmd_confocal_bpae_nuclei_raw_u8.tif", "pair_fmd_confocal_bpae_nuclei_avg50_u8.tif"),
    ("fmd two-photon actin", "pair_fmd_twophoton_bpae_actin_raw_u8.tif", "pair_fmd_twophoton_bpae_actin_avg50_u8.tif"),
    ("nucleus", "pair_nucleus_lowsnr_u8.tif", "pair_nucleus_highsnr_u8.tif"),
    ("confocal mito", "pair_mito_confocal_lowsnr_u8.tif", "pair_mito_confocal_highsnr_u8.tif"),
]
CROP = 512
LEVELS = (0.1, 0.5, 0.9)
SD_RANGE = (0.8, 1.25)
CORRELATION_TOLERANCE = 0.1
MEAN_MARGIN = 0.75
MEAN_SHIFT, DARK_SHIFT = 0.1, 0.2
BLUR_SIGMAS = np.geomspace(0.3, 8.0, 40)
OPENCV_STRENGTHS = np.geomspace(1.0, 64.0, 16)
WIDE_BLUR = 8.0


@dataclass(frozen=True)
class Pair:
    name: str
    noisy: np.ndarray
    clean: np.ndarray
    """The clean image matched to the noisy one (a * clean + b, least squares)."""

    @property
    def noise(self) -> np.ndarray:
        return self.noisy - self.clean


def central(image: np.ndarray) -> np.ndarray:
    y, x = image.shape
    top, left = max(0, (y - CROP) // 2), max(0, (x - CROP) // 2)
    return image[top : top + CROP, left : left + CROP]


def load(name: str, noisy_file: str, clean_file: str) -> Pair:
    noisy = central(tifffile.imread(DATA / noisy_file)).astype(np.float64)
    clean = central(tifffile.imread(DATA / clean_file)).astype(np.float64)
    design = np.stack([clean.ravel(), np.ones(clean.size)], axis=1)
    (a, b), *_ = np.linalg.lstsq(design, noisy.ravel(), rcond=None)
    return Pair(name, noisy, a * clean + b)


def level_pixels(clean: np.ndarray, level: float) -> np.ndarray:
    """Flat indices of the pixels whose clean value ranks within 5 % of the `level` quantile."""
    order = np.argsort(clean.ravel(), kind="stable")
    n = order.size
    return order[int((level - 0.05) * n) : int((level + 0.05) * n)]


def neighbour_correlation(noise: np.ndarray, axis: int) -> float:
    r = noise - noise.mean()
    a = r[:-1] if axis == 0 else r[:, :-1]
    b = r[1:] if axis == 0 else r[:, 1:]
    return float(np.mean(a * b) / np.mean(r * r))


def model_correlation(model: NoiseModel, axis: str) -> float:
    """The neighbour correlation the model carries along `axis` ("X" or "Y"); 0 for white noise."""
    correlation = model.correlation[0]
    return 0.0 if correlation is None else correlation.neighbour(axis)


def psnr(reference: np.ndarray, image: np.ndarray) -> float:
    peak = float(np.ptp(reference))
    return 10.0 * math.log10(peak * peak / float(np.mean((image - reference) ** 2)))


def best_blur(pair: Pair) -> tuple[float, float]:
    """PSNR and sigma of the best Gaussian blur of the noisy image."""
    scores = [(psnr(pair.clean, ndimage.gaussian_filter(pair.noisy, s, mode="reflect")), float(s)) for s in BLUR_SIGMAS]
    return max(scores)


def best_opencv(pair: Pair) -> tuple[float, float] | None:
    """PSNR and h of OpenCV's non-local means at its best strength on the 8-bit noisy image,
    or None without OpenCV."""
    try:
        import cv2
    except ImportError:
        return None
    image: npt.NDArray[np.uint8] = np.clip(np.round(pair.noisy), 0, 255).astype(np.uint8)
    scores = [
        (psnr(pair.clean, cv2.fastNlMeansDenoising(image, None, float(h), 7, 21).astype(np.float64)), float(h))
        for h in OPENCV_STRENGTHS
    ]
    return max(scores)


@dataclass(frozen=True)
class Row:
    name: str
    true_sd: tuple[float, ...]
    model_sd: tuple[float, ...]
    true_rho: tuple[float, float]
    model_rho: tuple[float, float]
    psnr_input: float
    psnr_default: float | None
    psnr_blur: float
    blur_sigma: float
    opencv: tuple[float, float] | None
    """PSNR and h of OpenCV's best non-local means (None: not installed)."""
    mean_shift: float | None
    dark_shift: float | None
    seconds_model: float
    seconds_correlation: float
    seconds_default: float | None

    def sd_ok(self) -> bool:
        return all(SD_RANGE[0] <= m / t <= SD_RANGE[1] for m, t in zip(self.model_sd, self.true_sd, strict=True))

    def rho_ok(self) -> bool:
        return all(abs(m - t) <= CORRELATION_TOLERANCE for m, t in zip(self.model_rho, self.true_rho, strict=True))


Denoiser = Callable[[np.ndarray], np.ndarray]


def default_call(threads: int) -> Denoiser:
    return lambda noisy: pxvorel.denoise(noisy.astype(np.float32), threads=threads)


def measure(pair: Pair, denoiser: Denoiser | None) -> Row:
    noisy = pair.noisy.astype(np.float32)
    start = time.perf_counter()
    model = pxvorel.estimate_noise(noisy)
    seconds_model = time.perf_counter() - start
    white = pxvorel.estimate_noise(noisy, correlation=False)
    start = time.perf_counter()
    with_correlation(noisy[None, None, None], white)
    seconds_correlation = time.perf_counter() - start
    true_sd, model_sd = [], []
    for level in LEVELS:
        pixels = level_pixels(pair.clean, level)
        true_sd.append(float(pair.noise.ravel()[pixels].std()))
        model_sd.append(math.sqrt(float(np.mean(model.variance(pair.clean.ravel()[pixels])))))
    true_rho = (neighbour_correlation(pair.noise, 1), neighbour_correlation(pair.noise, 0))
    model_rho = (model_correlation(model, "X"), model_correlation(model, "Y"))
    blur, sigma = best_blur(pair)
    opencv = best_opencv(pair)
    result = seconds_default = mean_shift = dark_shift = None
    if denoiser is not None:
        start = time.perf_counter()
        denoised = denoiser(pair.noisy).astype(np.float64)
        seconds_default = time.perf_counter() - start
        result = psnr(pair.clean, denoised)
        mean_shift = abs(float(denoised.mean() - pair.noisy.mean())) / float(pair.noise.std())
        blurred = ndimage.gaussian_filter(pair.noisy, WIDE_BLUR)
        dark = blurred <= np.percentile(blurred, 10)
        dark_shift = abs(float(denoised[dark].mean() - pair.noisy[dark].mean())) / float(pair.noise[dark].std())
    return Row(
        pair.name,
        tuple(true_sd),
        tuple(model_sd),
        true_rho,
        model_rho,
        psnr(pair.clean, pair.noisy),
        result,
        blur,
        sigma,
        opencv,
        mean_shift,
        dark_shift,
        seconds_model,
        seconds_correlation,
        seconds_default,
    )


def print_rows(rows: list[Row]) -> None:
    print(
        f"{'pair':<22} {'sd 10/50/90 %: true -> model/true':<36} {'rho X, Y: true | model':<24} "
        f"{'PSNR in':>7} {'default':>7} {'blur (sigma)':>13} {'diff':>6} {'opencv (h)':>13} {'mean':>5} {'dark':>5} "
        f"{'t model':>7} {'t corr':>6} {'t call':>6}"
    )
    for r in rows:
        sd = " ".join(f"{t:5.2f}->{m / t:4.2f}" for t, m in zip(r.true_sd, r.model_sd, strict=True))
        rho = f"{r.true_rho[0]:5.2f} {r.true_rho[1]:5.2f} | {r.model_rho[0]:5.2f} {r.model_rho[1]:5.2f}"
        default = f"{r.psnr_default:7.2f}" if r.psnr_default is not None else f"{'-':>7}"
        diff = f"{r.psnr_default - r.psnr_blur:+6.2f}" if r.psnr_default is not None else f"{'-':>6}"
        shifts = (
            f"{r.mean_shift:5.2f} {r.dark_shift:5.2f}"
            if r.mean_shift is not None and r.dark_shift is not None
            else f"{'-':>5} {'-':>5}"
        )
        call = f"{r.seconds_default:6.1f}" if r.seconds_default is not None else f"{'-':>6}"
        opencv = f"{r.opencv[0]:7.2f} ({r.opencv[1]:4.1f})" if r.opencv is not None else f"{'-':>13}"
        print(
            f"{r.name:<22} {sd:<36} {rho:<24} {r.psnr_input:7.2f} {default} {r.psnr_blur:7.2f} ({r.blur_sigma:4.2f}) "
            f"{diff} {opencv} {shifts} {r.seconds_model:6.2f}s {r.seconds_correlation:5.2f}s {call}s"
        )


def verdicts(rows: list[Row]) -> list[tuple[str, bool]]:
    lines = [
        (
            f"model sd within {SD_RANGE[0]}-{SD_RANGE[1]} of the true sd at 10/50/90 %: "
            f"{sum(r.sd_ok() for r in rows)} of {len(rows)} pairs",
            all(r.sd_ok() for r in rows),
        ),
        (
            f"neighbour correlation within {CORRELATION_TOLERANCE} of the true one along X and Y: "
            f"{sum(r.rho_ok() for r in rows)} of {len(rows)} pairs",
            all(r.rho_ok() for r in rows),
        ),
    ]
    done = [r for r in rows if r.psnr_default is not None]
    if done:
        margins = [r.psnr_default - r.psnr_blur for r in done if r.psnr_default is not None]
        lines.append(
            (
                f"default ahead of the best blur: {sum(m > 0 for m in margins)} of {len(done)} pairs",
                all(m > 0 for m in margins),
            )
        )
        lines.append(
            (
                f"mean margin over the best blur {np.mean(margins):+.2f} dB (target +{MEAN_MARGIN})",
                float(np.mean(margins)) >= MEAN_MARGIN,
            )
        )
        lines.append(
            (
                f"mean kept within {MEAN_SHIFT} sd, darkest tenth within {DARK_SHIFT} sd: "
                f"{sum((r.mean_shift or 0) <= MEAN_SHIFT and (r.dark_shift or 0) <= DARK_SHIFT for r in done)} "
                f"of {len(done)} pairs",
                all((r.mean_shift or 0) <= MEAN_SHIFT and (r.dark_shift or 0) <= DARK_SHIFT for r in done),
            )
        )
        ratios = [r.seconds_correlation / r.seconds_default for r in done if r.seconds_default]
        whole = [r.seconds_model / r.seconds_default for r in done if r.seconds_default]
        lines.append(
            (
                f"correlation measurement at most a tenth of the default call's time: largest share "
                f"{max(ratios):.3f} (the whole noise measurement's: {max(whole):.3f})",
                max(ratios) <= 0.1,
            )
        )
    return lines


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", help="pairs whose name contains this text")
    parser.add_argument("--no-denoise", action="store_true", help="models and blurs only")
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args(argv)
    if not DATA.is_dir():
        print(f"the real pairs are not present at {DATA}")
        return 0
    denoiser = None if args.no_denoise else default_call(args.threads)
    rows = [measure(load(*pair), denoiser) for pair in PAIRS if not args.only or args.only in pair[0]]
    print_rows(rows)
    print()
    failed = 0
    for text, ok in verdicts(rows):
        print(f"{'pass' if ok else 'FAIL'}  {text}")
        failed += not ok
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
