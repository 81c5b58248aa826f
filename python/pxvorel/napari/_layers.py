"""napari image layers in pxvorel's terms: the axes of a layer, and the denoised layer made from it.

Only napari's layer model is used here (no Qt), so that the widget's logic can be read
apart from its controls.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from napari.layers import Image

#: Axis labels napari users commonly set (lower case), and the axis letter each one means.
LABEL_AXES = {
    "t": "T",
    "time": "T",
    "frame": "T",
    "c": "C",
    "ch": "C",
    "channel": "C",
    "z": "Z",
    "depth": "Z",
    "plane": "Z",
    "slice": "Z",
    "y": "Y",
    "x": "X",
}

#: Axes of a layer without recognisable labels, by its number of dimensions (napari keeps
#: channels in separate layers, so a 4-D layer is read as a time-lapse of stacks; a 5-D one
#: is in the order of an ImageJ hyperstack).
AXES_BY_NDIM = {1: "X", 2: "YX", 3: "ZYX", 4: "TZYX", 5: "TZCYX"}


def guess_axes(ndim: int, *, rgb: bool = False, labels: tuple[str, ...] = ()) -> str:
    """The axes string of a napari image layer (a guess that the user can edit).

    Parameters
    ----------
    ndim : int
        The layer's number of dimensions (napari does not count an RGB(A) axis).
    rgb : bool
        Whether the layer's last data axis holds RGB(A) samples: it becomes C.
    labels : tuple of str
        The layer's axis labels; used when each one names a distinct axis ("t", "time",
        "z", "y", "x", ...), otherwise the axes follow from `ndim`.

    Examples
    --------
    >>> guess_axes(3, labels=("t", "y", "x"))
    'TYX'
    >>> guess_axes(3, labels=("-3", "-2", "-1"))
    'ZYX'
    >>> guess_axes(2, rgb=True)
    'YXC'
    """
    letters = "".join(LABEL_AXES.get(str(label).strip().lower(), "?") for label in labels)
    named = len(letters) == ndim and "?" not in letters and len(set(letters)) == ndim
    if named and not (rgb and "C" in letters):
        axes = letters
    else:
        axes = AXES_BY_NDIM.get(ndim, "")
    return axes + "C" if rgb else axes


def layer_axes(layer: Image) -> str:
    """:func:`guess_axes` for a napari image layer."""
    return guess_axes(layer.ndim, rgb=bool(layer.rgb), labels=tuple(layer.axis_labels))


def denoised_layer(source: Image, data: np.ndarray, metadata: dict[str, Any]) -> Image:
    """A new image layer "<name> denoised" aligned with `source` and displayed like it.

    It keeps the source's scale, translate, rotation, shear, affine transform, axis
    labels, units, contrast limits, colormap, gamma and blending, so that the two can be
    compared in place or side by side. `metadata` is stored under the key "pxvorel".
    """
    from napari.layers import Image

    display: dict[str, Any] = {"rgb": source.rgb, "gamma": source.gamma}
    if not source.rgb:
        display["colormap"] = source.colormap
    return Image(
        data,
        name=f"{source.name} denoised",
        scale=source.scale,
        translate=source.translate,
        rotate=source.rotate,
        shear=source.shear,
        affine=source.affine,
        axis_labels=source.axis_labels,
        units=source.units,
        contrast_limits=source.contrast_limits,
        blending=source.blending,
        metadata={"pxvorel": metadata},
        **display,
    )
