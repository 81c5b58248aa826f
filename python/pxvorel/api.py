"""``denoise``: the public function; it validates its arguments and runs :mod:`pxvorel.pipeline`."""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Literal, TypeGuard, overload

import numpy as np

from pxvorel.noise.model import NoiseModel, NoiseSpec
from pxvorel.pipeline import run
from pxvorel.quality.report import RunReport
from pxvorel.run.job import prepare
from pxvorel.run.progress import ProgressSpec, reporting
from pxvorel.run.settings import DEFAULT_CHANNELS, DEFAULT_ITERATIONS, DEFAULT_PVALUE, ChannelMode

if TYPE_CHECKING:
    import dask.array as da


def _is_dask_array(image: object) -> TypeGuard[da.Array]:
    return type(image).__module__.startswith("dask.array")


# A dask array is array-like too: its overloads come first.
@overload
def denoise(
    image: da.Array,
    *,
    axes: str | None = ...,
    noise: NoiseSpec = ...,
    patch_radius: int | Mapping[str, int] | None = ...,
    iterations: int = ...,
    pvalue: float = ...,
    renoise: float = ...,
    search_axes: str | Mapping[str, bool] | None = ...,
    threads: int | None = ...,
    refine: bool = ...,
    channels: ChannelMode = ...,
    out: None = ...,
    return_noise: Literal[False] = ...,
    progress: ProgressSpec = ...,
) -> da.Array: ...
@overload
def denoise(
    image: da.Array,
    *,
    axes: str | None = ...,
    noise: NoiseSpec = ...,
    patch_radius: int | Mapping[str, int] | None = ...,
    iterations: int = ...,
    pvalue: float = ...,
    renoise: float = ...,
    search_axes: str | Mapping[str, bool] | None = ...,
    threads: int | None = ...,
    refine: bool = ...,
    channels: ChannelMode = ...,
    out: None = ...,
    return_noise: Literal[True],
    progress: ProgressSpec = ...,
) -> tuple[da.Array, NoiseModel]: ...
@overload
def denoise(
    image: np.typing.ArrayLike,
    *,
    axes: str | None = ...,
    noise: NoiseSpec = ...,
    patch_radius: int | Mapping[str, int] | None = ...,
    iterations: int = ...,
    pvalue: float = ...,
    renoise: float = ...,
    search_axes: str | Mapping[str, bool] | None = ...,
    threads: int | None = ...,
    refine: bool = ...,
    channels: ChannelMode = ...,
    out: np.ndarray | None = ...,
    return_noise: Literal[False] = ...,
    progress: ProgressSpec = ...,
    tune: bool = ...,
    quality: bool = ...,
    return_report: Literal[False] = ...,
) -> np.ndarray: ...
@overload
def denoise(
    image: np.typing.ArrayLike,
    *,
    axes: str | None = ...,
    noise: NoiseSpec = ...,
    patch_radius: int | Mapping[str, int] | None = ...,
    iterations: int = ...,
    pvalue: float = ...,
    renoise: float = ...,
    search_axes: str | Mapping[str, bool] | None = ...,
    threads: int | None = ...,
    refine: bool = ...,
    channels: ChannelMode = ...,
    out: np.ndarray | None = ...,
    return_noise: Literal[True],
    progress: ProgressSpec = ...,
    tune: bool = ...,
    quality: bool = ...,
    return_report: Literal[False] = ...,
) -> tuple[np.ndarray, NoiseModel]: ...
@overload
def denoise(
    image: np.typing.ArrayLike,
    *,
    axes: str | None = ...,
    noise: NoiseSpec = ...,
    patch_radius: int | Mapping[str, int] | None = ...,
    iterations: int = ...,
    pvalue: float = ...,
    renoise: float = ...,
    search_axes: str | Mapping[str, bool] | None = ...,
    threads: int | None = ...,
    refine: bool = ...,
    channels: ChannelMode = ...,
    out: np.ndarray | None = ...,
    return_noise: Literal[False] = ...,
    progress: ProgressSpec = ...,
    tune: bool = ...,
    quality: bool = ...,
    return_report: Literal[True],
) -> tuple[np.ndarray, RunReport]: ...


