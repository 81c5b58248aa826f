"""The demo's synthetic time-lapse as napari sample data."""

from __future__ import annotations

from typing import Any

from pxvorel.demo import FRAME_INTERVAL_S, PIXEL_SIZE_UM, synthetic_series


def demo_time_lapse(frames: int = 24, size: int = 256) -> list[tuple[Any, dict[str, Any], str]]:
    """The noisy and the clean synthetic time-lapse of ``pxvorel demo`` as two image layers.

    By default 24 frames of 256 x 256 pixels (T, Y, X) with the demo's camera noise
    (gain 2 ADU per photon, baseline 100 ADU, read noise 4 ADU), at the demo's pixel
    size and frame interval, both shown with the clean series' display range.
    """
    scene = synthetic_series(frames, size)
    low, high = float(scene.clean.min()), float(scene.clean.max())
    common: dict[str, Any] = {
        "scale": (FRAME_INTERVAL_S, PIXEL_SIZE_UM, PIXEL_SIZE_UM),
        "axis_labels": ("t", "y", "x"),
        "units": ("second", "micrometer", "micrometer"),
        "contrast_limits": (low, high),
        "colormap": "magma",
    }
    return [
        (scene.noisy, {"name": "demo noisy", **common}, "image"),
        (scene.clean, {"name": "demo clean", "visible": False, **common}, "image"),
    ]
