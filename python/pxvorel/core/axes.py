"""Axis bookkeeping: from the caller's axis order to the engine's (T, C, Z, Y, X) and back.

The native module maps arrays of one to five dimensions to (X), (Y, X), (Z, Y, X),
(C, Z, Y, X) and (T, C, Z, Y, X). Callers hold their data in whatever order their
files or pipelines use ("TYX", "CYX", "TZCYX", ...). An :class:`AxisPlan` records how
to transpose such an array and insert size-1 axes so that the engine always receives
a 5-D (T, C, Z, Y, X) array, and how to undo that on the way back.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TypeVar

import numpy as np
import numpy.typing as npt

_Sample = TypeVar("_Sample", bound=np.generic)

#: The engine's axis order (NumPy order, slowest first).
ENGINE_AXES = "TCZYX"

#: Default axes by dimension count, as the native module maps plain arrays.
DEFAULT_AXES = {1: "X", 2: "YX", 3: "ZYX", 4: "CZYX", 5: "TCZYX"}


def default_axes(ndim: int) -> str:
    """Return the axes the native module assumes for an array of `ndim` dimensions."""
    if ndim < 1:
        raise ValueError("a 0-D array (a single number) cannot be denoised; give an image of 1 to 5 dimensions")
    if ndim > 5:
        raise ValueError(f"a {ndim}-D array has too many dimensions: pxvorel handles at most 5 axes (T, C, Z, Y, X)")
    return DEFAULT_AXES[ndim]


def normalize_axes(axes: str | None, ndim: int) -> str:
    """Validate an axes string for an array of `ndim` dimensions and return it in upper case.

    Raises
    ------
    ValueError
        When the array has no or more than five dimensions, or when `axes` has the wrong
        length, unknown letters or a repeated letter.
    """
    if axes is None:
        return default_axes(ndim)
    default_axes(ndim)  # rejects 0-D and 6-D arrays with the same messages
    if not isinstance(axes, str):
        raise ValueError(f"axes must be a string such as 'TYX', not {type(axes).__name__}")
    upper = axes.upper()
    unknown = sorted(set(upper) - set(ENGINE_AXES))
    if unknown:
        raise ValueError(
            f"axes {axes!r} has unknown letter(s) {''.join(unknown)!r}: use T, C, Z, Y and X "
            "(time, channel, depth, height, width)"
        )
    repeated = sorted({a for a in upper if upper.count(a) > 1})
    if repeated:
        raise ValueError(f"axes {axes!r} names axis {''.join(repeated)!r} more than once")
    if len(upper) != ndim:
        raise ValueError(f"axes {axes!r} names {len(upper)} axes but the image has {ndim} dimensions")
    return upper


#: Without ``axes``, an array of three or more dimensions whose first axis is this long or
#: shorter, or whose last axis is RGB_LIKE or shorter, has no default: its first axis may be
#: channels, frames or slices, its last axis colour samples.
DOUBTFUL_FIRST = 16
RGB_LIKE = 4


def doubtful_axes(shape: tuple[int, ...]) -> list[str]:
    """The axes strings an array of `shape` may have when its default is in doubt (see
    DOUBTFUL_FIRST), or an empty list when the default (:data:`DEFAULT_AXES`) is safe.

    Examples
    --------
    >>> doubtful_axes((3, 256, 256))
    ['CYX', 'TYX', 'ZYX']
    >>> doubtful_axes((256, 256, 3))
    ['YXC', 'ZYX']
    >>> doubtful_axes((64, 256, 256))
    []
    """
    ndim = len(shape)
    if ndim < 3 or ndim > 5:
        return []
    candidates: list[str] = []
    if shape[-1] <= RGB_LIKE:
        candidates += {3: ["YXC"], 4: ["ZYXC", "TYXC"], 5: ["TZYXC"]}[ndim]
    if ndim == 3 and shape[0] <= DOUBTFUL_FIRST:
        candidates += ["CYX", "TYX"]
    elif ndim == 4 and shape[0] <= DOUBTFUL_FIRST and shape[1] > RGB_LIKE:
        candidates += ["TZYX", "ZCYX"]
    if not candidates:
        return []
    return sorted({*candidates, DEFAULT_AXES[ndim]})


@dataclass(frozen=True)
class AxisPlan:
    """How an array in the caller's axis order becomes the engine's 5-D array and back."""

    axes: str
    """The caller's axes, upper case, one letter per dimension."""
    shape: tuple[int, ...]
    """The caller's shape."""

    @classmethod
    def for_array(cls, shape: tuple[int, ...], axes: str | None) -> AxisPlan:
        """The plan of an array of `shape` with `axes` (by default by dimension count).

        Raises
        ------
        ValueError
            For bad axes, and when `axes` is not given for a shape whose default is in
            doubt (see :func:`doubtful_axes`): the message names the candidates.
        """
        if axes is None:
            candidates = doubtful_axes(tuple(shape))
            if candidates:
                raise ValueError(
                    f"the axes of an array of shape {tuple(shape)} cannot be told from its shape: pass axes= "
                    "(--axes on the command line), "
                    f"e.g. one of {', '.join(repr(c) for c in candidates)} (T time, C channel, Z depth)"
                )
        return cls(normalize_axes(axes, len(shape)), tuple(int(n) for n in shape))

    @property
    def _present(self) -> str:
        """The caller's axes in engine order."""
        return "".join(a for a in ENGINE_AXES if a in self.axes)

    @property
    def engine_shape(self) -> tuple[int, int, int, int, int]:
        """The (T, C, Z, Y, X) shape the engine sees."""
        sizes = dict(zip(self.axes, self.shape, strict=True))
        t, c, z, y, x = (sizes.get(a, 1) for a in ENGINE_AXES)
        return t, c, z, y, x

    def size(self, axis: str) -> int:
        """Length of one named axis (1 when the caller's array does not have it)."""
        return self.engine_shape[ENGINE_AXES.index(axis)]

    def to_engine(self, image: npt.NDArray[_Sample]) -> npt.NDArray[_Sample]:
        """A (T, C, Z, Y, X) view of `image` (no copy; transposed and with size-1 axes)."""
        order = [self.axes.index(a) for a in self._present]
        return np.transpose(image, order).reshape(self.engine_shape)

    def from_engine(self, engine: npt.NDArray[_Sample]) -> npt.NDArray[_Sample]:
        """The caller's axis order and shape of a (T, C, Z, Y, X) array (a view when possible)."""
        present = self._present
        sizes = dict(zip(self.axes, self.shape, strict=True))
        squeezed = engine.reshape([sizes[a] for a in present])
        return np.transpose(squeezed, [present.index(a) for a in self.axes])
