"""Joint against separate channels: a patch spanning all channels, or every channel on its own.

Synthetic data with known clean images (PSNR per channel and overall: three co-localised
channels of different noise, and two unrelated channels), and the multi-channel real images
(no clean image: Stein's unbiased risk estimate of the PSNR gain over the input, per channel,
and the mean change of the denoising, |denoised - input| averaged and divided by the
channel's noise standard deviation: how strongly each channel was denoised). All runs with
the default settings (the second stage included); the synthetic data with its known noise,
the real images with the noise model ``denoise`` chooses (``noise="auto"``).

    tools/py314 python3 -m benchmarks.quality.channels [--threads N] [--quick]
"""

from __future__ import annotations

import argparse
import time
import warnings

import numpy as np

import pxvorel
from benchmarks.data import channel_cases, real_image
from benchmarks.measures import psnr

#: The real multi-channel images (their axes from ``benchmarks.data``).
REAL = [
    "2dc_hela_dna_tubulin_actin_3ch_u16.tif",
    "2dc_u2os_bbbc022_3ch_u16.tif",
    "2dc_nuclei_golgi_u16.tif",
    "3dc_spots_2ch_u16.tif",
]
MODES = ("joint", "separate")


def synthetic(side: int, threads: int) -> None:
    print("## Synthetic channels (PSNR dB per channel against the clean image; overall over all channels)\n")
    print("| data | channels | PSNR per channel | overall PSNR | estimated gain (dB) | seconds |")
    print("|---|---|---|---|---|---|")
    for case in channel_cases(side):
        for mode in MODES:
            start = time.perf_counter()
            result, report = pxvorel.denoise(
                case.noisy,
                axes=case.axes,
                noise=case.noise,
                channels=mode,
                threads=threads,
                quality=True,
                return_report=True,
            )
            seconds = time.perf_counter() - start
            per = ", ".join(f"{psnr(c, r):.2f}" for c, r in zip(case.clean, result, strict=True))
            assert report.quality is not None
            print(
                f"| {case.name} | {mode} | {per} | {psnr(case.clean, result):.2f} | {report.quality.gain_db:.2f} | "
                f"{seconds:.1f} |",
                flush=True,
            )


def real(threads: int) -> None:
    print(
        "\n## Real multi-channel images (estimated PSNR gain over the input ± one standard error, and the "
        "mean change in noise standard deviations, per channel)\n"
    )
    print("| image | channels | estimated gain per channel (dB) | mean change per channel | seconds |")
    print("|---|---|---|---|---|")
    for entry in map(real_image, REAL):
        if not entry.exists():
            print(f"| {entry.file} | (absent) | | | |")
            continue
        image = entry.read()
        c_axis = image.axes.index("C")
        for mode in MODES:
            start = time.perf_counter()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # a channel falling back to Gaussian noise: the same in both modes
                result, report = pxvorel.denoise(
                    image.data, axes=image.axes, channels=mode, threads=threads, quality=True, return_report=True
                )
            seconds = time.perf_counter() - start
            model, quality = report.noise, report.quality
            assert quality is not None
            gains = ", ".join(
                f"{quality.channel_gain_db(i):.2f} ± {4.343 * quality.mse_spread[i] / quality.mse[i]:.2f}"
                for i in range(len(quality.mse))
            )
            changes = []
            for c in range(image.data.shape[c_axis]):
                noisy = np.take(image.data, c, axis=c_axis).astype(np.float64)
                denoised = np.take(result, c, axis=c_axis).astype(np.float64)
                std = float(np.sqrt(np.mean(np.maximum(model.gain[c] * noisy + model.offset[c], 0.0))))
                changes.append(f"{np.mean(np.abs(denoised - noisy)) / std:.2f}")
            print(f"| {entry.file} | {mode} | {gains} | {', '.join(changes)} | {seconds:.1f} |", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--quick", action="store_true", help="128² synthetic channels instead of 256²")
    args = parser.parse_args()
    synthetic(128 if args.quick else 256, args.threads)
    real(args.threads)


if __name__ == "__main__":
    main()
