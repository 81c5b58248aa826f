"""Choosing the engine's settings per image by the estimated error on a crop."""

from __future__ import annotations

import functools
import logging
import math
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from pxvorel.noise.model import NoiseModel
from pxvorel.quality.candidates import candidate_settings, label
from pxvorel.quality.crop import tuning_crop
from pxvorel.quality.sure import UnitDenoiser, estimate_risk
from pxvorel.run.execute import execute
from pxvorel.run.plan import RunPlan
from pxvorel.run.settings import Settings
from pxvorel.run.unit import UnitImage

log = logging.getLogger(__name__)

#: Share of a channel's samples at its lowest value above which its background counts as
#: clipped (as the noise estimation judges it). The risk estimate assumes noise on both
#: sides of every sample, so tuning does not rely on it there.
CLIPPED_SHARE = 0.01


def clipped_channels(engine: np.ndarray, channels: tuple[int, ...]) -> list[int]:
    """The channels of a (T, C, Z, Y, X) image with more than CLIPPED_SHARE of their samples at the minimum."""
    found = []
    for c in channels:
        values = engine[:, c]
        if np.count_nonzero(values == values.min()) > CLIPPED_SHARE * values.size:
            found.append(c)
    return found


@dataclass(frozen=True)
class Tuning:
    """The settings tried on the crop, their scores and the one chosen."""

    candidates: tuple[Settings, ...]
    scores: tuple[float, ...]
    """Estimated error relative to the input's noise variance (mean over channels), per candidate."""
    crop_shape: tuple[int, ...]
    """(T, C, Z, Y, X) shape of the crop they were scored on (of each tile, with `tiles`)."""
    weights: tuple[float, ...] | None = None
    """Factors on the scores for the choice only (a margin a candidate must win by); None: all 1."""
    tiles: int = 0
    """The default call's choice: the number of tiles scored (their scores averaged); 0: tuning on one crop."""

    @property
    def trusted(self) -> bool:
        """Whether every score is above 0. An estimated error at or below 0 means the noise
        model does not describe the crop (clipped or quantised data, a wrong model), and then
        no score can be relied on."""
        return all(score > 0 for score in self.scores)  # False for NaN (not scored)

    @property
    def chosen(self) -> Settings:
        """The candidate of the lowest score (times its weight); the given setting (the first) when not
        :attr:`trusted`."""
        if not self.trusted:
            return self.candidates[0]
        weights = self.weights if self.weights is not None else (1.0,) * len(self.scores)
        return self.candidates[int(np.argmin([s * w for s, w in zip(self.scores, weights, strict=True)]))]


def tune(
    unit: UnitImage, model: NoiseModel, settings: Settings, progress: Callable[[float], object] | None = None
) -> Tuning:
    """Score every candidate (:func:`candidate_settings`) on a central crop (:func:`tuning_crop`)
    of a (T, C, Z, Y, X) image at unit noise by Stein's unbiased risk estimate; the lowest wins.
    On an image with a clipped background nothing is scored (one NaN score) and `settings` is kept.

    Each candidate costs two runs on the crop (the input, and the input plus a probe).
    """
    crop = unit.part(tuning_crop(unit.engine.shape))
    clipped = clipped_channels(unit.engine, unit.channels)
    if clipped:
        log.warning(
            "tuning: channel(s) %s have a clipped background (more than %g %% of their samples at the "
            "lowest value), where the estimated error cannot be relied on; keeping the given settings",
            ", ".join(map(str, clipped)),
            100 * CLIPPED_SHARE,
        )
        return Tuning((settings,), (math.nan,), crop.engine.shape)
    candidates = candidate_settings(settings, crop.engine.shape)
    scores = []
    steps = 2 * len(candidates)
    done = 0

    def runs(work: npt.NDArray[np.float32], plan: RunPlan) -> npt.NDArray[np.float32]:
        nonlocal done
        start = done
        done += 1
        report = None if progress is None else (lambda fraction: progress((start + fraction) / steps))
        return execute(work, plan, report)

    for candidate in candidates:
        denoiser: UnitDenoiser = functools.partial(runs, plan=RunPlan.of(candidate, crop.work.shape))
        score = estimate_risk(crop, model, denoiser).relative if crop.channels else 0.0
        scores.append(score)
        log.debug("tuning: %s scores %.4f", label(candidate), score)
    tuning = Tuning(tuple(candidates), tuple(scores), crop.engine.shape)
    if crop.channels and not tuning.trusted:
        log.warning(
            "tuning: the estimated error is not above 0 for every candidate, so the noise model does not "
            "describe this image well enough (clipped or quantised data?); keeping the given settings"
        )
    return tuning
