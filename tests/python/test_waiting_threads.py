"""Threads that do not burn a busy desktop's cores: the OpenMP runtime waits passively unless the
user chose otherwise, and leaves the environment as it found it; the default call's choice on tiles
runs its tiles side by side on one thread each, and chooses as one thread does."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

import pxvorel
from pxvorel.quality.tile_choice import choose
from pxvorel.run.job import prepare
from pxvorel.run.unit import UnitImage
from scenes import blobs, poisson_gaussian

SCRIPT = """
import os, pxvorel
print("environment:", os.environ.get("OMP_WAIT_POLICY"))
"""


@pytest.mark.parametrize(
    ("setting", "shown", "left"),
    [
        ({}, "GOMP_SPINCOUNT = '0'", "None"),
        ({"OMP_WAIT_POLICY": "active"}, "OMP_WAIT_POLICY = 'ACTIVE'", "active"),
        ({"GOMP_SPINCOUNT": "1000"}, "GOMP_SPINCOUNT = '1000'", "None"),
    ],
)
def test_the_runtime_waits_passively_unless_the_user_chose(setting, shown, left) -> None:
    environment = {k: v for k, v in os.environ.items() if k not in ("OMP_WAIT_POLICY", "GOMP_SPINCOUNT")}
    environment |= {"OMP_DISPLAY_ENV": "VERBOSE", **setting}
    done = subprocess.run(
        [sys.executable, "-c", SCRIPT], capture_output=True, text=True, env=environment, timeout=120, check=True
    )
    assert f"environment: {left}" in done.stdout
    # libgomp prints its settings when it is loaded (a spin count of 0: threads wait passively)
    assert shown in done.stdout + done.stderr, done.stderr


def test_tiles_side_by_side_score_as_one_thread_does() -> None:
    """Each tile's runs go on one thread, so two threads give the one-thread scores to the last
    bit (the engine's own threads would move their last bits)."""
    noisy = poisson_gaussian(blobs((384, 384), 60, seed=6, low=20.0, high=300.0), 2.0, 16.0, seed=7)
    scores = []
    for threads in (1, 2):
        job = prepare(noisy, axes="YX", threads=threads)
        model = pxvorel.estimate_noise(noisy)
        tuning = choose(UnitImage.of(job.engine, model), model, job.settings)
        assert tuning is not None and tuning.tiles == 2
        scores.append(tuning.scores)
    assert scores[0] == scores[1] and len(scores[0]) >= 2
