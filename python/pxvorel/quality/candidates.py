"""The settings that tuning chooses from.

Eight (patch radius in X and Y, iterations, p-value) triples: the defaults, and settings
that were best on synthetic 2-D, multi-channel, stack and time-lapse data (radius 1 for
fine structure, lower p-values, which average more, for smooth data and high noise; the
best often lies at p-values of 0.001 or below). Every other setting (Z and T radii,
search axes, channels, renoise, threads) stays as given.
"""

from __future__ import annotations

import dataclasses

from pxvorel.run.settings import Settings

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


def candidate_settings(settings: Settings, shape: tuple[int, ...]) -> list[Settings]:
    """`settings` first, then every candidate that fits a (T, C, Z, Y, X) image of `shape`.

    A radius applies to X and Y where the image extends along them; candidates equal to
    one before them (e.g. on a 1-D image) are dropped.
    """
    sizes = {"X": shape[4], "Y": shape[3]}
    chosen = [settings]
    for radius, iterations, pvalue in CANDIDATES:
        patch = dict(settings.patch_radius)
        for axis, size in sizes.items():
            if size > 1:
                patch[axis] = min(radius, (size - 1) // 2)
        candidate = dataclasses.replace(settings, patch_radius=patch, iterations=iterations, pvalue=pvalue)
        if candidate not in chosen:
            chosen.append(candidate)
    return chosen


def label(settings: Settings) -> str:
    """The settings tuning changes, in a few words."""
    r = settings.patch_radius
    return f"patch radius X{r['X']} Y{r['Y']}, {settings.iterations} iterations, p-value {settings.pvalue:g}"
