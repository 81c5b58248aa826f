"""Montages to look at: every image of a folder next to its denoised version.

Textures the denoiser invents (streaks, stripes, painted patches) show there.

For each TIFF in the folder (the real images of ``benchmarks.data`` by default), read with its axes, denoised
with the defaults (or the keywords given), one PNG per image in the output folder: per
channel, the middle plane (and middle frame) of the input and of the result, whole and
a 4x zoom on the centre, both with the input's 0.5-99.5 % display range; the noise model of
each channel is printed, and for every plane shown the ratio of the energy of vertical to
horizontal neighbour differences (horizontal streaks raise it well above the input's and
the high-SNR partner's). Where a
``*_lowsnr_*`` image has a ``*_highsnr_*`` partner, the partner's plane is shown too.

    tools/py314 python3 -m benchmarks.validation.montage [FOLDER] [--out build/scratch/montages] \
        [--set refine=False --set tune=True ...]
"""

from __future__ import annotations

import argparse
import ast
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import pxvorel
from benchmarks.data import DATA, ROOT, image_files
from pxvorel.io import read_image


def planes(data: np.ndarray, axes: str) -> list[np.ndarray]:
    """One 2-D (Y, X) plane per channel: the middle of every other axis."""
    index = {a: n // 2 for a, n in zip(axes, data.shape, strict=True) if a not in "CYX"}
    taken = data[tuple(index.get(a, slice(None)) for a in axes)]
    kept = [a for a in axes if a in "CYX"]
    if "C" not in kept:
        return [np.asarray(taken, np.float32)]
    return [np.asarray(p, np.float32) for p in np.moveaxis(taken, kept.index("C"), 0)]


def streaks(plane: np.ndarray) -> float:
    """Mean squared difference of vertical neighbours over that of horizontal ones: about 1
    for isotropic detail (and noise), well above 1 where horizontal streaks were invented."""
    p = plane.astype(np.float64)
    return float(np.mean(np.diff(p, axis=0) ** 2) / max(float(np.mean(np.diff(p, axis=1) ** 2)), 1e-300))


def zoom(plane: np.ndarray) -> np.ndarray:
    h, w = plane.shape
    dh, dw = max(h // 8, 8), max(w // 8, 8)
    return plane[h // 2 - dh : h // 2 + dh, w // 2 - dw : w // 2 + dw]


def montage(path: Path, out: Path, keywords: dict[str, object]) -> None:
    image = read_image(path)
    denoised, model = pxvorel.denoise(image.data, axes=image.axes, return_noise=True, **keywords)
    for c in range(model.channels):
        print(f"{path.name} channel {c}: {model.describe_channel(c)}", flush=True)
    columns = {"input": planes(image.data, image.axes), "denoised": planes(denoised, image.axes)}
    partner = path.with_name(path.name.replace("_lowsnr_", "_highsnr_"))
    if partner != path and partner.exists():
        high = read_image(partner)
        columns["high SNR"] = planes(high.data, high.axes)
    for c in range(len(columns["input"])):
        ratios = ", ".join(f"{name} {streaks(shown[c]):.2f}" for name, shown in columns.items())
        print(f"{path.name} channel {c}: vertical / horizontal fine-difference energy: {ratios}", flush=True)
    rows = len(columns["input"])
    figure, cells = plt.subplots(rows, 2 * len(columns), figsize=(4 * len(columns) * 2, 4 * rows), squeeze=False)
    for c in range(rows):
        low, top = np.percentile(columns["input"][c], [0.5, 99.5])
        for k, (name, shown) in enumerate(columns.items()):
            limits = (low, top) if name != "high SNR" else tuple(np.percentile(shown[c], [0.5, 99.5]))
            for j, picture in enumerate((shown[c], zoom(shown[c]))):
                cell = cells[c, 2 * k + j]
                cell.imshow(picture, cmap="gray", vmin=limits[0], vmax=limits[1], interpolation="nearest")
                cell.set_title(f"{name}{' (zoom)' if j else ''}, channel {c}", fontsize=9)
                cell.axis("off")
    figure.suptitle(f"{path.name} ({image.axes} {image.data.shape}) {keywords or 'defaults'}", fontsize=10)
    figure.tight_layout()
    figure.savefig(out / f"{path.stem}.png", dpi=80)
    plt.close(figure)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", nargs="?", type=Path, default=DATA)
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "scratch" / "montages")
    parser.add_argument("--only", help="only images whose name contains this")
    parser.add_argument(
        "--set",
        action="append",
        default=[],
        metavar="NAME=VALUE",
        help="a keyword of pxvorel.denoise, e.g. refine=False (repeatable)",
    )
    args = parser.parse_args()
    keywords = {k: ast.literal_eval(v) for k, v in (item.split("=", 1) for item in args.set)}
    args.out.mkdir(parents=True, exist_ok=True)
    for path in image_files(args.folder):
        if "_highsnr_" in path.name or (args.only and args.only not in path.name):
            continue
        montage(path, args.out, keywords)
        print(f"{args.out / (path.stem + '.png')}", flush=True)


if __name__ == "__main__":
    main()
