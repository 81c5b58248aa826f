"""The engine's work on an image, counted: (reference, neighbour) pairs of a whole run, patch
samples per pair, and the floating-point operations they make against the machine's peak."""

from __future__ import annotations

from pathlib import Path

import numpy as np

from benchmarks.native import MAX_ITER

#: Floating-point operations per pair and patch sample: the distance term and the weighted update.
FLOPS_PER_TERM = 8


def neighbour_pairs(shape: tuple[int, ...], patch: list[int]) -> float:
    """(reference, neighbour) pairs of a whole run with the engine's reference grid and search
    schedule: per axis, the sum over the reference coordinates of the neighbour coordinates in
    reach; the count of positions is separable the same way."""
    return sum(pairs_per_pass(shape, patch))


def pairs_per_pass(shape: tuple[int, ...], patch: list[int]) -> tuple[float, float]:
    """The pairs of :func:`neighbour_pairs`, split into those of the interior passes and those of
    the edge passes. Every pair costs the same kernel work (one patch distance and one weighted
    patch), so this is also the split of the engine's time, up to the per-position test and
    scatter."""
    t, _, z, y, x = shape
    sizes, radii = [x, y, z, t], [patch[0], patch[1], patch[2], patch[4]]
    interior = edges = 0.0
    for i in range(MAX_ITER):
        search = [2**i if x > 1 else 0, 2**i if y > 1 else 0, i if z > 1 else 0, max(i - 2, 0) if t > 1 else 0]
        first = [r if n > 1 else 0 for r, n in zip(radii, sizes, strict=True)]
        last = [n - r - 1 if n > 1 else 0 for r, n in zip(radii, sizes, strict=True)]
        step = [r + 1 if 0 < r < n else 1 for r, n in zip(radii[:2], sizes[:2], strict=True)]
        step.append(radii[2] + 1 if radii[2] > 0 and z > 4 * radii[2] + 1 else 1)
        step.append(radii[3] if 0 < radii[3] < t else 1)

        def reach(
            a: int, coords: range, search: list[int] = search, first: list[int] = first, last: list[int] = last
        ) -> tuple[float, int]:
            lo = np.maximum(np.array(coords) - search[a], first[a])
            hi = np.minimum(np.array(coords) + search[a], last[a])
            return float(np.sum(hi - lo + 1)), len(coords)

        passes = [[range(first[a], last[a] + 1, step[a]) for a in range(4)]]
        for a in range(4):
            runs = sizes[a] > 1 and radii[a] > 0 and (radii[a] > 1 or (last[a] - first[a]) % step[a] != 0)
            if runs:
                passes.append(
                    [range(last[a], last[a] + 1) if b == a else range(first[b], last[b] + 1) for b in range(4)]
                )
        for k, grid in enumerate(passes):
            sums = [reach(a, grid[a]) for a in range(4)]
            pairs = float(np.prod([s for s, _ in sums]) - np.prod([n for _, n in sums]))
            if k == 0:
                interior += pairs
            else:
                edges += pairs
    return interior, edges


def patch_samples(shape: tuple[int, ...], patch: list[int]) -> int:
    """Samples of one patch of the given radii (x, y, z, c, t) on a (T, C, Z, Y, X) image."""
    t, c, z, _, _ = shape
    return (
        (2 * patch[0] + 1)
        * (2 * patch[1] + 1)
        * (2 * (patch[2] if z > 1 else 0) + 1)
        * c
        * (2 * (patch[4] if t > 1 else 0) + 1)
    )


def flops(shape: tuple[int, ...], patch: list[int]) -> float:
    """Floating-point operations of a whole run."""
    return neighbour_pairs(shape, patch) * patch_samples(shape, patch) * FLOPS_PER_TERM


def nominal_peak() -> tuple[float, str]:
    """FP32 GFLOP/s of all cores at the clock the kernel reports, two 16-lane fused multiply-adds
    per cycle (AVX-512); 8 lanes with AVX2 only. (The environment's reference BLAS is far from
    the machine's peak, so a matrix product cannot measure it.)"""
    info = Path("/proc/cpuinfo").read_text()
    megahertz = [float(line.split(":")[1]) for line in info.splitlines() if line.startswith("cpu MHz")]
    flags = next((line for line in info.splitlines() if line.startswith("flags")), "")
    lanes = 16 if "avx512f" in flags.split() else 8
    cores = len(megahertz) or 1
    clock = (max(megahertz) if megahertz else 2000.0) / 1000.0
    return cores * clock * 2 * 2 * lanes, f"{cores} cores × {clock:.2f} GHz × 2 FMA × {lanes} lanes × 2"
