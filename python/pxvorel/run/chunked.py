"""Denoising of dask arrays block by block, with results equal to the whole-image run.

Each block is the chunk widened by the engine's reach (and the second stage's) and
aligned to its reference grid (:class:`pxvorel.run.halo.Halo`), so that it computes the chunk exactly as the whole image
would. Every block is denoised with the same noise model and settings, the model
estimated once for the whole array (:func:`noise_sample`). With one thread per block the
chunked result equals the in-memory result with one thread bit for bit; with more
threads both differ from it in their last bits, with the order of the additions.
"""

from __future__ import annotations

import math
from collections.abc import Mapping

import dask
import dask.array as da
import numpy as np
import numpy.typing as npt

from pxvorel.core.axes import ENGINE_AXES, AxisPlan
from pxvorel.noise.choose import choose_model
from pxvorel.noise.model import NoiseModel, NoiseSpec
from pxvorel.run.abandon import BLOCK_NAME, stop_when_abandoned, watch_local_computations
from pxvorel.run.execute import denoise_with
from pxvorel.run.geometry import CUT_AXES
from pxvorel.run.halo import Halo
from pxvorel.run.refine import Blocks
from pxvorel.run.settings import DEFAULT_CHANNELS, Settings

#: How dask rechunks here: by tasks. The peer-to-peer rechunking that dask.distributed picks by
#: default moves data outside the task graph and loses it when workers are restarted or blocks
#: are recomputed ("lost dependencies"); the rechunks here are small and local.
RECHUNK = "tasks"
#: Largest number of samples the noise model is estimated from (see :func:`noise_sample`).
NOISE_SAMPLE_BUDGET = 1 << 25


def to_engine(array: da.Array, plan: AxisPlan) -> da.Array:
    """A lazy (T, C, Z, Y, X) view of a dask array in the caller's axis order."""
    present = "".join(a for a in ENGINE_AXES if a in plan.axes)
    ordered: da.Array = da.transpose(array, [plan.axes.index(a) for a in present])
    engine: da.Array = ordered[tuple(slice(None) if a in plan.axes else None for a in ENGINE_AXES)]
    return engine


def from_engine(engine: da.Array, plan: AxisPlan) -> da.Array:
    """The caller's axis order of a lazy (T, C, Z, Y, X) array."""
    present = "".join(a for a in ENGINE_AXES if a in plan.axes)
    squeezed = engine[tuple(slice(None) if a in plan.axes else 0 for a in ENGINE_AXES)]
    ordered: da.Array = da.transpose(squeezed, [present.index(a) for a in plan.axes])
    return ordered


