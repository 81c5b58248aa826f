"""Tuned against default settings, and the estimated against the true PSNR.

On the benchmarks' synthetic data (a 2-D image at two noise levels, three channels of
different noise, a z-stack and a Poisson-Gaussian time-lapse), with the known noise and one
thread:

- PSNR of ``pxvorel.denoise`` with its defaults and with ``tune=True`` (the setting chosen,
  and the CPU seconds of each run, the estimate's extra run included);
- the PSNR that ``quality=True`` estimates without the clean image (from the estimated mean
  squared error and the clean data's range, as the true PSNR is computed), with one
  standard error, against the true PSNR, for both runs.

Then the real noisy/clean pairs (when present): the low-SNR image with the noise estimated,
default against tuned, scored against the high-SNR image after an affine intensity fit, with
the estimated gain over the input, next to the input itself, a Gaussian blur with the best
sigma and OpenCV's fastNlMeansDenoising with the best h (both chosen against the high-SNR
image, which no denoiser has), and the noise model the default call uses.

    tools/py314 python3 -m benchmarks.quality.tuning [--quick] [--pairs]
"""

from __future__ import annotations

import argparse

import cv2
import numpy as np
from scipy import ndimage

import pxvorel
from benchmarks.data import Case, benchmark_cases, real_pairs, with_sigma
from benchmarks.measures import affine_psnr, estimated_psnr, psnr
from benchmarks.timing import cpu
from pxvorel.quality.candidates import label


def cases(quick: bool) -> list[Case]:
    """The benchmark cases, the 2-D image also at sigma 10."""
    found = benchmark_cases(quick)
    return [found[0], with_sigma(found[0], 10.0, seed=5), *found[1:]]


def synthetic(quick: bool) -> None:
    print("| data | run | setting | PSNR dB | estimated PSNR dB | estimate − true | CPU s |")
    print("|---|---|---|---|---|---|---|")
    for case in cases(quick):
        for run, tune in (("defaults", False), ("tuned", True)):
            seconds, (result, report) = cpu(
                lambda tune=tune: pxvorel.denoise(
                    case.noisy, axes=case.axes, noise=case.noise, threads=1, tune=tune, quality=True, return_report=True
                )
            )
            true = psnr(case.clean, result)
            estimate, spread = estimated_psnr(case.clean, report)
            print(
                f"| {case.name} | {run} | {label(report.settings)} | {true:.2f} | {estimate:.2f} ± {spread:.2f} | "
                f"{estimate - true:+.2f} | {seconds:.1f} |",
                flush=True,
            )


def pairs() -> None:
    print("\n| real pair | run | setting | PSNR dB (affine fit to the high-SNR image) | estimated gain dB | CPU s |")
    print("|---|---|---|---|---|---|")
    for name, low, high in real_pairs():
        noisy, clean = (image.read().data.astype(np.float32) for image in (low, high))
        print(f"| {name} | input | | {affine_psnr(clean, noisy):.2f} | | |")
        blur = max((affine_psnr(clean, ndimage.gaussian_filter(noisy, s)), s) for s in np.arange(0.5, 4.01, 0.25))
        print(f"| {name} | Gaussian blur, best sigma | sigma {blur[1]:.2f} | {blur[0]:.2f} | | |")
        raw = np.clip(noisy, 0, 255).astype(np.uint8)
        nlm = max(
            (affine_psnr(clean, cv2.fastNlMeansDenoising(raw, h=float(h)).astype(np.float32)), h)
            for h in (*range(2, 40, 2), *range(40, 101, 10))
        )
        print(f"| {name} | OpenCV fastNlMeansDenoising, best h | h {nlm[1]} | {nlm[0]:.2f} | | |")
        result = pxvorel.denoise(noisy, axes="YX", threads=1, refine=False)
        print(f"| {name} | engine alone (refine=False) | | {affine_psnr(clean, result):.2f} | | |", flush=True)
        for run, tune in (("defaults", False), ("tuned", True)):
            seconds, (result, report) = cpu(
                lambda tune=tune: pxvorel.denoise(
                    noisy, axes="YX", threads=1, tune=tune, quality=True, return_report=True
                )
            )
            assert report.quality is not None
            print(
                f"| {name} | {run} | {label(report.settings)} | {affine_psnr(clean, result):.2f} | "
                f"{report.quality.gain_db:.2f} ± {report.quality.spread_db:.2f} | {seconds:.1f} |",
                flush=True,
            )
        print(f"\n{name}: {report.noise.describe_channel(0)}\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="the smaller synthetic data")
    parser.add_argument("--pairs", action="store_true", help="the real pairs only")
    args = parser.parse_args()
    if not args.pairs:
        synthetic(args.quick)
    pairs()


if __name__ == "__main__":
    main()