def denoise(
    image: np.typing.ArrayLike | da.Array,
    *,
    axes: str | None = None,
    noise: NoiseSpec = "auto",
    patch_radius: int | Mapping[str, int] | None = None,
    iterations: int = DEFAULT_ITERATIONS,
    pvalue: float = DEFAULT_PVALUE,
    renoise: float = 0.0,
    search_axes: str | Mapping[str, bool] | None = None,
    threads: int | None = None,
    refine: bool = True,
    channels: ChannelMode = DEFAULT_CHANNELS,
    out: np.ndarray | None = None,
    return_noise: bool = False,
    progress: ProgressSpec = None,
    tune: bool = False,
    quality: bool = False,
    return_report: bool = False,
) -> np.ndarray | da.Array | tuple[np.ndarray | da.Array, NoiseModel] | tuple[np.ndarray, RunReport]:
    """Denoise a 1-D to 5-D fluorescence image with non-local patch averaging.

    Similar patches are searched for in a neighborhood that grows with each iteration
    and averaged with weights from a statistical test of their similarity. Every channel
    is first brought to unit noise: Poisson-Gaussian noise (photon counts plus camera
    read noise) through a generalised Anscombe transform, whose exact unbiased inverse
    (in closed form) brings it back without a low-light bias; Gaussian noise by dividing
    by its sigma. By default every channel is denoised on its own (``channels``);
    channel values are never mixed. By default a second stage follows (see `refine`).

    Three ways to set the engine's parameters:

    - the default call (`patch_radius` not given, `iterations` and `pvalue` at their
      defaults, `refine` on): patch radius 2 (1 in X and Y on a time-lapse; Z, T 1), 4
      iterations, p-value 1e-5 and the second stage. On a plane of at least about
      360 x 360 samples that setting and two others are first compared by Stein's
      unbiased risk estimate on 4 to 16 tiles of 64 x 64 spread over the image (a
      sixteenth of it at most; about a third more run time): a finer one (radius 1, 3
      iterations, p-value 0.1, better on filaments, spots and natural images; the second
      stage then runs two passes) and one between them (radius 1, 4 iterations, p-value
      0.05, with wider blocks of the stage); the default wins only where its estimated
      error is lower by more than 5 %. On a time-lapse of at least about 256 x 256
      samples the default and a smoother setting (p-value 1e-7, with wider blocks of the
      stage, better on slow, smooth change) are compared on tiles of 64 x 64 over up to
      16 middle frames; the smoother one must win by more than 5 %. The default stays
      where the estimate cannot be relied on (a clipped background, quantised data),
      on stacks, and on the chunked (dask) path, which uses the defaults as they are.
    - fixed parameters: any of `patch_radius`, `iterations` or `pvalue` given otherwise
      (e.g. ``patch_radius=2`` for the default setting without the comparison), or
      ``refine=False``: exactly the parameters given (with ``refine=False`` the patch
      averaging alone, e.g. ``refine=False, channels="joint", pvalue=0.01``).
    - ``tune=True``: chosen per image over up to 8 candidates on a larger crop (several
      times the cost of a run).

    Every run logs the parameters it used (logger ``pxvorel``, level INFO); with
    ``return_report=True`` they come back in a :class:`RunReport`, with the estimated
    quality when ``quality=True``.

    Parameters
    ----------
    image : array_like or dask.array.Array
        Noisy image of 1 to 5 dimensions: integer or floating point, no NaN or
        infinite samples. It is never modified (unless it is also `out`). A dask
        array is denoised lazily, block by block (see Returns).
    axes : str, optional
        The image's axes in its own order, letters from T (time), C (channel), Z, Y and
        X, e.g. ``"YX"``, ``"ZYX"``, ``"TYX"``, ``"CYX"`` or ``"TZCYX"``. By default
        ``"X"``, ``"YX"``, ``"ZYX"``, ``"CZYX"`` or ``"TCZYX"`` by dimension count, but
        only where the shape leaves no doubt: an array of 3 or more dimensions whose
        first axis has at most 16 entries (channels, frames or slices?) or whose last
        axis has at most 4 (colour samples?) needs `axes`, and ValueError names the
        candidates. A 3-D time series must always be given as ``axes="TYX"``.
    noise : {"auto", "gaussian", "poisson-gaussian"}, float or NoiseModel, optional
        The noise model. ``"auto"`` (default) describes each channel's noise at every
        intensity it holds, as measured within its (Y, X) planes (see
        :func:`estimate_noise`, which returns the same model with the reason for each
        choice): a Poisson-Gaussian line where it agrees within 20 % in noise sd with the
        recorded noise at the dark end and the median (a line reaching 0 just inside the
        range is kept with a variance floor when it fits within 10 %; a clipped
        background or saturation is modelled as clipping of the line, fitted clear of
        the clip and checked where most samples are clear of it; sparse photon noise is
        measured with its whole tail); otherwise the noise variance measured per intensity, with a
        stabilising transform built from it whose inverse keeps the mean; a single sigma
        only where the noise does not change with intensity. ``"gaussian"`` estimates
        one sigma per channel (the noise at its median intensity),
        ``"poisson-gaussian"`` uses a line for every channel and raises ValueError
        where none fits. Every mode also measures the spatial correlation of each
        channel's noise (cameras that resample or filter make neighbouring pixels' noise
        correlate): where it is strong (0.4 or more between neighbours) and the same
        throughout the image, the model's level is the per-pixel noise and the noise is
        whitened before denoising and the result coloured back; elsewhere the model is
        white (``estimate_noise(..., correlation=False)`` gives the white model, to pass
        here). A number is a known sigma for all channels (white noise); a
        :class:`NoiseModel` gives known gains and offsets (gain 0 means Gaussian), and
        its ``correlation`` where the noise is correlated, and raises ValueError when its
        variance is not positive over the image's intensities.
    patch_radius : int or dict, optional
        Patch half-size per axis, e.g. ``{"X": 3, "Y": 3, "Z": 1, "T": 1}``; an int sets
        X, Y and Z. Default ``{"X": 2, "Y": 2, "Z": 1, "T": 1}`` (X and Y 1 on a time-lapse
        without Z), shrunk to fit short axes; see above for the default call's choice.
        A patch always spans all channels.
    iterations : int, optional
        Number of iterations (1 to 30); the search reaches +-2**(i-1) samples in X and Y
        at iteration i. Default 4.
    pvalue : float, optional
        Significance level of the patch similarity test, in [0, 1]. Lower values average
        more aggressively. Default 1e-5.
    renoise : float, optional
        Amount of the noisy input mixed back into each estimate (0, the default, mixes
        none; larger values keep more of the original texture).
    search_axes : str or dict, optional
        Axes the search neighborhood extends along besides X and Y, e.g. ``"XYZ"`` or
        ``{"T": False}``. Default: Z and T.
    threads : int, optional
        Number of threads. By default the OpenMP thread count in force (all cores,
        unless ``OMP_NUM_THREADS``, threadpoolctl or a dask worker limits it). The
        count in force is the same after the call as before. In a process forked from
        one that imported pxvorel, the run uses one thread (OpenMP's threads do not
        survive ``fork``). With more than one thread, channels denoised apart run side
        by side on one thread each when there are at least as many as threads, or an
        image large enough for it is cut into overlapping bands, up to one per thread,
        each denoised on one thread; the result is then the one-thread result bit for
        bit. Otherwise the engine's own threads share the work, and the last bits of
        the result differ from the one-thread result (on small images also from run
        to run). For a dask array: the threads of each block's task, 1 by default (the
        scheduler runs blocks in parallel).
    refine : bool, optional
        ``True`` (default): after the patch averaging, a second stage filters the
        unit-noise image again in overlapping blocks of its discrete cosine transform,
        keeping each coefficient by how strongly the first result shows it (an
        empirical Wiener filter with the first result as the guide). The blocks extend
        along Z on stacks and along T on time-lapses (8 x 16 x 16 both), over
        12 x 12 in Y and X otherwise (after the default call's finer setting on a plane
        two passes, 16 x 16 then 12 x 12, the second guided by the first one's result;
        after its other choices wider blocks: 16 x 16, and 10 x 24 x 24 on time-lapses);
        channels are filtered apart. Its result does not
        depend on the thread count. It costs a fraction of the patch averaging's time
        and gains in PSNR on most images (see docs/decisions/0005-second-stage-blocks.md).
        ``False``: the patch averaging alone, with the parameters given.
    channels : {"separate", "joint"}, optional
        ``"separate"`` (default) denoises every channel on its own: each finds the
        patches similar in itself. ``"joint"`` lets a patch span all channels, so the
        similarity of two positions is judged on all channels together (each weighing
        the same): this helps only when the channels show the same structures at
        similar noise, and costs detail otherwise (see docs/decisions/0004-separate-channels.md).
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
    tune : bool, optional
        Choose the patch radius in X and Y, the iterations and the p-value per image:
        up to 8 candidate settings (the given ones among them; p-values down to 1e-5,
        3 to 6 iterations, radius 1 to 3; none costing more than 16 times the given
        setting, which leaves out 6 iterations on stacks and time-lapses) are each run
        twice on a central crop (256 x 256 of a plane; 16 planes of 128 x 128 of a
        stack or time series) and scored by Stein's unbiased risk estimate; the lowest
        estimated error wins and the whole image is denoised with it (which may then
        take several times as long as with the defaults). Other settings stay as
        given. In-memory images only.
    quality : bool, optional
        Estimate the result's mean squared error without a clean image (Stein's
        unbiased risk estimate in intensities, from one more run on the input plus a
        small random probe: the run takes about twice as long). The estimate, its PSNR
        gain over the input and the gain's standard error are logged and returned in
        the report (see `return_report`). It takes the noise model as exact (see
        :class:`QualityEstimate`), and is marked as not reliable on a channel with a
        clipped background. In-memory images only.
    return_report : bool, optional
        Also return a :class:`RunReport`: the noise model and settings used, the
        tuning's candidates and scores, and the quality estimate when asked for. Not
        together with `return_noise` (the report holds the noise model).

    Returns
    -------
    denoised : numpy.ndarray or dask.array.Array
        float32 array of the input's shape and axis order (`out` when given). For a
        dask array, a lazy dask array in the input's chunks, computed block by block on
        the active scheduler (e.g. a ``distributed.Client``); each block is read with a
        halo covering the reach of all iterations (and of the second stage's blocks)
        and aligned to the engine's reference grid, so the result equals the in-memory one (bit for bit with one thread;
        where the noise model is spatially correlated, each block is whitened on its own, which the halo covers
        to within a small fraction of the noise). Its
        noise model is chosen once, before any block: estimated from the whole array up
        to 2**25 samples, beyond that from up to 8 evenly spaced slabs of 16
        consecutive planes (or one slab from the middle), about 2**25 samples in all.
    noise_model : NoiseModel
        Only with ``return_noise=True``: the per-channel model used; a Gaussian channel
        has gain 0 and offset sigma**2; ``noise_model.variance(intensities, channel=c)``
        evaluates any model, ``noise_model.reason(c)`` says why it was chosen.
    report : RunReport
        Only with ``return_report=True``.

    Raises
    ------
    ValueError
        For a bad axes string, no axes for a shape whose default is in doubt (see
        `axes`), an image of 0 or more than 5 dimensions, NaN or infinite
        samples, a parameter out of range, a given noise model that predicts no noise
        inside the image's intensity range, or an image whose noise cannot be measured
        (flat); nothing is written then.

    Warns
    -----
    UserWarning
        For a channel whose noise cannot be measured (flat): it is returned unchanged.

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
    if return_noise and return_report:
        raise ValueError("give return_noise or return_report, not both: the report holds the noise model")
    if _is_dask_array(image):
        if out is not None:
            raise ValueError("out cannot be given for a dask array: the result is a lazy dask array")
        if tune or quality or return_report:
            raise ValueError("tune, quality and return_report need an in-memory image, not a dask array")
        from pxvorel.run.chunked import denoise_dask

        lazy, model = denoise_dask(
            image,
            axes=axes,
            noise=noise,
            patch_radius=patch_radius,
            search_axes=search_axes,
            iterations=iterations,
            pvalue=pvalue,
            renoise=renoise,
            threads=threads,
            refine=refine,
            channels=channels,
            stacklevel=2,
        )
        return (lazy, model) if return_noise else lazy
    job = prepare(
        image,
        axes=axes,
        patch_radius=patch_radius,
        search_axes=search_axes,
        iterations=iterations,
        pvalue=pvalue,
        renoise=renoise,
        threads=threads,
        refine=refine,
        channels=channels,
    )
    if out is not None and (not isinstance(out, np.ndarray) or out.shape != job.plan.shape or out.dtype.kind != "f"):
        raise ValueError(f"out must be a floating-point array of shape {job.plan.shape}")
    with reporting(progress) as fractions:
        denoised, report = run(job, noise, tune=tune, quality=quality, progress=fractions, stacklevel=2)
    model = report.noise
    if out is not None:
        out[...] = denoised
        denoised = out
    if return_report:
        return denoised, report
    return (denoised, model) if return_noise else denoised
