"""Choosing the engine's settings per image by the estimated error on a crop."""

from __future__ import annotations

import functools
import logging
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from pxvorel.noise.model import NoiseModel
from pxvorel.quality.candidates import candidate_settings, label
from pxvorel.quality.crop import tuning_crop
from pxvorel.quality.sure import UnitDenoiser, estimate_risk
from pxvorel.run.engine import denoise_unit
from pxvorel.run.settings import Settings
from pxvorel.run.unit import UnitImage

log = logging.getLogger(__name__)


@dataclass(frozen=True)
class Tuning:
    """The settings tried on the crop, their scores and the one chosen."""

    candidates: tuple[Settings, ...]
    scores: tuple[float, ...]
    """Estimated error relative to the input's noise variance (mean over channels), per candidate."""
    crop_shape: tuple[int, ...]
    """(T, C, Z, Y, X) shape of the crop they were scored on."""

    @property
    def trusted(self) -> bool:
        """Whether every score is above 0. An estimated error at or below 0 means the noise
        model does not describe the crop (clipped or quantised data, a wrong model), and then
        no score can be relied on."""
        return all(score > 0 for score in self.scores)

    @property
    def chosen(self) -> Settings:
        """The candidate of the lowest score; the given setting (the first) when not :attr:`trusted`."""
        return self.candidates[int(np.argmin(self.scores))] if self.trusted else self.candidates[0]


def tune(engine: np.ndarray, model: NoiseModel, settings: Settings,
         progress: Callable[[float], object] | None = None) -> Tuning:
    """Score every candidate (:func:`candidate_settings`) on a central crop (:func:`tuning_crop`)
    of a (T, C, Z, Y, X) image by Stein's unbiased risk estimate; the lowest wins.

    Each candidate costs two runs on the crop (the input, and the input plus a probe).
    """
    crop = np.ascontiguousarray(engine[tuning_crop(engine.shape)])
    unit = UnitImage.of(crop, model)
    candidates = candidate_settings(settings, crop.shape)
    scores = []
    steps = 2 * len(candidates)
    done = 0

    def runs(work: npt.NDArray[np.float32], candidate: Settings) -> npt.NDArray[np.float32]:
        nonlocal done
        start = done
        done += 1
        report = None if progress is None else (lambda fraction: progress((start + fraction) / steps))
        return denoise_unit(work, candidate, report)

    for candidate in candidates:
        denoiser: UnitDenoiser = functools.partial(runs, candidate=candidate)
        score = estimate_risk(unit, model, denoiser).relative if unit.channels else 0.0
        scores.append(score)
        log.debug("tuning: %s scores %.4f", label(candidate), score)
    tuning = Tuning(tuple(candidates), tuple(scores), crop.shape)
    if unit.channels and not tuning.trusted:
        log.warning("tuning: the estimated error is not above 0 for every candidate, so the noise model does not "
                    "describe this image well enough (clipped or quantised data?); keeping the given settings")
    return tuning
