"""A figure of a noise model against the noise measured in the image, one panel per channel.

Each panel shows the noise variance of the recorded samples measured per intensity bin
(:func:`~pxvorel.noise.observed.observed_profile`) with its standard error, the model's
variance at those intensities, and the fit's quality: the ratio of the model's noise sd
to the measured one at the dark end and the median, and the share of bins where it lies
within 20 %. Used by ``pxvorel estimate --plot`` and the napari widget's Estimate.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from pxvorel.noise.channels import NoiseModel
from pxvorel.noise.observed import Observed, observed_profile

if TYPE_CHECKING:
    from matplotlib.figure import Figure


def fit_quality(model: NoiseModel, channel: int, observed: Observed) -> str:
    """One line on how well the model's sd follows the measured one."""
    if not observed.measured:
        return "no noise measured"
    parts = []
    for label, share in (("dark end", 0.05), ("median", 0.5)):
        intensity, measured = observed.at_quantile(share)
        if measured > 0:
            ratio = float(np.sqrt(model.variance(intensity, channel)[0] / measured))
            parts.append(f"{label} {ratio:.2f}")
    keep = observed.variance > 0
    ratios = np.sqrt(model.variance(observed.intensity[keep], channel) / observed.variance[keep])
    within = float(np.mean(np.abs(np.log(ratios)) <= np.log(1.2))) if ratios.size else 0.0
    return f"model/measured sd: {', '.join(parts)}; within 20 % in {100 * within:.0f} % of bins"


def model_figure(engine: np.ndarray, model: NoiseModel, figure: Figure | None = None) -> Figure:
    """Draw `model` against the noise measured in a (T, C, Z, Y, X) array.

    Parameters
    ----------
    engine : numpy.ndarray
        The image as (T, C, Z, Y, X).
    model : NoiseModel
        Its noise model (one channel per C).
    figure : matplotlib.figure.Figure, optional
        Figure to draw into (cleared first); a new one by default (the Agg backend is
        enough: nothing is shown).

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import numpy as np
    >>> import pxvorel
    >>> from pxvorel.noise.figure import model_figure
    >>> noisy = np.random.default_rng(0).poisson(np.linspace(20, 200, 128 * 128).reshape(128, 128))
    >>> figure = model_figure(noisy[None, None, None], pxvorel.estimate_noise(noisy))
    >>> len(figure.axes)
    1
    """
    from matplotlib.figure import Figure

    channels = engine.shape[1]
    figure = figure if figure is not None else Figure(figsize=(6.0, 3.6 * channels))
    figure.clear()
    for c in range(channels):
        axes = figure.add_subplot(channels, 1, c + 1)
        observed = observed_profile(engine[:, c])
        if observed.measured:
            keep = observed.variance > 0
            axes.errorbar(
                observed.intensity[keep],
                observed.variance[keep],
                yerr=observed.spread[keep],
                fmt="o",
                markersize=3,
                color="0.3",
                label="measured (per intensity bin)",
            )
            x = np.linspace(float(observed.intensity[0]), float(observed.intensity[-1]), 400)
            axes.plot(x, model.variance(x, c), color="tab:red", label="model")
            axes.set_yscale("log")
        axes.set_title(f"channel {c}: {model.describe_channel(c)}\n{fit_quality(model, c, observed)}", fontsize=8)
        axes.set_xlabel("intensity")
        axes.set_ylabel("noise variance")
        axes.legend(fontsize=7)
    figure.tight_layout()
    return figure
