"""What a run reports back: the noise model and settings it used, how they were chosen, and
its estimated quality when asked for."""

from __future__ import annotations

from dataclasses import dataclass

from pxvorel.core.axes import AxisPlan
from pxvorel.noise.model import NoiseModel
from pxvorel.quality.candidates import label
from pxvorel.quality.estimate import QualityEstimate
from pxvorel.quality.tune import Tuning
from pxvorel.run.settings import Settings


@dataclass(frozen=True)
class RunReport:
    """The parameters a run of :func:`pxvorel.denoise` used, and what it estimated.

    Examples
    --------
    >>> import numpy as np, pxvorel
    >>> noisy = np.random.default_rng(0).normal(100.0, 5.0, (64, 64))
    >>> _, report = pxvorel.denoise(noisy, noise=5.0, return_report=True)
    >>> report.settings.iterations, report.tuning is None, report.quality is None
    (4, True, True)
    """

    plan: AxisPlan
    """The image's axes."""
    noise: NoiseModel
    settings: Settings
    """The engine settings the whole image was denoised with."""
    tuning: Tuning | None = None
    """With ``tune=True``: the candidates tried, their scores and the choice."""
    quality: QualityEstimate | None = None
    """With ``quality=True``: the estimated error and PSNR gain."""

    def describe(self) -> str:
        """A few lines for a log or a status line."""
        lines = [f"settings: {self.settings.describe(self.plan)}"]
        if self.tuning is not None and not self.tuning.trusted:
            lines.append(
                "tuning: the candidates could not be scored (a clipped background, or an estimated "
                "error at or below 0); the given settings were kept"
            )
        elif self.tuning is not None:
            best = self.tuning.scores[self.tuning.candidates.index(self.tuning.chosen)]
            shape = self.tuning.crop_shape
            size = f"{' x '.join(map(str, shape))} (TCZYX)"
            count = self.tuning.tiles
            where = (
                f"chosen on {count} tile{'s' if count != 1 else ''} of {size}"
                if count
                else f"tuned on a crop of {size}"
            )
            lines.append(
                f"{where} over "
                f"{len(self.tuning.candidates)} candidates: {label(self.tuning.chosen)} "
                f"(estimated relative error {best:.4f}, defaults {self.tuning.scores[0]:.4f})"
            )
        if self.quality is not None:
            lines.append(self.quality.describe())
        return "\n".join(lines)
