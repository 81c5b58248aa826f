"""The default call's own choice on a plane or a time-lapse: the default setting or another, by
the estimated error of each on a few small tiles.

On microscopy planes of smooth or blob-like objects the default setting (patch radius 2,
p-value 1e-5) is best; on fine filaments, spots and natural images radius 1 with a higher
p-value is. On time-lapses of slow, smooth change a lower p-value with wider blocks of the
second stage is, on series of moving and dividing objects the default (see
docs/decisions/0007-choice-on-planes.md and docs/decisions/0008-choice-on-time-lapses.md). All
candidates are run on the same tiles with the same probe and compared: the difference of two
estimates on the same noise is far more precise than either. Tiles spread over the image on a
grid see what it mostly shows, where one central crop may not.

The tiles hold at most ``SHARE`` of the image, so that their runs (two per candidate) add at most
about a third of one whole run; an image too small for its tiles keeps the default, as does one
whose estimate cannot be relied on (see :class:`~pxvorel.quality.tune.Tuning`). Stacks keep
their defaults: tiles of them cost more, and the defaults serve the stacks measured.
"""

from __future__ import annotations

import dataclasses
import functools
import math
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np

from pxvorel.noise.model import NoiseModel
from pxvorel.quality.sure import RiskEstimate, UnitDenoiser, estimate_risk
from pxvorel.quality.tune import Tuning, clipped_channels
from pxvorel.run.execute import run_engine, run_stage
from pxvorel.run.plan import RunPlan
from pxvorel.run.settings import Settings, StageVariant
from pxvorel.run.threads import run_threads
from pxvorel.run.unit import UnitImage


@dataclass(frozen=True)
class Alternative:
    """A setting the default call may choose instead of the default one: patch radius in X and Y
    (None: as given), iterations, p-value, the second stage's passes after it, and the factor on
    its estimated error in the choice (above 1: a margin it must win by)."""

    radius: int | None
    iterations: int
    pvalue: float
    variant: StageVariant
    weight: float = 1.0

    def applied(self, settings: Settings) -> Settings:
        """`settings` with this alternative's radius, iterations, p-value and passes."""
        radius = dict(settings.patch_radius)
        if self.radius is not None:
            radius.update(X=self.radius, Y=self.radius)
        return dataclasses.replace(
            settings, patch_radius=radius, iterations=self.iterations, pvalue=self.pvalue, variant=self.variant
        )


#: The default setting wins on a plane only where its estimated error is lower by more than this
#: share, and a time-lapse's smoother setting only where its own is: on near-ties the setting
#: that averages less (and invents less texture) is kept. The estimates of a close pair scatter
#: by a few per cent on a few tiles, far less than the default's lead on the images it suits.
MARGIN = 0.05
#: On planes: the finer setting (radius 1, 3 iterations, p-value 0.1, then two passes of the
#: stage, :data:`pxvorel.run.refine.FINE_PLANE_BLOCKS`) and one that averages more (4 iterations,
#: p-value 0.05, then one pass of wider blocks). Each candidate runs its own passes of the stage
#: on the tiles. The second is scored only where the first beats the default: it refines the
#: choice of radius 1 where that is right, and scored against the default directly its estimate
#: can win by estimator noise alone (see docs/decisions/0007-choice-on-planes.md).
PLANE_ALTERNATIVES = (Alternative(1, 3, 0.1, "fine"), Alternative(1, 4, 0.05, "wide"))
#: On time-lapses: p-value 1e-7 with wider blocks (:data:`pxvorel.run.refine.WIDE_FRAME_BLOCKS`),
#: which wins on tiles where it wins on the whole series, and loses where it loses (see
#: docs/decisions/0008-choice-on-time-lapses.md).
FRAME_ALTERNATIVES = (Alternative(None, 4, 1e-7, "wide", 1.0 + MARGIN),)
#: The pilot floors of the second stage (see :func:`pxvorel.run.refine.refine`): the candidates
#: are compared with the first, the chosen one is then scored with the others on the engine's
#: results its choice already made (the stage is a small part of a run). Images of fine
#: texture want none (the engine's result is a good pilot there and its small coefficients are
#: real); smooth objects over dark backgrounds want the larger ones (see
#: docs/decisions/0014-pilot-floor.md).
FLOORS = (0.0, 0.5, 1.0)
#: Side of the square tiles along Y and X, spread over the image on a grid (a central crop alone
#: can miss what the image mostly shows), their number at most, and the frames of a time-lapse
#: they span at most (the middle ones): the second stage's blocks span up to 10 of them.
TILE = 64
MAX_TILES = 16
FRAMES = 16
#: The tiles hold at most this share of the image's samples.
SHARE = 1 / 16


