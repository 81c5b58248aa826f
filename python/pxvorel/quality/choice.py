"""The default call's own choice on a plane: the default setting or a finer one, by the
estimated error of both on a few small tiles.

On microscopy planes of smooth or blob-like objects (nuclei, HeLa, the benchmark's three
channels) the default setting (patch radius 2, p-value 1e-5) is best; on fine filaments,
spots and natural images (microtubules, ER exit sites, the camera image) radius 1 with
p-value 0.05 is, by 0.1 to 1 dB (benchmarks/defaults_by_kind.py). Both are run on the
same tiles with the same probe and compared: the difference of two estimates on the same
noise is far more precise than either. Tiles spread over the image on a grid see what it
mostly shows, where one central crop may not (the camera image's centre is a dark coat).

The tiles hold at most ``SHARE`` of the image, so that their four runs add at most about a
quarter of one whole run; a plane too small for two tiles keeps the default, as does one
whose estimate cannot be relied on (see :class:`~pxvorel.quality.tune.Tuning`). Stacks and
time-lapses keep their defaults: tiles of them cost more, and the defaults were best or
within the estimate's spread on the ones measured.
"""

from __future__ import annotations

import dataclasses
import functools
import math
from collections.abc import Callable

import numpy as np

from pxvorel.noise.model import NoiseModel
from pxvorel.quality.sure import UnitDenoiser, estimate_risk
from pxvorel.quality.tune import Tuning, clipped_channels
from pxvorel.run.engine import denoise_unit
from pxvorel.run.settings import Settings
from pxvorel.run.unit import UnitImage

#: The finer setting: patch radius in X and Y, iterations, p-value (3 iterations: as cheap as
#: the default's 4 at radius 2, 0.15 dB short of 4 on the camera image at sigma 25, equal at 10).
#: Its result keeps more noise, and the second stage runs two passes after it (marked ``fine``;
#: :data:`pxvorel.run.refine.FINE_PLANE_BLOCKS`): the camera image at sigma 25 29.46 dB, at 10
#: 33.88 (one pass: 29.40, 33.84). With 4 iterations and one pass it gives 29.55 and 33.85, but
#: the engine takes 0.46 CPU s instead of 0.18 on that 512² plane (one thread), and the default
#: call would cost about 2.3 times the engine alone with the earlier defaults (0.31 s) instead
#: of about 1.4 times (benchmarks/defaults_by_kind.py, benchmarks/vs_bm3d.py).
FINER = (1, 3, 0.05)
#: Side of the square tiles the settings are compared on, spread over the plane on a grid
#: (a central crop alone can miss what the image mostly shows), and their number at most.
TILE = 64
MAX_TILES = 16
#: The tiles hold at most this share of the plane's samples.
SHARE = 1 / 16
#: The default setting wins only where its estimated error is lower by more than this share:
#: on near-ties the setting that averages less (and invents less texture) is kept. On four
#: tiles the estimates of a close pair scatter by a few per cent (the camera image at sigma
#: 25: 0.124 against 0.126 on four tiles, 0.1155 against 0.1154 on six, where the finer
#: setting is 0.2 dB better on the whole image); on nuclei the default wins by 20 to 30 %.
MARGIN = 0.05
#: Note: the tiles compare both settings with one pass of the second stage, though the finer one is
#: then run with two: with two on the tiles, near-ties tip towards the finer setting where it
#: is worse on the whole image (real U2OS channels: estimated error 0.162 against 0.156 on
#: the tiles, within the margin, and 8.14 dB of estimated gain on the whole image against
#: 8.33 with the default setting, which one pass on the tiles keeps, 0.194 against 0.156).
#: So the choice falls as it did with one pass everywhere, and where the finer setting wins
#: its second pass adds (camera image +0.06 / +0.04 dB, real ER exit sites +0.2 estimated).


def tile_corners(shape: tuple[int, ...]) -> list[tuple[int, int]]:
    """(Y, X) corners of the tiles of a (T, C, Z, Y, X) plane; none for a stack, a time-lapse
    or a plane too small for two tiles.

    Examples
    --------
    >>> tile_corners((1, 1, 1, 512, 512))
    [(96, 96), (96, 352), (352, 96), (352, 352)]
    >>> tile_corners((1, 3, 1, 256, 256)), tile_corners((1, 1, 4, 512, 512))
    ([], [])
    """
    t, _, z, y, x = shape
    count = min(MAX_TILES, int(y * x * SHARE) // (TILE * TILE))
    if t * z > 1 or count < 2 or y < TILE or x < TILE:
        return []
    rows = max(1, min(count, round(math.sqrt(count * y / x))))
    columns = max(1, count // rows)
    return [(int((2 * i + 1) * y / (2 * rows)) - TILE // 2, int((2 * j + 1) * x / (2 * columns)) - TILE // 2)
            for i in range(rows) for j in range(columns)]


def finer(settings: Settings) -> Settings:
    """`settings` with the finer patch radius, iterations and p-value, marked as such (the
    second stage runs two passes after it)."""
    radius, iterations, pvalue = FINER
    return dataclasses.replace(settings, patch_radius={**settings.patch_radius, "X": radius, "Y": radius},
                               iterations=iterations, pvalue=pvalue, fine=True)


def choose(engine: np.ndarray, model: NoiseModel, settings: Settings,
           progress: Callable[[float], object] | None = None) -> Tuning | None:
    """The comparison of `settings` and :func:`finer` on tiles of a (T, C, Z, Y, X) plane
    (their estimated errors summed, both with one pass of the stage), or None where no tiles fit (:func:`tile_corners`) or a
    channel's background is clipped."""
    corners = tile_corners(engine.shape)
    if not corners:
        return None
    parts = [np.ascontiguousarray(engine[..., y:y + TILE, x:x + TILE]) for y, x in corners]
    first = UnitImage.of(parts[0], model)
    tiles = [first, *(first.on(part) for part in parts[1:])]
    if not tiles[0].channels or clipped_channels(engine, tiles[0].channels):
        return None
    candidates = (settings, finer(settings))
    scores = []
    for k, candidate in enumerate(candidates):
        # Both with one pass of the stage (see the note on MARGIN).
        one_pass = dataclasses.replace(candidate, fine=False)
        denoiser: UnitDenoiser = functools.partial(denoise_unit, settings=one_pass)
        scores.append(float(np.mean([estimate_risk(tile, model, denoiser).relative for tile in tiles])))
        if progress is not None:
            progress((k + 1) / len(candidates))
    return Tuning(candidates, tuple(scores), (len(tiles), engine.shape[1], 1, TILE, TILE),
                  weights=(1.0 + MARGIN, 1.0))
