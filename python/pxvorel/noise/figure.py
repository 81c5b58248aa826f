"""A figure of a noise model against the noise measured in the image, one panel per channel.

Each panel shows the noise variance of the recorded samples measured per intensity bin
(:func:`~pxvorel.noise.residuals.observed_profile`) with its standard error, the model's
variance at those intensities, and the fit's quality: the ratio of the model's noise sd
to the measured one at the dark end and the median, and the share of bins where it lies
within 20 %. Where the model's noise is spatially correlated, the measurement (a Laplacian
of neighbouring pixels) sees only part of the per-pixel variance: the model's variance is
drawn as well as that part (dashed), which the fit's quality compares, and a second panel
shows the correlation against the distance along X and Y. Used by ``pxvorel estimate --plot``
and the napari widget's Estimate.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from pxvorel.noise.model import NoiseModel
from pxvorel.noise.residuals import Observed, observed_profile

if TYPE_CHECKING:
    from matplotlib.figure import Figure


def fit_quality(model: NoiseModel, channel: int, observed: Observed) -> str:
    """One line on how well the model's sd (as the measurement sees it) follows the measured one."""
    if not observed.measured:
        return "no noise measured"
    seen = model.probe_share(channel)
    parts = []
    for label, share in (("dark end", 0.05), ("median", 0.5)):
        intensity, measured = observed.at_quantile(share)
        if measured > 0:
            ratio = float(np.sqrt(seen * model.variance(intensity, channel) / measured))
            parts.append(f"{label} {ratio:.2f}")
    figure = model.fit[channel]
    if figure is not None:  # the estimate's own figure, as its reason quotes it
        return f"model/measured sd: {', '.join(parts)}; {figure.describe()}"
    keep = observed.variance > 0
    ratios = np.sqrt(seen * model.variance(observed.intensity[keep], channel) / observed.variance[keep])
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
    columns = 2 if any(c is not None for c in model.correlation) else 1
    figure = figure if figure is not None else Figure(figsize=(6.0 + 3.0 * (columns - 1), 3.6 * channels))
    figure.clear()
    for c in range(channels):
        axes = figure.add_subplot(channels, columns, columns * c + 1)
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
            axes.plot(x, model.variance(x, c), color="tab:red", label="model (per pixel)")
            if model.correlated(c):
                axes.plot(
                    x,
                    model.probe_share(c) * model.variance(x, c),
                    color="tab:red",
                    linestyle="--",
                    label="model, as the measurement sees it",
                )
            axes.set_yscale("log")
        described = model.describe_channel(c).replace("; ", ";\n")
        axes.set_title(f"channel {c}: {described}\n{fit_quality(model, c, observed)}", fontsize=8)
        axes.set_xlabel("intensity")
        axes.set_ylabel("noise variance")
        axes.legend(fontsize=7)
        correlation = model.correlation[c]
        if correlation is not None:
            lags = np.asarray(correlation.lags)
            panel = figure.add_subplot(channels, columns, columns * c + 2)
            distance = np.arange(lags.shape[0])
            panel.plot(distance, lags[0], "o-", markersize=3, label="along X")
            panel.plot(distance, lags[:, 0], "s-", markersize=3, label="along Y")
            if correlation.z != 0.0:
                panel.plot([0, 1], [1.0, correlation.z], "^-", markersize=3, label="along Z")
            panel.axhline(0.0, color="0.6", linewidth=0.8)
            panel.set_title(f"channel {c}: noise correlation", fontsize=8)
            panel.set_xlabel("distance (pixels)")
            panel.set_ylabel("correlation")
            panel.legend(fontsize=7)
    figure.tight_layout()
    return figure
