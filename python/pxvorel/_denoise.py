"""``denoise``: parameters in the caller's terms, one or two native calls, the result in the caller's axis order."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Literal, overload

import numpy as np

from pxvorel import _engine
from pxvorel._axes import AxisPlan
from pxvorel._bands import bands_for, run_bands
from pxvorel._image import as_image
from pxvorel._noise import NoiseModel, choose_model
from pxvorel._progress import Fractions, ProgressSpec, reporting
from pxvorel._stabilise import ChannelTransform
from pxvorel._threads import current_threads, native_threads

#: Patch half-size per axis, chosen by PSNR on the demo's synthetic time series
#: (benchmarks/choose_defaults.py): on 24 frames of 256 x 256, radius 2 in X and Y
#: gives 42.0 dB without and 42.7 dB with a T radius of 1 (radius 1: 41.1 / 42.9 dB,
#: radius 3: 42.1 / 42.3 dB); the series read as a z-stack gives 43.4 dB with a Z
#: radius of 0 and 43.6 dB with 1. Z and T count only when the image has those axes.
DEFAULT_PATCH_RADIUS = {"X": 2, "Y": 2, "Z": 1, "T": 1}
#: Whether the search for similar patches extends along Z and T (it always does along X and
#: Y). Searching along T adds 1.3 dB on the demo series, along Z 2.3 dB on it read as a stack.
DEFAULT_SEARCH = {"Z": True, "T": True}

NoiseSpec = Literal["auto", "gaussian", "poisson-gaussian"] | float | NoiseModel


def _is_dask_array(image: object) -> bool:
    return type(image).__module__.startswith("dask.array")


def _integer(value: object, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise ValueError(f"{what} must be an integer, not {value!r}")
    return int(value)


def _patch_radius(value: int | Mapping[str, int] | None, plan: AxisPlan) -> dict[str, int]:
    """Per-axis radii: defaults shrunk to fit short axes, the caller's values checked to fit."""
    radius = {axis: min(r, (plan.size(axis) - 1) // 2) for axis, r in DEFAULT_PATCH_RADIUS.items()}
    if value is None:
        return radius
    given: dict[str, object]
    if isinstance(value, Mapping):
        given = {str(k).upper(): v for k, v in value.items()}
    else:
        given = dict.fromkeys("XYZ", value)  # one number: the spatial axes, like scikit-image
    for axis, entry in given.items():
        if axis == "C":
            raise ValueError("patch_radius cannot be set for C: a patch always spans all channels")
        if axis not in radius:
            raise ValueError(f"patch_radius has unknown axis {axis!r}: use X, Y, Z or T")
        if isinstance(value, Mapping) and axis not in plan.axes:
            raise ValueError(f"patch_radius is given for {axis}, but the image has no {axis} axis (axes {plan.axes})")
        r = _integer(entry, f"patch_radius along {axis}")
        if r < 0:
            raise ValueError(f"patch_radius along {axis} cannot be negative (got {r})")
        size = plan.size(axis)
        if size > 1 and 2 * r + 1 > size:
            raise ValueError(f"a patch of radius {r} along {axis} ({2 * r + 1} samples) does not fit an axis of {size}")
        radius[axis] = r
    return radius


def _search(value: str | Mapping[str, bool] | None) -> dict[str, bool]:
    """Per-axis search switches from a string of axis letters or a mapping of axis to bool."""
    search = dict(DEFAULT_SEARCH)
    if value is None:
        return search
    if isinstance(value, str):
        letters = value.upper()
        unknown = set(letters) - set("XYZT")
        if unknown:
            raise ValueError(f"search_axes {value!r} has letters other than X, Y, Z and T")
        return {axis: axis in letters for axis in search}
    if not isinstance(value, Mapping):
        raise ValueError(f"search_axes must be a string such as 'XYT' or a mapping like {{'T': False}}, not {value!r}")
    for key, on in value.items():
        axis = str(key).upper()
        if axis in ("X", "Y") and not on:
            raise ValueError("the search for similar patches always extends along X and Y")
        if axis not in ("X", "Y", "Z", "T"):
            raise ValueError(f"search_axes has unknown axis {key!r}: use X, Y, Z or T (never C)")
        if axis in search:
            search[axis] = bool(on)
    return search


@dataclass(frozen=True)
class Settings:
    """Validated engine settings in per-axis form."""

    patch_radius: dict[str, int]
    search: dict[str, bool]
    iterations: int
    pvalue: float
    renoise: float
    threads: int | None
    """None: the OpenMP thread count in force, left as it is."""

    @classmethod
    def from_arguments(
        cls,
        plan: AxisPlan,
        *,
        patch_radius: int | Mapping[str, int] | None,
        search_axes: str | Mapping[str, bool] | None,
        iterations: int,
        pvalue: float,
        renoise: float,
        threads: int | None,
    ) -> Settings:
        iterations = _integer(iterations, "iterations")
        if not 1 <= iterations <= 30:
            raise ValueError(f"iterations must be between 1 and 30, not {iterations}")
        if not 0.0 <= float(pvalue) <= 1.0:
            raise ValueError(f"pvalue must be in [0, 1], not {pvalue!r}")
        if not float(renoise) >= 0.0:
            raise ValueError(f"renoise must be >= 0, not {renoise!r}")
        if threads is not None:
            threads = _integer(threads, "threads")
            if threads < 1:
                raise ValueError(f"threads must be at least 1, not {threads}")
        return cls(_patch_radius(patch_radius, plan), _search(search_axes), iterations, float(pvalue),
                   float(renoise), threads)

    def native_lists(self) -> tuple[list[int], list[int]]:
        """patch_radius and neighborhood_axes in the engine's x, y, z, c, t order."""
        r = self.patch_radius
        return [r["X"], r["Y"], r["Z"], 0, r["T"]], [1, 1, int(self.search["Z"]), 0, int(self.search["T"])]

    def describe(self, plan: AxisPlan) -> str:
        """One line, naming only the axes the image extends along."""
        extended = [a for a in "XYZT" if plan.size(a) > 1]
        radius = " ".join(f"{a}{self.patch_radius[a]}" for a in extended)
        search = "".join(a for a in extended if a in "XY" or self.search[a])
        return (f"{self.iterations} iterations, patch radius {radius}, search {search}, "
                f"p-value {self.pvalue:g}, renoise {self.renoise:g}, "
                f"{self.threads if self.threads is not None else current_threads()} thread(s)")



def run_engine(engine: np.ndarray, model: NoiseModel, settings: Settings,
               progress: Callable[[float], object] | None = None) -> np.ndarray:
    """Denoise a (T, C, Z, Y, X) array into a new float32 array.

    Every channel is brought to unit noise (Poisson-Gaussian channels through the
    stabilising transform, Gaussian channels divided by their sigma), the engine runs
    once on all channels with sigma 1, so that each channel weighs the same in the patch
    distances whatever its model, and each channel is transformed back with its own model.
    A channel without noise (gain and offset 0) is copied and takes no part. With more
    than one thread the engine runs once per band where bands pay (:mod:`pxvorel._bands`),
    which gives the one-thread result.
    """
    noisy = [c for c in range(model.channels) if (model.gain[c], model.offset[c]) != (0.0, 0.0)]
    result = np.array(engine, dtype=np.float32, order="C", copy=True)
    if not noisy:
        return result
    transforms = {c: ChannelTransform.for_channel(model.gain[c], model.offset[c]) for c in noisy}
    work = np.empty((engine.shape[0], len(noisy), *engine.shape[2:]), dtype=np.float32)
    for i, c in enumerate(noisy):
        work[:, i] = transforms[c].forward(engine[:, c])
    radius, search = settings.native_lists()
    bands = bands_for(work.shape, settings)
    if bands is not None:
        def one_band(band: np.ndarray, report: Callable[[float], None]) -> np.ndarray:
            return _engine.denoise(band, 1.0, radius, search, settings.iterations, settings.pvalue, 1,
                                   settings.renoise, progress=report)

        denoised = run_bands(work, bands, one_band, progress)
    else:
        with native_threads(settings.threads) as threads:
            denoised = _engine.denoise(work, 1.0, radius, search, settings.iterations, settings.pvalue, threads,
                                       settings.renoise, progress=progress)
    for i, c in enumerate(noisy):
        result[:, c] = transforms[c].inverse(denoised[:, i])
    return result


@dataclass(frozen=True)
class DenoiseJob:
    """One denoising run in three steps (prepare, choose the noise model, run), so that a
    caller such as the command line can report each step; :func:`denoise` chains them."""

    plan: AxisPlan
    settings: Settings
    engine: np.ndarray
    """The input as a (T, C, Z, Y, X) view; never written to."""

    @classmethod
    def prepare(cls, image: np.typing.ArrayLike, *, axes: str | None, **parameters: object) -> DenoiseJob:
        """Check the image, its axes and the engine parameters before any work."""
        array = as_image(image)
        plan = AxisPlan.for_array(array.shape, axes)
        settings = Settings.from_arguments(plan, **parameters)  # type: ignore[arg-type]
        return cls(plan, settings, plan.to_engine(array))

    def choose_noise(self, noise: NoiseSpec, *, stacklevel: int = 1) -> NoiseModel:
        """The noise model for this image (estimated unless given)."""
        return choose_model(self.engine, noise, stacklevel=stacklevel + 1)

    def run(self, model: NoiseModel, progress: Fractions | None = None) -> np.ndarray:
        """The denoised image as a new float32 array in the caller's axis order."""
        result = run_engine(self.engine, model, self.settings, progress)
        if progress is not None:
            progress.finish()
        return np.ascontiguousarray(self.plan.from_engine(result))


@overload
def denoise(image: np.typing.ArrayLike, *, axes: str | None = ..., noise: NoiseSpec = ...,
            patch_radius: int | Mapping[str, int] | None = ..., iterations: int = ..., pvalue: float = ...,
            renoise: float = ..., search_axes: str | Mapping[str, bool] | None = ..., threads: int | None = ...,
            out: np.ndarray | None = ..., return_noise: Literal[False] = ...,
            progress: ProgressSpec = ...) -> np.ndarray: ...
@overload
def denoise(image: np.typing.ArrayLike, *, axes: str | None = ..., noise: NoiseSpec = ...,
            patch_radius: int | Mapping[str, int] | None = ..., iterations: int = ..., pvalue: float = ...,
            renoise: float = ..., search_axes: str | Mapping[str, bool] | None = ..., threads: int | None = ...,
            out: np.ndarray | None = ..., return_noise: Literal[True],
            progress: ProgressSpec = ...) -> tuple[np.ndarray, NoiseModel]: ...


def denoise(
    image: np.typing.ArrayLike,
    *,
    axes: str | None = None,
    noise: NoiseSpec = "auto",
    patch_radius: int | Mapping[str, int] | None = None,
    iterations: int = 4,
    pvalue: float = 0.01,
    renoise: float = 0.0,
    search_axes: str | Mapping[str, bool] | None = None,
    threads: int | None = None,
    out: np.ndarray | None = None,
    return_noise: bool = False,
    progress: ProgressSpec = None,
) -> np.ndarray | tuple[np.ndarray, NoiseModel]:
    """Denoise a 1-D to 5-D fluorescence image with non-local patch averaging.

    Similar patches are searched for in a neighbourhood that grows with each iteration
    and averaged with weights from a statistical test of their similarity. Every channel
    is first brought to unit noise: Poisson-Gaussian noise (photon counts plus camera
    read noise) through a generalised Anscombe transform, whose exact unbiased inverse
    (in closed form) brings it back without a low-light bias; Gaussian noise by dividing
    by its sigma. A patch spans all channels, so the similarity of two positions is
    judged on all channels jointly, each weighing the same; channel values are never
    mixed.

    Parameters
    ----------
    image : array_like or dask.array.Array
        Noisy image of 1 to 5 dimensions: integer or floating point, no NaN or
        infinite samples. It is never modified (unless it is also `out`). A dask
        array is denoised lazily, block by block (see Returns).
    axes : str, optional
        The image's axes in its own order, letters from T (time), C (channel), Z, Y and
        X, e.g. ``"YX"``, ``"ZYX"``, ``"TYX"``, ``"CYX"`` or ``"TZCYX"``. By default
        ``"X"``, ``"YX"``, ``"ZYX"``, ``"CZYX"`` or ``"TCZYX"`` by dimension count.
        A 3-D time series must therefore be given as ``axes="TYX"``.
    noise : {"auto", "gaussian", "poisson-gaussian"}, float or NoiseModel, optional
        The noise model. ``"auto"`` (default) fits a Poisson-Gaussian model per channel
        to the noise measured within each (Y, X) plane (see :func:`estimate_noise`). A
        fitted line is used only where it describes the data: a positive gain, a
        variance above 0 over the image's intensities, and a noise level within 30 % of
        the one measured at the darkest and at the median intensity; otherwise the
        channel falls back to Gaussian noise, with a warning saying why. A channel whose
        noise hardly changes with intensity (standard deviation within 5 % over the
        measured range) is treated as Gaussian. ``"gaussian"`` estimates one sigma per
        channel (the noise at its median intensity), ``"poisson-gaussian"`` uses the
        fitted model for every channel and raises ValueError where it cannot. A number
        is a known sigma for all channels; a :class:`NoiseModel` gives known gains and
        offsets (gain 0 means Gaussian) and raises ValueError when its variance is not
        positive over the image's intensities.
    patch_radius : int or dict, optional
        Patch half-size per axis, e.g. ``{"X": 3, "Y": 3, "Z": 1, "T": 1}``; an int sets
        X, Y and Z. Default ``{"X": 2, "Y": 2, "Z": 1, "T": 1}``, shrunk to fit short axes.
        A patch always spans all channels.
    iterations : int, optional
        Number of iterations (1 to 30); the search reaches +-2**(i-1) samples in X and Y
        at iteration i. Default 4.
    pvalue : float, optional
        Significance level of the patch similarity test, in [0, 1]. Lower values average
        more aggressively. Default 0.01.
    renoise : float, optional
        Amount of the noisy input mixed back into each estimate (0, the default, mixes
        none; larger values keep more of the original texture).
    search_axes : str or dict, optional
        Axes the search neighbourhood extends along besides X and Y, e.g. ``"XYZ"`` or
        ``{"T": False}``. Default: Z and T.
    threads : int, optional
        Number of threads. By default the OpenMP thread count in force (all cores,
        unless ``OMP_NUM_THREADS``, threadpoolctl or a dask worker limits it). The
        count in force is the same after the call as before. In a process forked from
        one that imported pxvorel, the run uses one thread (OpenMP's threads do not
        survive ``fork``). With more than one thread an image large enough for it is
        cut into overlapping bands, up to one per thread, each denoised on one thread,
        and the result is the one-thread result bit for bit; otherwise the engine's
        own threads share the work, and the last bits of the result can vary from run
        to run. For a dask array: the threads of each block's task, 1 by default (the
        scheduler runs blocks in parallel).
    out : numpy.ndarray, optional
        Array of the input's shape and a floating-point dtype to receive the result (it
        may be the input itself). Written only once the denoising has succeeded.
    return_noise : bool, optional
        Also return the noise model that was used.
    progress : bool or callable, optional
        ``True`` shows a progress bar with elapsed and remaining time on standard error;
        a callable is called on the calling thread, about ten times a second, with the
        fraction of the denoising done (in [0, 1], never decreasing, ending with 1.0).
        An exception raised by it stops the run and propagates. A run can always be
        stopped with Ctrl-C (``KeyboardInterrupt``) within a fraction of a second; the
        input and `out` are then untouched.

    Returns
    -------
    denoised : numpy.ndarray or dask.array.Array
        float32 array of the input's shape and axis order (`out` when given). For a
        dask array, a lazy dask array in the input's chunks, computed block by block on
        the active scheduler (e.g. a ``distributed.Client``); each block is read with a
        halo covering the reach of all iterations and aligned to the engine's reference
        grid, so the result equals the in-memory one (bit for bit with one thread). Its
        noise model is chosen once, before any block: estimated from the whole array up
        to 2**25 samples, beyond that from up to 8 evenly spaced slabs of 16
        consecutive planes (or one slab from the middle), about 2**25 samples in all.
    noise_model : NoiseModel
        Only with ``return_noise=True``: the per-channel model used; a Gaussian channel
        has gain 0 and offset sigma**2.

    Raises
    ------
    ValueError
        For a bad axes string, an image of 0 or more than 5 dimensions, NaN or infinite
        samples, a parameter out of range, a given noise model that predicts no noise
        inside the image's intensity range, or an image whose noise cannot be measured
        (flat); nothing is written then.

    Warns
    -----
    UserWarning
        When ``noise="auto"`` falls back to Gaussian noise for a channel.

    Examples
    --------
    >>> import numpy as np
    >>> import pxvorel
    >>> rng = np.random.default_rng(1)
    >>> clean = np.broadcast_to(np.linspace(20.0, 200.0, 64), (10, 64, 64))
    >>> noisy = rng.poisson(clean).astype(np.uint16)          # photon counts, 10 frames
    >>> denoised, model = pxvorel.denoise(noisy, axes="TYX", return_noise=True)
    >>> denoised.shape, denoised.dtype
    ((10, 64, 64), dtype('float32'))
    >>> round(model.gain[0], 1)                               # one count per photon
    1.0
    """
    if _is_dask_array(image):
        if out is not None:
            raise ValueError("out cannot be given for a dask array: the result is a lazy dask array")
        from pxvorel._chunked import denoise_dask

        lazy, model = denoise_dask(image, axes=axes, noise=noise, patch_radius=patch_radius, search_axes=search_axes,
                                   iterations=iterations, pvalue=pvalue, renoise=renoise, threads=threads,
                                   stacklevel=2)
        return (lazy, model) if return_noise else lazy
    job = DenoiseJob.prepare(image, axes=axes, patch_radius=patch_radius, search_axes=search_axes,
                             iterations=iterations, pvalue=pvalue, renoise=renoise, threads=threads)
    if out is not None and (not isinstance(out, np.ndarray) or out.shape != job.plan.shape or out.dtype.kind != "f"):
        raise ValueError(f"out must be a floating-point array of shape {job.plan.shape}")
    with reporting(progress) as fractions:
        model = job.choose_noise(noise, stacklevel=2)
        denoised = job.run(model, fractions)
    if out is not None:
        out[...] = denoised
        denoised = out
    return (denoised, model) if return_noise else denoised
