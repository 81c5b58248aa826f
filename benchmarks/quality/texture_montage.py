"""Montages of a judged background: the input, the default output and the Gaussian blur of the
same noise reduction side by side, at one contrast, as PNG files to look at.

The first row is stretched on the background as a microscopist stretches it to look for faint
structure (the blur's 0.5 to 99.5 % over the background, widened by a fifth on both sides: the
blur holds the same noise as the output, but no structure of its own); the second row shows
the same planes at the input's own background range. The background's edge is outlined in the
input of the second row. A second montage zooms in on the part of the background where the
output's fine texture exceeds the blur's the most (:func:`hotspot`).
"""

from __future__ import annotations

from pathlib import Path

import matplotlib
from scipy import ndimage

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import numpy.typing as npt

Plane = npt.NDArray[np.float64]


def _range(values: Plane, widen: float) -> tuple[float, float]:
    low, high = np.percentile(values, [0.5, 99.5])
    margin = widen * (high - low)
    return float(low - margin), float(high + margin)


def save(path: Path, title: str, planes: dict[str, Plane], background: npt.NDArray[np.bool_]) -> None:
    """Write the montage of `planes` ("input", "output", "blur"; one (Y, X) plane each, or a crop
    of it) with `background` (a mask of the plane) to `path`."""
    blur_range = _range(planes["blur"][background] if background.any() else planes["blur"].ravel(), 0.2)
    input_range = _range(planes["input"][background] if background.any() else planes["input"].ravel(), 0.0)
    height, width = background.shape
    zoom = max(1, 320 // max(height, width))
    inches = (3 * width * zoom + 40) / 100, (2 * height * zoom + 60) / 100
    figure, cells = plt.subplots(2, 3, figsize=inches, squeeze=False)
    for row, limits in enumerate((blur_range, input_range)):
        for column, (name, plane) in enumerate(planes.items()):
            cell = cells[row, column]
            cell.imshow(plane, cmap="gray", vmin=limits[0], vmax=limits[1], interpolation="nearest")
            if row == 1 and name == "input" and not background.all():
                cell.contour(background, levels=[0.5], colors="red", linewidths=0.5)
            cell.set_axis_off()
            if row == 0:
                cell.set_title(name, fontsize=8)
    figure.suptitle(title, fontsize=8, y=1 - 8 / (100 * inches[1]), va="top")
    figure.subplots_adjust(
        left=0.005, right=0.995, bottom=0.005, top=1 - 40 / (100 * inches[1]), wspace=0.01, hspace=0.01
    )
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=100)
    plt.close(figure)


def file_name(case: str, channel: int | None, part: str = "") -> str:
    """A PNG file name for a case (and channel, and part of the montage)."""
    stem = "".join(c if c.isalnum() else "_" for c in case.lower()).strip("_")
    while "__" in stem:
        stem = stem.replace("__", "_")
    return f"{stem}{f'_c{channel}' if channel is not None else ''}{f'_{part}' if part else ''}.png"


def hotspot(output: Plane, blur: Plane, background: npt.NDArray[np.bool_], side: int) -> tuple[int, int] | None:
    """The corner (Y, X) of the `side` x `side` window of the background where the output's fine
    texture (less its blur of sd 1) holds the most energy over the blur's there; None when no
    window lies within the background."""

    def fine(plane: Plane) -> Plane:
        energy: Plane = ndimage.uniform_filter((plane - ndimage.gaussian_filter(plane, 1.0)) ** 2, side)
        return energy

    inside = ndimage.uniform_filter(background.astype(np.float64), side) > 1.0 - 1e-9
    height, width = background.shape
    fits = np.zeros_like(inside)
    fits[side // 2 : height - side + side // 2 + 1, side // 2 : width - side + side // 2 + 1] = True
    inside &= fits
    if not inside.any():
        return None
    ratio = np.where(inside, fine(output) / np.maximum(fine(blur), np.finfo(np.float64).tiny), -np.inf)
    y, x = np.unravel_index(int(np.argmax(ratio)), ratio.shape)
    return int(y) - side // 2, int(x) - side // 2
