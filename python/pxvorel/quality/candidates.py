"""The settings that tuning chooses from.

Eight (patch radius in X and Y, iterations, p-value) triples: the defaults, and settings
that are best on synthetic 2-D, multi-channel, stack and time-lapse data (radius 1 for
fine structure, lower p-values, which average more, for smooth data and high noise; the
best often lies at p-values of 0.001 or below). Every other setting (Z and T radii,
search axes, channels, renoise, threads) stays as given.

A candidate that would cost more than ``COST_CAP`` times the given setting is left out:
the search grows with every iteration, and along Z and T too, so 6 iterations cost about
14 times 4 on a plane but 23 to 37 times on a stack or time-lapse, where the whole
image would then take that long.
"""

from __future__ import annotations

import dataclasses
import math

from pxvorel.run.settings import STAGE_NOTE, Settings

#: (patch radius in X and Y, iterations, p-value); the package's defaults are added first.
CANDIDATES: tuple[tuple[int, int, float], ...] = (
    (1, 4, 0.05),
    (1, 3, 1e-5),
    (1, 5, 1e-3),
    (2, 5, 1e-3),
    (2, 4, 1e-5),
    (2, 6, 1e-4),
    (3, 4, 1e-3),
)


#: Largest cost of a candidate, relative to the given setting's (see :func:`relative_cost`).
COST_CAP = 16.0


def relative_cost(settings: Settings, shape: tuple[int, ...]) -> float:
    """Patch samples compared per reference position over all iterations, up to a constant.

    Iteration i searches +-2**i samples along X and Y, +-i along Z and +-(i - 2) along T
    (where the search extends along them), within the axis' length.
    """
    sizes = {"T": shape[0], "Z": shape[2], "Y": shape[3], "X": shape[4]}
    patch = math.prod(2 * settings.patch_radius[a] + 1 for a, n in sizes.items() if n > 1)
    total = 0
    for i in range(settings.iterations):
        reach = {
            "X": 2**i,
            "Y": 2**i,
            "Z": i if settings.search["Z"] else 0,
            "T": max(i - 2, 0) if settings.search["T"] else 0,
        }
        total += math.prod(min(2 * reach[a] + 1, n) for a, n in sizes.items())
    return float(total * patch)


def candidate_settings(settings: Settings, shape: tuple[int, ...]) -> list[Settings]:
    """`settings` first, then every candidate that fits a (T, C, Z, Y, X) image of `shape`
    and costs at most ``COST_CAP`` times `settings` there.

    A radius applies to X and Y where the image extends along them; candidates equal to
    one before them (e.g. on a 1-D image) are dropped.
    """
    budget = COST_CAP * relative_cost(settings, shape)
    sizes = {"X": shape[4], "Y": shape[3]}
    chosen = [settings]
    for radius, iterations, pvalue in CANDIDATES:
        patch = dict(settings.patch_radius)
        for axis, size in sizes.items():
            if size > 1:
                patch[axis] = min(radius, (size - 1) // 2)
        candidate = dataclasses.replace(settings, patch_radius=patch, iterations=iterations, pvalue=pvalue)
        if candidate not in chosen and relative_cost(candidate, shape) <= budget:
            chosen.append(candidate)
    return chosen


def label(settings: Settings) -> str:
    """The settings tuning changes, in a few words."""
    r = settings.patch_radius
    return (
        f"patch radius X{r['X']} Y{r['Y']}, {settings.iterations} iterations, p-value {settings.pvalue:g}"
        f"{STAGE_NOTE[settings.variant] if settings.refine else ''}"
    )
