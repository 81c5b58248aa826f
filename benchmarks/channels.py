"""Joint against separate channels: a patch spanning all channels, or every channel on its own.

Synthetic data with known clean images (PSNR per channel and overall, the benchmark's
three co-localised channels of different noise, and two unrelated channels), and the
multi-channel real images of ../shared/data (no clean image: Stein's unbiased risk
estimate of the PSNR gain over the input, per channel, and the mean change of the
denoising, |denoised - input| averaged and divided by the channel's noise standard
deviation: how strongly each channel was denoised). All runs with the default settings
(the second stage included) and the noise model ``denoise`` chooses (``noise="auto"``).

    tools/py314 python3 benchmarks/channels.py [--threads N] [--quick]
"""

from __future__ import annotations

import argparse
import time
import warnings
from pathlib import Path

import numpy as np

import pxvorel
from vs_peers import psnr, smooth_scene

DATA = Path(__file__).resolve().parents[1] / ".." / "shared" / "data"
REAL = [("2dc_hela_dna_tubulin_actin_3ch_u16.tif", "CYX"), ("2dc_u2os_bbbc022_3ch_u16.tif", "CYX"),
        ("2dc_nuclei_golgi_u16.tif", "CYX"), ("3dc_spots_2ch_u16.tif", "ZCYX")]


def synthetic(side: int) -> list[tuple[str, np.ndarray, np.ndarray, pxvorel.NoiseModel]]:
    rng = np.random.default_rng(1)
    sigmas = [10.0, 20.0, 5.0]
    same = np.stack([smooth_scene((side, side), 3) * k for k in (1.0, 0.6, 1.4)])
    unrelated = np.stack([smooth_scene((side, side), 4), smooth_scene((side, side), 11) * 0.5])
    cases = []
    for name, clean, sigma in ((f"3 co-localised channels {side}², σ 10/20/5", same, sigmas),
                               (f"2 unrelated channels {side}², σ 10/10", unrelated, [10.0, 10.0])):
        noisy = (clean + rng.normal(0.0, 1.0, clean.shape) * np.array(sigma).reshape(-1, 1, 1)).astype(np.float32)
        cases.append((name, clean, noisy, pxvorel.NoiseModel.gaussian(sigma)))
    return cases


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--quick", action="store_true", help="128² synthetic channels instead of 256²")
    args = parser.parse_args()

    print("## Synthetic channels (PSNR dB per channel against the clean image; overall over all channels)\n")
    print("| data | channels | PSNR per channel | overall PSNR | estimated gain (dB) | seconds |")
    print("|---|---|---|---|---|---|")
    for name, clean, noisy, model in synthetic(128 if args.quick else 256):
        for mode in ("joint", "separate"):
            start = time.perf_counter()
            result, report = pxvorel.denoise(noisy, axes="CYX", noise=model, channels=mode, threads=args.threads,
                                             quality=True, return_report=True)
            seconds = time.perf_counter() - start
            per = ", ".join(f"{psnr(c, r):.2f}" for c, r in zip(clean, result, strict=True))
            assert report.quality is not None
            print(f"| {name} | {mode} | {per} | {psnr(clean, result):.2f} | {report.quality.gain_db:.2f} | "
                  f"{seconds:.1f} |", flush=True)

    print("\n## Real multi-channel images (estimated PSNR gain over the input ± one standard error, and the "
          "mean change in noise standard deviations, per channel)\n")
    print("| image | channels | estimated gain per channel (dB) | mean change per channel | seconds |")
    print("|---|---|---|---|---|")
    for file, axes in REAL:
        path = DATA / file
        if not path.exists():
            print(f"| {file} | (absent) | | | |")
            continue
        image = pxvorel.read_image(path, axes=axes)
        c_axis = axes.index("C")
        for mode in ("joint", "separate"):
            start = time.perf_counter()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # a channel falling back to Gaussian noise: the same in both modes
                result, report = pxvorel.denoise(image.data, axes=axes, channels=mode, threads=args.threads,
                                                 quality=True, return_report=True)
            seconds = time.perf_counter() - start
            model, quality = report.noise, report.quality
            assert quality is not None
            gains = ", ".join(f"{quality.channel_gain_db(i):.2f} ± "
                              f"{4.343 * quality.mse_spread[i] / quality.mse[i]:.2f}" for i in range(len(quality.mse)))
            changes = []
            for c in range(image.data.shape[c_axis]):
                noisy = np.take(image.data, c, axis=c_axis).astype(np.float64)
                denoised = np.take(result, c, axis=c_axis).astype(np.float64)
                std = float(np.sqrt(np.mean(np.maximum(model.gain[c] * noisy + model.offset[c], 0.0))))
                changes.append(f"{np.mean(np.abs(denoised - noisy)) / std:.2f}")
            print(f"| {file} | {mode} | {gains} | {', '.join(changes)} | {seconds:.1f} |", flush=True)


if __name__ == "__main__":
    main()
