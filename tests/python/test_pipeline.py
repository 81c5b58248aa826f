"""One pipeline: a default call reads as a line through the package's modules, and the engine's
geometry is asked for once for the image."""

from __future__ import annotations

import sys
from collections import Counter

import numpy as np

import pxvorel
import pxvorel._engine as _engine

ORCHESTRATION = ("pxvorel.api", "pxvorel.pipeline")


def steps_of_a_call(image: np.ndarray, **keywords: object) -> list[str]:
    """The modules the orchestration hands the run to, in order (consecutive calls into one module
    counted once)."""
    steps: list[str] = []

    def profile(frame, event, _arg) -> None:
        if event != "call" or frame.f_back is None:
            return
        caller, callee = frame.f_back.f_globals.get("__name__", ""), frame.f_globals.get("__name__", "")
        handed_on = caller in ORCHESTRATION and callee.startswith("pxvorel.") and callee not in ORCHESTRATION
        if handed_on and (not steps or steps[-1] != callee):
            steps.append(callee)

    sys.setprofile(profile)
    try:
        pxvorel.denoise(image, **keywords)
    finally:
        sys.setprofile(None)
    return steps


def test_a_default_call_enters_no_module_more_than_twice_and_asks_the_geometry_once(monkeypatch) -> None:
    image = np.random.default_rng(0).poisson(np.full((400, 400), 30.0)).astype(np.uint16)
    steps = steps_of_a_call(image, threads=1)
    assert max(Counter(steps).values()) <= 2, steps
    for module in ("pxvorel.noise.choose", "pxvorel.run.unit", "pxvorel.quality.tile_choice", "pxvorel.run.execute"):
        assert module in steps, steps
    real, shapes = _engine.geometry, []
    monkeypatch.setattr(_engine, "geometry", lambda shape, *a: shapes.append(tuple(shape)) or real(shape, *a))
    pxvorel.denoise(image, threads=2)
    assert shapes.count((1, 1, 1, 400, 400)) == 1, shapes
