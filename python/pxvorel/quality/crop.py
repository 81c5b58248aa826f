"""The part of an image that tuning runs on: central, and small enough to try several settings."""

from __future__ import annotations

#: Side (Y and X) of the crop of a single plane, and of a stack or time series.
PLANE_SIDE = 256
STACK_SIDE = 128
#: Planes (Z times T) in the crop of a stack or time series.
STACK_PLANES = 16


def _central(size: int, length: int) -> slice:
    length = min(size, length)
    start = (size - length) // 2
    return slice(start, start + length)


def tuning_crop(shape: tuple[int, ...]) -> tuple[slice, ...]:
    """Central crop of a (T, C, Z, Y, X) image: 256 x 256 of a plane, 16 planes of 128 x 128
    of a stack or time series (of both: 3 frames of up to 5 planes), all channels; the whole
    image when smaller. A crop along Z or T keeps at least 3 planes, room for a patch of radius 1."""
    t, _, z, y, x = shape
    if t * z == 1:
        return (slice(None), slice(None), slice(None), _central(y, PLANE_SIDE), _central(x, PLANE_SIDE))
    planes_t = min(t, 3 if z > 1 else STACK_PLANES)
    planes_z = min(z, max(3, STACK_PLANES // planes_t))
    return (_central(t, planes_t), slice(None), _central(z, planes_z), _central(y, STACK_SIDE), _central(x, STACK_SIDE))
