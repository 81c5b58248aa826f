"""A pointwise function over a large array, a few planes or rows at a time.

The stabilising transforms and their inverses compute in double precision, with several
temporaries per call. Applied to a slab of a fixed number of samples at a time, those
temporaries stay small beside any image, planes included; each value is transformed on
its own, so the result is the same as one call on the whole array.
"""

from __future__ import annotations

import math
from collections.abc import Callable

import numpy as np

#: Samples a transform takes at a time (8 bytes a sample in each temporary).
SLAB_SAMPLES = 1 << 14


def in_slabs(
    transform: Callable[[np.ndarray], np.ndarray], source: np.ndarray, target: np.ndarray, samples: int = SLAB_SAMPLES
) -> None:
    """target = transform(source) for (T, Z, Y, X) arrays, a few planes, or a few rows of a
    plane, at a time: about `samples` samples per call (`target` may be `source`: a slab is
    read whole before it is written)."""
    frames, depth, height = source.shape[:3]
    plane = max(math.prod(source.shape[2:]), 1)
    if plane <= samples:
        step = samples // plane
        for t in range(frames):
            for z in range(0, depth, step):
                target[t, z : z + step] = transform(source[t, z : z + step])
        return
    rows = max(1, samples // max(math.prod(source.shape[3:]), 1))
    for t in range(frames):
        for z in range(depth):
            for y in range(0, height, rows):
                target[t, z, y : y + rows] = transform(source[t, z, y : y + rows])