def noise_sample(engine: da.Array, budget: int = NOISE_SAMPLE_BUDGET) -> np.ndarray:
    """The samples the noise model of a lazy (T, C, Z, Y, X) image is estimated from.

    The whole image when it has at most `budget` samples. Otherwise slabs of
    consecutive planes along the slowest of T, Z, Y, X of which at least 3 planes fit
    the budget (all channels, full extent along the faster axes), about `budget`
    samples in all: up to 8 evenly spaced slabs of 16 planes joined along that axis,
    or one slab from the middle when fewer than 32 planes fit. The estimators work on
    local residuals, which straddle a join of two slabs only in its two planes: slabs of
    16 planes keep the bias that joins add small, where slabs of a few planes would shift
    the estimated offset far (see docs/decisions/0010-noise-sample-of-large-arrays.md).
    """
    if engine.size <= budget:
        return np.asarray(engine)
    for index in (0, 2, 3, 4):  # T, Z, Y, X
        length = engine.shape[index]
        planes = budget // (engine.size // length)
        if length > 1 and planes >= 3:
            break
    else:  # not even three rows of X fit: all channels, whatever the budget
        return np.asarray(engine)
    slab = min(planes, 16)
    count = min(8, planes // slab)
    starts = np.linspace(0, length - slab, count).round().astype(int) if count > 1 else [(length - slab) // 2]
    pieces = [engine[(slice(None),) * index + (slice(s, s + slab),)] for s in starts]
    return np.asarray(da.concatenate(pieces, axis=index))


def _denoise_block(
    block: np.ndarray,
    core: tuple[slice, ...],
    model: NoiseModel,
    settings: Settings,
    blocks: Blocks,
    origin: tuple[int, ...],
) -> npt.NDArray[np.float32]:
    """Denoise one block (with its halo) and return a copy of its core; stop early once the
    computation that asked for it has been abandoned (:mod:`pxvorel.run.abandon`)."""
    if block.dtype.kind == "f" and not np.isfinite(block).all():
        raise ValueError("the image has NaN or infinite samples; replace them before denoising")
    denoised = denoise_with(block, model, settings, stop_when_abandoned(), blocks=blocks, origin=origin)
    return np.array(denoised[core], copy=True)


def denoise_blocks(
    engine: da.Array, model: NoiseModel, settings: Settings, halo: Halo, blocks: Blocks | None = None
) -> da.Array:
    """Denoise a lazy (T, C, Z, Y, X) image block by block, in its own chunks along T, Z, Y and X.

    Each output chunk comes from one task that reads its region of the input (the
    chunk widened by `halo` and aligned to the grid), runs the engine on it and keeps
    the chunk. Every block holds all channels, so a chunking along C is merged here.
    The second stage (with ``settings.refine``) places its blocks as on the whole
    image: `blocks` chosen for the whole image (by default from its shape), and each
    task passes its region's origin.
    """
    engine = engine.rechunk({1: -1}, method=RECHUNK)
    blocks = blocks if blocks is not None else Blocks.for_shape(engine.shape)
    token = dask.base.tokenize(engine.name, model, settings, halo)
    watch_local_computations()
    bounds = [np.cumsum((0, *chunks)) for chunks in engine.chunks]
    pieces = np.empty(engine.numblocks, dtype=object)
    for index in np.ndindex(*engine.numblocks):
        region, core = [], []
        for axis, i, edges, size in zip(ENGINE_AXES, index, bounds, engine.shape, strict=True):
            start, stop = int(edges[i]), int(edges[i + 1])
            lo, hi = (0, size) if axis == "C" else halo.region(axis, start, stop, size)
            region.append(slice(lo, hi))
            core.append(slice(start - lo, stop - lo))
        task = dask.delayed(_denoise_block, pure=True)(
            engine[tuple(region)],
            tuple(core),
            model,
            settings,
            blocks,
            tuple(r.start for r in region),
            dask_key_name=(f"{BLOCK_NAME}-{token}", *index),
        )
        shape = tuple(s.stop - s.start for s in core)
        pieces[index] = da.from_delayed(task, shape, dtype=np.float32)
    denoised: da.Array = da.block(pieces.tolist())
    return denoised


def _whitened(halo: Halo, model: NoiseModel) -> Halo:
    """`halo` widened by the reach of the whitening and colouring of correlated noise (each
    block is whitened on its own, mirrored at its edges: beyond this reach the core differs
    from the whole image's by far less than the noise)."""
    extra = {
        axis: max((c.reach_along(axis) for c in model.correlation if c is not None), default=0) for axis in halo.reach
    }
    if not any(extra.values()):
        return halo
    return Halo({a: r + extra[a] for a, r in halo.reach.items()}, dict(halo.step), dict(halo.least))


#: Steps of a run that judge a sample by its in-plane neighbours, each reading one sample
#: further along Y and X than the step after it relies on: the defective pixels' repair, the
#: dark outliers' repair before the engine and the bright samples the second stage leaves out
#: (tested on the engine's result). A block mirrors its cut faces where the whole image has
#: neighbours, so its halo holds those samples too.
NEIGHBOUR_TESTS = 3


def _with_neighbour_tests(halo: Halo) -> Halo:
    """`halo` widened along Y and X by the samples the run's neighbour tests read."""
    extra = {axis: NEIGHBOUR_TESTS if axis in "YX" else 0 for axis in halo.reach}
    return Halo({a: r + extra[a] for a, r in halo.reach.items()}, dict(halo.step), dict(halo.least))


def denoise_dask(
    image: da.Array,
    *,
    axes: str | None,
    noise: NoiseSpec,
    patch_radius: int | Mapping[str, int] | None,
    search_axes: str | Mapping[str, bool] | None,
    iterations: int,
    pvalue: float,
    renoise: float,
    threads: int | None,
    stacklevel: int,
    refine: bool = True,
    channels: str = DEFAULT_CHANNELS,
) -> tuple[da.Array, NoiseModel]:
    """The lazy denoised image and the noise model, for :func:`pxvorel.denoise` on a dask array.

    The noise model is chosen before anything else, from :func:`noise_sample` (so from
    the whole image up to ``NOISE_SAMPLE_BUDGET`` samples), and shared by all blocks.
    `threads` is the thread count of each block's task, 1 by default: the scheduler
    runs blocks in parallel.
    """
    if image.dtype.kind not in "biuf":
        raise ValueError(f"image must hold real numbers (integer or floating point), not {image.dtype}")
    if image.size == 0:
        raise ValueError(f"image is empty (shape {image.shape})")
    if any(math.isnan(n) for n in image.shape):
        raise ValueError("the dask array has unknown chunk sizes; call compute_chunk_sizes() first")
    plan = AxisPlan.for_array(image.shape, axes)
    settings = Settings.from_arguments(
        plan,
        patch_radius=patch_radius,
        search_axes=search_axes,
        iterations=iterations,
        pvalue=pvalue,
        renoise=renoise,
        threads=1 if threads is None else threads,
        refine=refine,
        channels=channels,
    )
    engine = to_engine(image, plan)
    model = choose_model(noise_sample(engine), noise, stacklevel=stacklevel + 1)
    halo = Halo.for_image(settings, engine.shape)
    blocks = Blocks.for_shape(engine.shape)
    if settings.refine:
        halo = halo.widened(blocks)
    halo = _with_neighbour_tests(_whitened(halo, model))
    # Chunks shorter than the reach would each read a region many times their size (a
    # short last chunk only costs one such block).
    merged = {
        i: max(*chunks, 2 * halo.reach[axis])
        for i, (axis, chunks) in enumerate(zip(ENGINE_AXES, engine.chunks, strict=True))
        if axis in CUT_AXES and min(chunks[:-1] or chunks) < halo.reach[axis]
    }
    engine = engine.rechunk(merged, method=RECHUNK) if merged else engine
    denoised = denoise_blocks(engine, model, settings, halo, blocks)
    result = from_engine(denoised, plan)
    return (result if result.chunks == image.chunks else result.rechunk(image.chunks, method=RECHUNK)), model