def tiles(shape: tuple[int, ...]) -> list[tuple[slice, ...]]:
    """The tiles of a (T, C, Z, Y, X) plane or time-lapse, as index tuples: ``TILE`` x ``TILE``
    over all channels, on a time-lapse over its middle ``FRAMES`` frames at most. None for a
    stack, a plane too small for two tiles or a time-lapse too small for one (the tiles hold
    at most ``SHARE`` of the samples).

    Examples
    --------
    >>> [(t.start, y.start, x.start) for t, _, _, y, x in tiles((1, 1, 1, 512, 512))]
    [(0, 96, 96), (0, 96, 352), (0, 352, 96), (0, 352, 352)]
    >>> [(t.start, t.stop, y.start) for t, _, _, y, _ in tiles((30, 1, 1, 256, 256))]
    [(7, 23, 96)]
    >>> tiles((1, 3, 1, 256, 256)), tiles((1, 1, 4, 512, 512)), tiles((6, 1, 1, 128, 128))
    ([], [], [])
    """
    t, _, z, y, x = shape
    frames = min(t, FRAMES)
    count = min(MAX_TILES, int(t * y * x * SHARE) // (frames * TILE * TILE))
    if z > 1 or count < (2 if t == 1 else 1) or y < TILE or x < TILE:
        return []
    rows = max(1, min(count, round(math.sqrt(count * y / x))))
    columns = max(1, count // rows)
    first = (t - frames) // 2

    def around(k: int, parts: int, length: int) -> slice:  # a tile's extent, centred in the k-th of parts
        start = int((2 * k + 1) * length / (2 * parts)) - TILE // 2
        return slice(start, start + TILE)

    return [
        (slice(first, first + frames), slice(None), slice(None), around(i, rows, y), around(j, columns, x))
        for i in range(rows)
        for j in range(columns)
    ]


def choices(settings: Settings, shape: tuple[int, ...]) -> tuple[tuple[Settings, ...], tuple[float, ...]]:
    """`settings` and the alternatives for an image of `shape` (a plane's or a time-lapse's),
    with the factors on their estimated errors in the choice."""
    plane = shape[0] == 1
    others = PLANE_ALTERNATIVES if plane else FRAME_ALTERNATIVES
    return (
        (settings, *(a.applied(settings) for a in others)),
        (1.0 + MARGIN if plane else 1.0, *(a.weight for a in others)),
    )


def choose(
    unit: UnitImage, model: NoiseModel, settings: Settings, progress: Callable[[float], object] | None = None
) -> Tuning | None:
    """The comparison of `settings` and its :func:`choices` on :func:`tiles` of a (T, C, Z, Y, X)
    image at unit noise (their estimated errors averaged, each with its own passes of the stage),
    or None where no tiles fit or a channel's background is clipped. Alternatives after the first
    are scored only while an alternative leads: they refine it (see :data:`PLANE_ALTERNATIVES`).
    The settings are compared with the first of the :data:`FLOORS` (the stage trusting its
    pilot, which ranks the engine's settings by their own merit); the candidate chosen is then
    scored with the other floors on the same engine results and carries the floor of the lowest
    estimate. Where the estimates cannot be relied on, the given settings keep their floor."""
    regions = tiles(unit.engine.shape)
    if not regions or not unit.channels or clipped_channels(unit.engine, unit.channels):
        return None
    parts = [unit.part(region) for region in regions]
    given, weights = choices(settings, unit.engine.shape)
    chosen_from = tuple(dataclasses.replace(c, floor=FLOORS[0]) if c.refine else c for c in given)
    scores: list[float] = []
    workers = run_threads(settings.threads)
    pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="pxvorel-tile")

    def settle(queued: list[list[Future[RiskEstimate]]]) -> None:  # the scores of the candidates queued
        while queued:
            scores.append(_mean(queued.pop(0)))
            if progress is not None:
                progress(len(scores) / len(chosen_from))

    try:
        engines: list[list[_EngineOnce]] = []
        # the first two candidates are always scored: their tiles are queued together, so that
        # no thread waits for the first one's last tile before the second one's start
        queued: list[list[Future[RiskEstimate]]] = []
        for k, candidate in enumerate(chosen_from):
            if k >= 2:
                settle(queued)
                if scores[0] * weights[0] <= min(s * w for s, w in zip(scores[1:], weights[1:k], strict=True)):
                    break  # later alternatives refine an alternative that wins; here the default does
            plan = RunPlan.of(_one_thread(candidate, workers), parts[0].work.shape)
            engines.append([_EngineOnce(plan) for _ in parts])
            queued.append(_queue(pool, plan, parts, engines[-1], model))
        settle(queued)
        count = len(scores)
        tuning = Tuning(
            chosen_from[:count], tuple(scores), parts[0].engine.shape, weights=weights[:count], tiles=len(parts)
        )
        if not tuning.trusted:
            return dataclasses.replace(tuning, candidates=given[:count])
        best = tuning.candidates.index(tuning.chosen)
        if not tuning.chosen.refine:
            return tuning
        # the stages of every other floor on the engine's results already made, queued together,
        # then compared in order, each with the lowest score so far
        floored_runs = []
        for floor in FLOORS:
            if floor != tuning.chosen.floor:
                floored = dataclasses.replace(chosen_from[best], floor=floor)
                plan = RunPlan.of(_one_thread(floored, workers), parts[0].work.shape)
                floored_runs.append((floored, _queue(pool, plan, parts, engines[best], model)))
        for floored, risks in floored_runs:
            score = _mean(risks)
            if 0.0 < score < scores[best]:
                scores[best] = score
                chosen_from = (*chosen_from[:best], floored, *chosen_from[best + 1 :])
        return dataclasses.replace(tuning, candidates=chosen_from[:count], scores=tuple(scores))
    finally:
        pool.shutdown(cancel_futures=True)  # on an error or Ctrl-C, tiles not yet started do not start


def _one_thread(candidate: Settings, workers: int) -> Settings:
    """`candidate` as each tile runs it: on one thread where the tiles run side by side (on a
    tile the engine's own threads would share little work between their barriers)."""
    return dataclasses.replace(candidate, threads=1) if workers > 1 else candidate


def _queue(
    pool: ThreadPoolExecutor, plan: RunPlan, parts: list[UnitImage], engines: list[_EngineOnce], model: NoiseModel
) -> list[Future[RiskEstimate]]:
    """The estimated errors of `plan` on the tiles, queued on `pool`, the engine's results of
    each tile taken from (or kept in) `engines`, one per tile. The plain runs are queued before
    the estimates that wait for them, so that an estimate never waits for a run queued after
    it (the pool starts its work in the order queued)."""
    denoisers: list[UnitDenoiser] = [functools.partial(engine.then_stage, plan=plan) for engine in engines]
    plain = [pool.submit(denoiser, part.work) for part, denoiser in zip(parts, denoisers, strict=True)]
    return [
        pool.submit(estimate_risk, part, model, denoiser, denoised_unit=run.result)
        for part, denoiser, run in zip(parts, denoisers, plain, strict=True)
    ]


def _mean(risks: list[Future[RiskEstimate]]) -> float:
    """The mean estimated error (relative) of the tiles' queued estimates."""
    return float(np.mean([risk.result().relative for risk in risks]))


class _EngineOnce:
    """The engine's result on the inputs a risk estimate gives its denoiser (the tile and the
    tile with its probe), each computed once and shared by the stages of every floor. The
    engine's settings are those of the plan given first (floors differ only in the stage).
    A tile's plain and probed runs may go side by side: each keeps its own entry."""

    def __init__(self, plan: RunPlan) -> None:
        self._plan = plan
        self._results: list[tuple[np.ndarray, np.ndarray]] = []

    def then_stage(self, work: np.ndarray, plan: RunPlan) -> np.ndarray:
        for seen, result in self._results:
            if seen.shape == work.shape and np.array_equal(seen, work):
                return run_stage(work, result, plan)
        result = run_engine(work, self._plan)
        self._results.append((work.copy(), result))
        return run_stage(work, result, plan)
