"""The native module ``_px`` called directly, with the engine's own defaults (patch radius x 3,
y 3 and the case's z or t radius, 4 iterations, p-value 0.01): the engine without the package
around it."""

from __future__ import annotations

import os
from collections.abc import Callable
from types import ModuleType

import numpy as np

from benchmarks.data import Case

#: The engine's own defaults, and the search along x, y, z and t.
NEIGHBORHOOD_AXES = [1, 1, 1, 0, 1]
MAX_ITER, PVALUE, RENOISE = 4, 0.01, 0.0
ALL_CORES = os.cpu_count() or 1

Denoiser = Callable[[np.ndarray], np.ndarray]


def engine_call(module: ModuleType, case: Case, threads: int = ALL_CORES) -> Denoiser:
    """One call of `module` (``_px`` or a saved build of it) on the whole array with the known
    noise. Channels of different noise are scaled to unit noise first, as the package does. The
    thread count is always given: the module keeps the last count in force."""
    patch = case.patch
    shape = case.engine_shape()
    if case.gain > 0:
        model = ([case.gain], [case.sigma[0] ** 2])
        return lambda a: module._denoise_poisson_gaussian(
            a.reshape(shape).copy(), 1.0, *model, patch, NEIGHBORHOOD_AXES, MAX_ITER, PVALUE, threads, RENOISE
        ).reshape(a.shape)
    several = len(case.sigma) > 1
    scale = np.array(case.sigma, np.float32).reshape((-1,) + (1,) * (case.clean.ndim - 1)) if several else 1.0
    sigma = 1.0 if several else case.sigma[0]

    def run(a: np.ndarray) -> np.ndarray:
        work = (a / scale).astype(np.float32).reshape(shape)
        out = module._denoise_gaussian(work, sigma, patch, NEIGHBORHOOD_AXES, MAX_ITER, PVALUE, threads, RENOISE)
        return out.reshape(a.shape) * scale

    return run
