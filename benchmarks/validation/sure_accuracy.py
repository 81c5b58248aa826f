"""The estimated mean squared error (Monte-Carlo SURE) against the true one.

Synthetic images (the benchmarks' smooth scene, 256 x 256) with Gaussian and
Poisson-Gaussian noise, from bright to a few photons; default settings with the second
stage, several noise draws each. Printed per case: the mean ratio of the estimated to the
true MSE in intensities (the package's estimate, the Poisson-Gaussian channels weighted
with the model's variance at each intensity), the spread of that ratio over the draws,
the mean standard error the estimate reports, and for comparison the estimate made at
variance 1 in the stabilised domain, each sample's term scaled back to intensities by the
model's variance at the result (the derivative of the inverse transform, squared).

    tools/py314 python3 -m benchmarks.validation.sure_accuracy [--draws N]
"""

from __future__ import annotations

import argparse

import numpy as np

import pxvorel
from benchmarks.data import gaussian_noise, poisson_gaussian_noise, smooth_scene
from pxvorel.core.axes import AxisPlan
from pxvorel.quality.sure import PROBE, estimate_risk
from pxvorel.run.execute import execute
from pxvorel.run.plan import RunPlan
from pxvorel.run.settings import Settings
from pxvorel.run.unit import UnitImage


def cases() -> list[tuple[str, np.ndarray, float, float]]:
    """(name, clean image, gain, read-noise sd); gain 0 is Gaussian noise."""
    scene = smooth_scene((256, 256), 2)
    return [
        ("Gaussian σ 25", scene, 0.0, 25.0),
        ("Gaussian σ 10", scene, 0.0, 10.0),
        ("Poisson-Gaussian, gain 2, read 4, up to ~1000 ADU", scene * 4.0, 2.0, 4.0),
        ("Poisson-Gaussian, gain 1, read 1, 6-230 photons", scene, 1.0, 1.0),
        ("Poisson-Gaussian, gain 1, read 1, 2-70 photons", scene * 0.3, 1.0, 1.0),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--draws", type=int, default=8)
    args = parser.parse_args()
    plan = AxisPlan.for_array((256, 256), "YX")
    settings = Settings.from_arguments(
        plan, patch_radius=None, search_axes=None, iterations=4, pvalue=0.01, renoise=0.0, threads=1
    )
    print(
        "| data | estimated / true MSE (intensities) | spread over draws | reported standard error | "
        "at variance 1 in the stabilised domain, scaled back: estimated / true |"
    )
    print("|---|---|---|---|---|")
    for name, clean, gain, read in cases():
        model = pxvorel.NoiseModel(gain=[gain], offset=[read**2])
        ratios, errors, plain = [], [], []
        for draw in range(args.draws):
            rng = np.random.default_rng(100 + draw)
            noisy = poisson_gaussian_noise(clean, gain, read, rng) if gain > 0 else gaussian_noise(clean, read, rng)
            unit = UnitImage.of(plan.to_engine(noisy), model)
            run = RunPlan.of(settings, unit.work.shape)
            denoised = execute(unit.work, run)
            risk = estimate_risk(unit, model, lambda w: execute(w, run), seed=draw, denoised_unit=denoised)
            true = float(np.mean((risk.denoised[0, 0, 0].astype(np.float64) - clean) ** 2))
            ratios.append(risk.mse[0] / true)
            errors.append(risk.spread[0] / risk.mse[0])
            # The same probe again, read in the stabilised domain at variance 1.
            probe = (
                np.random.default_rng(draw).integers(0, 2, unit.work.shape, dtype=np.int8).astype(np.float32) * 2 - 1
            )
            moved = execute((unit.work + np.float32(PROBE) * probe).astype(np.float32), run)
            z, d = unit.work.astype(np.float64), denoised.astype(np.float64)
            terms = (d - z) ** 2 - 1.0 + 2.0 * probe * (moved - d) / PROBE
            h = risk.denoised.astype(np.float64)
            plain.append(float(np.mean(np.maximum(gain * h + read**2, 0.0) * terms)) / true)
        print(
            f"| {name} | {np.mean(ratios):.3f} | {np.std(ratios, ddof=1):.3f} | {np.mean(errors):.3f} | "
            f"{np.mean(plain):.3f} |",
            flush=True,
        )


if __name__ == "__main__":
    main()
