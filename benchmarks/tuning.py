"""Tuned against default settings, and the estimated against the true PSNR.

On the benchmark's synthetic datasets (benchmarks/vs_peers.py: a 2-D image at two noise
levels, three channels of different noise, a z-stack and a Poisson-Gaussian time-lapse),
with the known noise and one thread:

- PSNR of ``pxvorel.denoise`` with its defaults and with ``tune=True`` (the setting chosen,
  and the CPU seconds of each run, the estimate's extra run included);
- the PSNR that ``quality=True`` estimates without the clean image (from the estimated mean
  squared error and the clean data's range, as the true PSNR is computed), with one
  standard error, against the true PSNR, for both runs.

Then the real noisy/clean pairs of ../shared/data (when present): the low-SNR image with the
noise estimated, default against tuned, scored against the high-SNR image after an affine
intensity fit (benchmarks/choose_defaults.py), with the estimated gain over the input, next
to the input itself, a Gaussian blur with the best sigma and OpenCV's fastNlMeansDenoising
with the best h (both chosen against the high-SNR image, which no denoiser has), and the
noise model the default call uses.

    tools/py314 python3 benchmarks/tuning.py [--quick]
"""

from __future__ import annotations

import argparse
import math
import time

import cv2
import numpy as np
from scipy import ndimage

import pxvorel
from choose_defaults import DATA, PAIRS, affine_psnr
from pxvorel.quality.candidates import label
from vs_peers import Case, make_cases, psnr


def cases(quick: bool) -> list[Case]:
    found = make_cases(quick)
    plane = found[0]
    rng = np.random.default_rng(5)
    sigma10 = Case(plane.name.replace("σ 25", "σ 10"), plane.clean,
                   (plane.clean + rng.normal(0.0, 10.0, plane.clean.shape)).astype(np.float32), "YX", [10.0])
    return [plane, sigma10, *found[1:]]


def noise_of(case: Case) -> pxvorel.NoiseModel:
    if case.gain > 0:
        return pxvorel.NoiseModel(gain=[case.gain], offset=[case.sigma[0] ** 2])
    return pxvorel.NoiseModel.gaussian(case.sigma)


def estimated_psnr(case: Case, report: pxvorel.RunReport) -> tuple[float, float]:
    """PSNR from the estimated MSE (all channels together) and its standard error in dB."""
    quality = report.quality
    assert quality is not None
    mse = float(np.mean(quality.mse))
    spread = math.sqrt(sum(s * s for s in quality.mse_spread)) / len(quality.mse)
    span = float(case.clean.max() - case.clean.min())
    return 10.0 * math.log10(span**2 / mse), 10.0 / math.log(10.0) * spread / mse


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the smaller datasets")
    parser.add_argument("--pairs", action="store_true", help="the real pairs only")
    args = parser.parse_args()
    print("| data | run | setting | PSNR dB | estimated PSNR dB | estimate − true | CPU s |")
    print("|---|---|---|---|---|---|---|")
    for case in [] if args.pairs else cases(args.quick):
        for run, tune in (("defaults", False), ("tuned", True)):
            start = time.process_time()
            result, report = pxvorel.denoise(case.noisy, axes=case.axes, noise=noise_of(case), threads=1, tune=tune,
                                             quality=True, return_report=True)
            seconds = time.process_time() - start
            true = psnr(case.clean, result)
            estimate, spread = estimated_psnr(case, report)
            print(f"| {case.name} | {run} | {label(report.settings)} | {true:.2f} | {estimate:.2f} ± {spread:.2f} | "
                  f"{estimate - true:+.2f} | {seconds:.1f} |", flush=True)
    print("\n| real pair | run | setting | PSNR dB (affine fit to the high-SNR image) | estimated gain dB | CPU s |")
    print("|---|---|---|---|---|---|")
    for name in PAIRS:
        low, high = (DATA / f"pair_{name}_{snr}_u8.tif" for snr in ("lowsnr", "highsnr"))
        if not (low.exists() and high.exists()):
            continue
        noisy, clean = (pxvorel.read_image(path).data.astype(np.float32) for path in (low, high))
        print(f"| {name} | input | | {affine_psnr(clean, noisy):.2f} | | |")
        blur = max((affine_psnr(clean, ndimage.gaussian_filter(noisy, s)), s) for s in np.arange(0.5, 4.01, 0.25))
        print(f"| {name} | Gaussian blur, best sigma | sigma {blur[1]:.2f} | {blur[0]:.2f} | | |")
        raw = np.clip(noisy, 0, 255).astype(np.uint8)
        nlm = max((affine_psnr(clean, cv2.fastNlMeansDenoising(raw, h=float(h)).astype(np.float32)), h)
                  for h in (*range(2, 40, 2), *range(40, 101, 10)))
        print(f"| {name} | OpenCV fastNlMeansDenoising, best h | h {nlm[1]} | {nlm[0]:.2f} | | |")
        result = pxvorel.denoise(noisy, axes="YX", threads=1, refine=False)
        print(f"| {name} | engine alone (refine=False) | | {affine_psnr(clean, result):.2f} | | |", flush=True)
        for run, tune in (("defaults", False), ("tuned", True)):
            start = time.process_time()
            result, report = pxvorel.denoise(noisy, axes="YX", threads=1, tune=tune, quality=True,
                                             return_report=True)
            seconds = time.process_time() - start
            assert report.quality is not None
            print(f"| {name} | {run} | {label(report.settings)} | {affine_psnr(clean, result):.2f} | "
                  f"{report.quality.gain_db:.2f} ± {report.quality.spread_db:.2f} | {seconds:.1f} |", flush=True)
        print(f"\n{name}: {report.noise.describe_channel(0)}\n")


if __name__ == "__main__":
    main()
