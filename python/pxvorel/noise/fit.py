"""How well a channel's noise model follows the noise measured in it: the fit figure.

The figure is the share of the channel's intensity bins (of the recorded samples'
Laplacian residuals, :class:`~pxvorel.noise.residuals.Observed`) where the model's noise sd,
as that probe sees it, lies within 20 % of the measured one, and the bin where it lies
furthest. Bins whose noise cannot be measured (rounded away in whole-number data, or at a
clip where most samples sit on it) are not judged. A model fits when at least FITS of the
judged bins agree; the reason of every estimated channel carries its figure, and a model
that does not fit is warned about (``pxvorel estimate --strict`` then fails).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

#: A bin agrees when the model's sd is within this factor of the measured one.
WITHIN = 1.2
#: A model fits when this share of the judged bins agree at least; with fewer than
#: FEWEST judged bins the figure is given but no misfit declared (a few bins of a sparse or
#: mostly clipped channel scatter too much to judge by).
FITS = 0.75
FEWEST = 8


@dataclass(frozen=True)
class FitFigure:
    """The share of intensity bins where the model agrees with the measured noise, and the
    bin where it disagrees most (its intensity and the ratio of model to measured sd)."""

    share: float
    bins: int
    worst_intensity: float
    worst_ratio: float

    @property
    def fits(self) -> bool:
        return self.share >= FITS or self.bins < FEWEST

    def describe(self) -> str:
        """ "model sd within 20 % of the measured in 92 % of 38 intensity bins, furthest 0.71x at 1234"."""
        return (
            f"model sd within {100 * (WITHIN - 1):.0f} % of the measured in {100 * self.share:.0f} % of "
            f"{self.bins} intensity bins, furthest {self.worst_ratio:.2f}x at {self.worst_intensity:.4g}"
        )


def fit_figure(
    intensity: npt.NDArray[np.float64], predicted: npt.NDArray[np.float64], measured: npt.NDArray[np.float64]
) -> FitFigure | None:
    """The fit figure of a model whose variance, as the probe sees it, is `predicted` where
    `measured` is measured, at the judged bins' `intensity`; None when no bin is judged."""
    if intensity.size == 0:
        return None
    ratio = np.sqrt(np.maximum(predicted, 0.0) / measured)
    distance = np.abs(np.log(np.maximum(ratio, 1e-300)))
    worst = int(np.argmax(distance))
    return FitFigure(
        share=float(np.mean(distance <= math.log(WITHIN))),
        bins=int(intensity.size),
        worst_intensity=float(intensity[worst]),
        worst_ratio=float(ratio[worst]),
    )
